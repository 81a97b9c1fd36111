#include "settings/BootMarks.h"

#include <windows.h>

#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"
#include "settings/SettingsStore.h"

namespace {

CString RunningValue(int lane)
{
    CString name("CaptureRunning");
    if (lane != 1) {
        CString suffix;
        suffix.Format("Lane%d", lane);
        name += suffix;
    }
    return name;
}

// The volatile key under the collector's, in the family's 32-bit view; null when it cannot be had.
HKEY OpenBootKey(bool create, bool* created)
{
    CString path = CRegistryKey::KeyPath(kCollectorKeyIndex) + "Boot";
    HKEY key = nullptr;
    const REGSAM sam = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY;
    if (!create) return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam, &key) == ERROR_SUCCESS ? key : nullptr;
    // Parents created on the way would be volatile too, and the settings gone at the next boot.
    if (!CreateCollectorKeys()) return nullptr;
    DWORD disposition = 0;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_VOLATILE, sam, nullptr, &key,
                          &disposition) != ERROR_SUCCESS)
        return nullptr;
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    return key;
}

} // namespace

bool FirstStartSinceBoot(bool& known)
{
    bool created = false;
    HKEY key = OpenBootKey(true, &created);
    known = key != nullptr;
    if (key) ::RegCloseKey(key);
    return known && created;
}

bool CaptureWasRunning(int lane)
{
    HKEY key = OpenBootKey(false, nullptr);
    if (!key) return false;
    DWORD value = 0, size = sizeof value;
    bool running = ::RegQueryValueExA(key, RunningValue(lane), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
                       ERROR_SUCCESS &&
                   value == 1;
    ::RegCloseKey(key);
    return running;
}

void SetCaptureRunning(bool running, int lane)
{
    HKEY key = OpenBootKey(true, nullptr);
    if (!key) return;
    if (running) {
        DWORD one = 1;
        ::RegSetValueExA(key, RunningValue(lane), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    } else {
        ::RegDeleteValueA(key, RunningValue(lane));
    }
    ::RegCloseKey(key);
}

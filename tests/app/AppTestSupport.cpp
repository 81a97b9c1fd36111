#include "AppTestSupport.h"

#include <shellapi.h>

namespace apptest {

const char kCollectorKey[] = "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector";

namespace {
const UINT kRunScript = WM_APP + 71;
const UINT_PTR kWatchdogTimer = 7171;
const UINT kWatchdogMs = 30000;

// The product's keys live in the 32-bit view, whichever build the tests are.
HKEY OpenCollectorKey()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCollectorKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

LONG GetCollectorValue(const char* name, DWORD* type, void* data, DWORD* size)
{
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCollectorKey, 0, KEY_READ | KEY_WOW64_32KEY, &key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegGetValueA(key, nullptr, name, RRF_RT_ANY, type, data, size);
    RegCloseKey(key);
    return rc;
}
} // namespace

void RegistryGuard::Clear()
{
    // The whole product tree: loading creates the product key as well as the collector's.
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &software) != ERROR_SUCCESS)
        return;
    RegDeleteTreeA(software, "Tarnwick");
    RegDeleteKeyA(software, "Tarnwick");
    RegCloseKey(software);
}

void SeedDword(const char* name, DWORD value)
{
    HKEY key = OpenCollectorKey();
    ASSERT_NE(key, nullptr);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

void SeedString(const char* name, const char* value)
{
    HKEY key = OpenCollectorKey();
    ASSERT_NE(key, nullptr);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(strlen(value) + 1));
    RegCloseKey(key);
}

bool ReadDword(const char* name, DWORD& value)
{
    DWORD size = sizeof(value);
    DWORD type = 0;
    return GetCollectorValue(name, &type, &value, &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

bool ReadString(const char* name, std::string& value)
{
    char buffer[1024] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (GetCollectorValue(name, &type, buffer, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    value = buffer;
    return true;
}

void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

std::string TextOf(HWND hwnd)
{
    char buffer[512] = {};
    GetWindowTextA(hwnd, buffer, sizeof(buffer));
    return buffer;
}

std::string SelectedText(const CComboBox& list)
{
    int sel = list.GetCurSel();
    if (sel < 0) return "";
    CString text;
    list.GetLBText(sel, text);
    return text.GetString();
}

bool TrayIconPresent(HWND hwnd)
{
    NOTIFYICONDATAA nid = {};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = hwnd;
    nid.uID = 0;
    nid.uFlags = NIF_TIP;
    lstrcpynA(nid.szTip, "Orvane POS Emulator", sizeof(nid.szTip));
    return Shell_NotifyIconA(NIM_MODIFY, &nid) != FALSE;
}

void ScriptedDlg::Command(int id, UINT code)
{
    SendMessage(WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(id)));
}

bool ScriptedDlg::OnInitDialog()
{
    bool result = CCollectorDlg::OnInitDialog();
    capturingAtInit = Capturing();
    visibleAtInit = IsWindowVisible();
    ::SetTimer(m_hWnd, kWatchdogTimer, kWatchdogMs, nullptr);
    PostMessage(kRunScript);
    return result;
}

LRESULT ScriptedDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kRunScript) {
        m_script(*this);
        return 0;
    }
    if (message == WM_TIMER && wParam == kWatchdogTimer) {
        ::KillTimer(m_hWnd, kWatchdogTimer);
        ADD_FAILURE() << "the script left the dialog open";
        EndDialog(IDABORT);
        return 0;
    }
    return CCollectorDlg::WindowProc(message, wParam, lParam);
}

bool ScriptedDlg::DestroyWindow()
{
    ++destroyCalls;
    windowExistedAtDestroy = IsWindow(m_hWnd) != FALSE;
    return CCollectorDlg::DestroyWindow();
}

} // namespace apptest

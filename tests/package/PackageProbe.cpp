// package_probe: what the package test asks of the installed collector from inside Wine.
//   package_probe keys       the two settings keys exist, each with one entry (Everyone, full
//                            access) and no values
//   package_probe tray       the collector's dialog exists, hidden, with its tray icon
//   package_probe baud RATE  picks RATE in the Baud Rate list as a user would
//   package_probe parameters the service's Parameters key has exactly the protected list the
//                            program builds for it; prints its values
// Prints what it found; exit status 0 when it holds.
#include <windows.h>

#include <sddl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "res/resource.h"
#include "settings/ServiceParameters.h"

namespace {

const char* const kKeys[] = {"SOFTWARE\\Tarnwick\\Orvane DVR", "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector"};
const DWORD kWaitMs = 10000;

class CKey {
public:
    ~CKey()
    {
        if (m_key) RegCloseKey(m_key);
    }
    HKEY m_key = nullptr;
};

bool EveryoneFullAccessOnly(HKEY key)
{
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> sd(size ? size : 1);
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS) return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted) || !present || !dacl) return false;
    if (dacl->AceCount != 1) return false;
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, 0, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
        return false;
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<PSID>(&ace->SidStart), &sid)) return false;
    CLocalPtr<char> owned(sid);
    std::printf("  entry %s mask 0x%lx\n", sid, static_cast<unsigned long>(ace->Mask));
    return std::strcmp(sid, "S-1-1-0") == 0 && ace->Mask == 0x1FFFFF;
}

int Keys()
{
    bool ok = true;
    for (const char* path : kKeys) {
        CKey key;
        // The product's keys are in the 32-bit view, also when this probe is a 64-bit build.
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key.m_key) !=
            ERROR_SUCCESS) {
            std::printf("%s: missing\n", path);
            ok = false;
            continue;
        }
        DWORD values = 0;
        RegQueryInfoKeyA(key.m_key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr);
        std::printf("%s: %lu values\n", path, static_cast<unsigned long>(values));
        bool everyone = EveryoneFullAccessOnly(key.m_key);
        if (!everyone) std::printf("  not Everyone with full access alone\n");
        ok = ok && everyone && values == 0;
    }
    return ok ? 0 : 1;
}

HWND WaitForCollector()
{
    for (DWORD waited = 0; waited < kWaitMs; waited += 100) {
        HWND dlg = FindWindowA("#32770", "Orvane POS Collector");
        if (dlg) return dlg;
        Sleep(100);
    }
    return nullptr;
}

// A modify changing nothing succeeds only for an icon the shell holds.
bool TrayIconPresent(HWND dlg)
{
    NOTIFYICONDATAA nid = {};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = dlg;
    nid.uID = 0;
    return Shell_NotifyIconA(NIM_MODIFY, &nid) != FALSE;
}

int Tray()
{
    HWND dlg = WaitForCollector();
    if (!dlg) {
        std::printf("no collector window\n");
        return 1;
    }
    bool icon = false;
    for (DWORD waited = 0; waited < kWaitMs && !icon; waited += 100) {
        icon = TrayIconPresent(dlg);
        if (!icon) Sleep(100);
    }
    bool visible = IsWindowVisible(dlg) != FALSE;
    std::printf("window %s, tray icon %s\n", visible ? "visible" : "hidden", icon ? "present" : "missing");
    return !visible && icon ? 0 : 1;
}

int Baud(const char* rate)
{
    HWND dlg = WaitForCollector();
    HWND list = dlg ? GetDlgItem(dlg, IDC_BAUDRATE) : nullptr;
    if (!list) {
        std::printf("no collector window\n");
        return 1;
    }
    LRESULT index = SendMessageA(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(rate));
    if (index == CB_ERR) {
        std::printf("no baud rate %s in the list\n", rate);
        return 1;
    }
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // The notice the list sends its dialog when a user picks an item.
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_BAUDRATE, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    std::printf("baud rate %s picked\n", rate);
    return 0;
}

std::vector<std::string> Entries(PACL dacl)
{
    std::vector<std::string> entries;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        char* sid = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
            !ConvertSidToStringSidA(reinterpret_cast<PSID>(&ace->SidStart), &sid))
            continue;
        CLocalPtr<char> owned(sid);
        char entry[256];
        std::snprintf(entry, sizeof entry, "type %u flags 0x%x mask 0x%lx %s", ace->Header.AceType,
                      ace->Header.AceFlags, static_cast<unsigned long>(ace->Mask), sid);
        entries.push_back(entry);
    }
    return entries;
}

int Parameters()
{
    CKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceParametersPath, 0, READ_CONTROL | kServiceParametersView,
                      &key.m_key) != ERROR_SUCCESS) {
        std::printf("no Parameters key\n");
        return 1;
    }
    DWORD size = 0;
    RegGetKeySecurity(key.m_key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> sd(size ? size : 1);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (RegGetKeySecurity(key.m_key, DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS ||
        !GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorControl(sd.data(), &control, &revision)) {
        std::printf("its access list cannot be read\n");
        return 1;
    }
    CLocalPtr<SECURITY_DESCRIPTOR> built;
    PACL expected = nullptr;
    if (!BuildServiceParametersSecurity(built) ||
        !GetSecurityDescriptorDacl(built.Get(), &present, &expected, &defaulted))
        return 1;
    const std::vector<std::string> found = Entries(dacl);
    for (const std::string& entry : found) std::printf("  entry %s\n", entry.c_str());
    std::printf("  %s\n", control & SE_DACL_PROTECTED ? "protected" : "inherits");
    bool valuesPresent = false;
    const ServiceParameters values = LoadServiceParameters(valuesPresent);
    const CollectorSettings& v = values.settings;
    std::printf("  CommPort %d, BaudRate %d, DataBits %u, Parity %d, StopBits %d, DataFile %s, RunAtStartup %d, "
                "Operators", v.commPort, v.baudRate, static_cast<unsigned>(v.dataBits), v.parity, v.stopBits,
                v.dataFile.GetString(), v.runAtStartup);
    for (const CString& o : values.operators) std::printf(" [%s]", o.GetString());
    std::printf("\n");
    return found == Entries(expected) && (control & SE_DACL_PROTECTED) && valuesPresent ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    int status = 2;
    if (command == "keys")
        status = Keys();
    else if (command == "tray")
        status = Tray();
    else if (command == "baud" && argc > 2)
        status = Baud(argv[2]);
    else if (command == "parameters")
        status = Parameters();
    else
        std::printf("usage: package_probe keys | tray | baud RATE | parameters\n");
    std::fflush(stdout);
    return status;
}

#include "settings/ServiceParameters.h"

#include <sddl.h>

#include <string>

#include "service/ServiceHost.h"
#include "service/ServiceSid.h"

const char kServiceParametersPath[] = "SYSTEM\\CurrentControlSet\\Services\\OrvanePOSCollector\\Parameters";
const char kServiceParametersCopyPath[] = "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector Service";

namespace {

struct CRegCloseKey {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using CKey = CScopedHandle<HKEY, CRegCloseKey>;

// What the service's SID may do: read, set values and watch them; not create keys, delete or
// change the list.
const DWORD kServiceKeyRights = KEY_READ | KEY_SET_VALUE;

const char* const kDwordNames[] = {"CommPort", "BaudRate", "DataBits", "Parity", "StopBits", "RunAtStartup"};
const char kDataFileName[] = "DataFile";
const char kOperatorsName[] = "Operators";

HKEY OpenKey(REGSAM sam, const char* path = kServiceParametersPath)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam | ServiceParametersViewOf(path), &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool HasValue(HKEY key, const char* name)
{
    return ::RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Query, and on success assign: a value that is missing or too long keeps the default.
void ReadDword(HKEY key, const char* name, int& value)
{
    DWORD data = 0, size = sizeof data;
    if (::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS)
        value = static_cast<int>(data);
}

// The raw bytes of a value, with two NULs added so that an unterminated string or list ends.
bool ReadBytes(HKEY key, const char* name, std::string& bytes)
{
    DWORD size = 0;
    if (::RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return false;
    // Another program may grow the value between the two calls.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::string buffer(static_cast<size_t>(size) + 2, '\0');
        DWORD got = size;
        LONG rc = ::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &got);
        if (rc == ERROR_SUCCESS) {
            buffer.resize(static_cast<size_t>(got) + 2, '\0');
            bytes = buffer;
            return true;
        }
        if (rc != ERROR_MORE_DATA) return false;
        size = got;
    }
    return false;
}

// The Operators list: NUL-separated, ended by an empty string. A value of another type, or one
// far larger than a shop's list, is no list of operators.
std::vector<CString> ReadOperatorList(HKEY key)
{
    const DWORD kMaxOperatorsBytes = 64 * 1024;
    std::vector<CString> operators;
    DWORD type = 0, size = 0;
    std::string bytes;
    if (::RegQueryValueExA(key, kOperatorsName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size > kMaxOperatorsBytes || !ReadBytes(key, kOperatorsName, bytes))
        return operators;
    for (size_t at = 0; at < bytes.size() && bytes[at];) {
        const std::string item(bytes.c_str() + at);
        operators.push_back(CString(item.c_str()));
        at += item.size() + 1;
    }
    return operators;
}

LONG WriteDword(HKEY key, const char* name, int value)
{
    DWORD data = static_cast<DWORD>(value);
    return ::RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

CString Joined(const std::vector<CString>& items)
{
    CString text;
    for (const CString& item : items) {
        if (!text.IsEmpty()) text += "; ";
        text += item;
    }
    return text;
}

void AddChange(CString& text, const char* name, const CString& before, const CString& after)
{
    if (before == after) return;
    if (!text.IsEmpty()) text += "; ";
    text += CString(name) + ": " + (before.IsEmpty() ? CString("(none)") : before) + " -> " +
            (after.IsEmpty() ? CString("(none)") : after);
}

CString Number(int value) { return CString(std::to_string(value).c_str()); }

} // namespace

bool operator==(const ServiceParameters& a, const ServiceParameters& b)
{
    return a.settings == b.settings && a.operators == b.operators;
}

bool BuildServiceParametersSecurity(CLocalPtr<SECURITY_DESCRIPTOR>& sd)
{
    sd.Reset();
    const CString service = CollectorServiceSidString();
    if (service.IsEmpty()) return false;
    // P: protected, nothing inherited. CI: a subkey made later gets the same list.
    CString sddl;
    sddl.Format("D:P(A;CI;0x%lX;;;BA)(A;CI;0x%lX;;;SY)(A;CI;0x%lX;;;%s)(A;CI;0x%lX;;;BU)",
                static_cast<unsigned long>(KEY_ALL_ACCESS), static_cast<unsigned long>(KEY_ALL_ACCESS),
                static_cast<unsigned long>(kServiceKeyRights), service.GetString(),
                static_cast<unsigned long>(KEY_READ));
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &made, nullptr)) return false;
    sd.Reset(static_cast<SECURITY_DESCRIPTOR*>(made));
    return true;
}

namespace {

LONG CreateProtectedKey(const char* path)
{
    CLocalPtr<SECURITY_DESCRIPTOR> sd;
    if (!BuildServiceParametersSecurity(sd)) return static_cast<LONG>(ERROR_INVALID_SECURITY_DESCR);
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd.Get(), FALSE};
    HKEY made = nullptr;
    LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS | ServiceParametersViewOf(path), &sa, &made, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    CKey key(made);
    // Also on a new key: an existing one keeps whatever list it had, and Wine gives a key made
    // with its missing parents the default list.
    return ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd.Get());
}

ServiceParameters Load(const char* path, bool& present)
{
    ServiceParameters parameters;
    present = false;
    CKey key(OpenKey(KEY_QUERY_VALUE, path));
    if (!key.Get()) return parameters;
    for (const char* name : kDwordNames) present = present || HasValue(key.Get(), name);
    present = present || HasValue(key.Get(), kDataFileName);

    CollectorSettings& s = parameters.settings;
    ReadDword(key.Get(), "CommPort", s.commPort);
    ReadDword(key.Get(), "BaudRate", s.baudRate);
    int dataBits = s.dataBits;
    ReadDword(key.Get(), "DataBits", dataBits);
    // An 8-bit field, as the family key's reader takes it: only the low byte counts.
    s.dataBits = static_cast<unsigned char>(dataBits);
    ReadDword(key.Get(), "Parity", s.parity);
    ReadDword(key.Get(), "StopBits", s.stopBits);
    ReadDword(key.Get(), "RunAtStartup", s.runAtStartup);
    std::string bytes;
    if (ReadBytes(key.Get(), kDataFileName, bytes)) s.dataFile = bytes.c_str();
    parameters.operators = ReadOperatorList(key.Get());
    return parameters;
}

// The key for writing values; made with its list when it is missing (tests, or a service whose
// package step did not run: only an account that may create it gets that far).
HKEY OpenForWriting(const char* path, LONG& rc)
{
    HKEY key = OpenKey(KEY_SET_VALUE, path);
    if (key) return key;
    rc = CreateProtectedKey(path);
    if (rc != ERROR_SUCCESS) return nullptr;
    key = OpenKey(KEY_SET_VALUE, path);
    if (!key) rc = static_cast<LONG>(ERROR_ACCESS_DENIED);
    return key;
}

LONG SaveSettings(const char* path, const CollectorSettings& settings)
{
    LONG rc = ERROR_SUCCESS;
    CKey key(OpenForWriting(path, rc));
    if (!key.Get()) return rc;
    const LONG results[] = {
        WriteDword(key.Get(), "CommPort", settings.commPort),
        WriteDword(key.Get(), "BaudRate", settings.baudRate),
        WriteDword(key.Get(), "DataBits", settings.dataBits),
        WriteDword(key.Get(), "Parity", settings.parity),
        WriteDword(key.Get(), "StopBits", settings.stopBits),
        ::RegSetValueExA(key.Get(), kDataFileName, 0, REG_SZ, reinterpret_cast<const BYTE*>(settings.dataFile.GetString()),
                         static_cast<DWORD>(settings.dataFile.GetLength()) + 1),
        WriteDword(key.Get(), "RunAtStartup", settings.runAtStartup),
    };
    for (LONG result : results)
        if (result != ERROR_SUCCESS) return result;
    return ERROR_SUCCESS;
}

LONG SaveOperators(const char* path, const std::vector<CString>& operators)
{
    LONG rc = ERROR_SUCCESS;
    CKey key(OpenForWriting(path, rc));
    if (!key.Get()) return rc;
    std::string list;
    for (const CString& item : operators) {
        if (item.IsEmpty()) continue; // an empty string would end the list early
        list.append(item.GetString());
        list.push_back('\0');
    }
    list.push_back('\0');
    if (list.size() == 1) list.push_back('\0');
    return ::RegSetValueExA(key.Get(), kOperatorsName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                            static_cast<DWORD>(list.size()));
}

} // namespace

LONG CreateServiceParametersKey() { return CreateProtectedKey(kServiceParametersPath); }

ServiceParameters LoadServiceParameters(bool& present) { return Load(kServiceParametersPath, present); }

LONG SaveServiceSettings(const CollectorSettings& settings) { return SaveSettings(kServiceParametersPath, settings); }

LONG SaveServiceOperators(const std::vector<CString>& operators)
{
    return SaveOperators(kServiceParametersPath, operators);
}

LONG CopyServiceParametersAside()
{
    bool present = false;
    const ServiceParameters parameters = LoadServiceParameters(present);
    if (!present) return ERROR_SUCCESS;
    LONG rc = SaveSettings(kServiceParametersCopyPath, parameters.settings);
    if (rc == ERROR_SUCCESS) rc = SaveOperators(kServiceParametersCopyPath, parameters.operators);
    return rc;
}

ServiceParameters LoadServiceParametersCopy(bool& present) { return Load(kServiceParametersCopyPath, present); }

std::vector<CString> LoadServiceOperators()
{
    CKey key(OpenKey(KEY_QUERY_VALUE));
    return key.Get() ? ReadOperatorList(key.Get()) : std::vector<CString>();
}

CString ParameterChangesText(const ServiceParameters& before, const ServiceParameters& after)
{
    const CollectorSettings& a = before.settings;
    const CollectorSettings& b = after.settings;
    CString text;
    AddChange(text, "CommPort", Number(a.commPort), Number(b.commPort));
    AddChange(text, "BaudRate", Number(a.baudRate), Number(b.baudRate));
    AddChange(text, "DataBits", Number(a.dataBits), Number(b.dataBits));
    AddChange(text, "Parity", Number(a.parity), Number(b.parity));
    AddChange(text, "StopBits", Number(a.stopBits), Number(b.stopBits));
    AddChange(text, "DataFile", a.dataFile, b.dataFile);
    AddChange(text, "RunAtStartup", Number(a.runAtStartup), Number(b.runAtStartup));
    AddChange(text, kOperatorsName, Joined(before.operators), Joined(after.operators));
    return text;
}

CParametersWatch::CParametersWatch() : m_event(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

CParametersWatch::~CParametersWatch()
{
    // Closing the key ends the registration.
    if (m_key) ::RegCloseKey(m_key);
}

bool CParametersWatch::Arm()
{
    // The handle stays open: the notification lives as long as the key handle it was asked on.
    if (!m_key) m_key = OpenKey(KEY_NOTIFY);
    if (!m_key || !m_event.IsValid()) return false;
    if (::RegNotifyChangeKeyValue(m_key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE) == ERROR_SUCCESS)
        return true;
    // A key deleted and made again needs a new handle.
    ::RegCloseKey(m_key);
    m_key = nullptr;
    return false;
}

#include "settings/ServiceParameters.h"

#include <sddl.h>

#include <string>

#include "service/ServiceHost.h"
#include "service/ServiceSid.h"

const char kServiceParametersPath[] = "SYSTEM\\CurrentControlSet\\Services\\OrvanePOSCollector\\Parameters";
const char kServiceParametersCopyPath[] = "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector Service";

REGSAM ServiceParametersViewOf(const char* path)
{
    const CString whole(path);
    const CString copy(kServiceParametersCopyPath);
    const bool inCopy = whole.Left(copy.GetLength()).CompareNoCase(copy) == 0 &&
                        (whole.GetLength() == copy.GetLength() || whole.GetAt(copy.GetLength()) == '\\');
    return inCopy ? kServiceParametersCopyView : kServiceParametersView;
}

CString LanePath(int lane, const char* root)
{
    if (lane == 1) return CString(root);
    CString path;
    path.Format("%s\\Lane%d", root, lane);
    return path;
}

CString LaneName(int lane, int port)
{
    CString name;
    name.Format("Lane %d (COM%d)", lane, port);
    return name;
}

namespace {

struct CRegCloseKey {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using CKey = CScopedHandle<HKEY, CRegCloseKey>;

// What the service's SID may do in every key: read, set values and watch them; not change a list.
const DWORD kServiceKeyRights = KEY_READ | KEY_SET_VALUE;

const char* const kDwordNames[] = {"CommPort", "BaudRate", "DataBits", "Parity", "StopBits", "RunAtStartup"};
const char kDataFileName[] = "DataFile";
const char kOperatorsName[] = "Operators";
const char kSilenceName[] = "SilenceMinutes";
const char kOpenHoursName[] = "OpenHours";
const char kOutputsName[] = "Outputs";
const char kCodePageName[] = "CodePage";
// Far longer than any week of opening hours.
const DWORD kMaxOpenHoursBytes = 1024;

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

// The same for a value that is new with lanes, where a value of another type or size is named
// as unreadable rather than taken for whatever its bytes say.
void ReadStrictDword(HKEY key, const char* name, unsigned& value, std::vector<CString>& unreadable)
{
    DWORD type = 0, data = 0, size = sizeof data;
    const LONG rc = ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (rc == ERROR_FILE_NOT_FOUND) return;
    if (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof data)
        value = data;
    else
        unreadable.push_back(name);
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

// A REG_MULTI_SZ list: NUL-separated, ended by an empty string. False when the value is there but
// of another type or far larger than any shop's list: no list.
bool ReadStringList(HKEY key, const char* name, std::vector<CString>& list)
{
    const DWORD kMaxListBytes = 64 * 1024;
    DWORD type = 0, size = 0;
    std::string bytes;
    if (::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ ||
        size > kMaxListBytes || !ReadBytes(key, name, bytes))
        return false;
    for (size_t at = 0; at < bytes.size() && bytes[at];) {
        const std::string item(bytes.c_str() + at);
        list.push_back(CString(item.c_str()));
        at += item.size() + 1;
    }
    return true;
}

std::vector<CString> ReadOperatorList(HKEY key)
{
    std::vector<CString> operators;
    if (!ReadStringList(key, kOperatorsName, operators)) operators.clear();
    return operators;
}

LONG WriteStringList(HKEY key, const char* name, const std::vector<CString>& items)
{
    std::string list;
    for (const CString& item : items) {
        if (item.IsEmpty()) continue; // an empty string would end the list early
        list.append(item.GetString());
        list.push_back('\0');
    }
    list.push_back('\0');
    if (list.size() == 1) list.push_back('\0');
    return ::RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                            static_cast<DWORD>(list.size()));
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
    return a.settings == b.settings && a.operators == b.operators && a.silenceMinutes == b.silenceMinutes &&
           a.openHours == b.openHours && a.outputs == b.outputs && a.codePage == b.codePage;
}

bool BuildServiceParametersSecurity(CLocalPtr<SECURITY_DESCRIPTOR>& sd, bool lane)
{
    sd.Reset();
    const CString service = CollectorServiceSidString();
    if (service.IsEmpty()) return false;
    const unsigned long all = KEY_ALL_ACCESS, serviceRights = kServiceKeyRights, read = KEY_READ;
    // P: protected, nothing inherited. CI: a subkey made later gets the same entries (Windows
    // gives them to a LaneN key a deployment's script makes). The service may also make LaneN
    // keys in Parameters and delete them: DELETE is inherit-only there, so it reaches the LaneN
    // keys and not Parameters. A LaneN key's own list is what it would inherit.
    CString sddl;
    if (lane)
        sddl.Format("D:P(A;CI;0x%lX;;;BA)(A;CI;0x%lX;;;SY)(A;CI;0x%lX;;;%s)(A;CI;0x%lX;;;%s)(A;CI;0x%lX;;;BU)", all,
                    all, serviceRights, service.GetString(), static_cast<unsigned long>(DELETE), service.GetString(),
                    read);
    else
        sddl.Format("D:P(A;CI;0x%lX;;;BA)(A;CI;0x%lX;;;SY)(A;CI;0x%lX;;;%s)(A;;0x%lX;;;%s)(A;CIIO;0x%lX;;;%s)"
                    "(A;CI;0x%lX;;;BU)",
                    all, all, serviceRights, service.GetString(), static_cast<unsigned long>(KEY_CREATE_SUB_KEY),
                    service.GetString(), static_cast<unsigned long>(DELETE), service.GetString(), read);
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &made, nullptr)) return false;
    sd.Reset(static_cast<SECURITY_DESCRIPTOR*>(made));
    return true;
}

namespace {

LONG CreateProtectedKey(const char* path, bool lane = false)
{
    CLocalPtr<SECURITY_DESCRIPTOR> sd;
    if (!BuildServiceParametersSecurity(sd, lane)) return static_cast<LONG>(ERROR_INVALID_SECURITY_DESCR);
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
    ReadStrictDword(key.Get(), kSilenceName, parameters.silenceMinutes, parameters.unreadable);
    DWORD type = 0, size = 0;
    const LONG rc = ::RegQueryValueExA(key.Get(), kOpenHoursName, nullptr, &type, nullptr, &size);
    if (rc != ERROR_FILE_NOT_FOUND) {
        if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && size <= kMaxOpenHoursBytes &&
            ReadBytes(key.Get(), kOpenHoursName, bytes))
            parameters.openHours = bytes.c_str();
        else
            parameters.unreadable.push_back(kOpenHoursName);
    }
    if (HasValue(key.Get(), kOutputsName) && !ReadStringList(key.Get(), kOutputsName, parameters.outputs)) {
        parameters.outputs.clear();
        parameters.unreadable.push_back(kOutputsName);
    }
    ReadStrictDword(key.Get(), kCodePageName, parameters.codePage, parameters.unreadable);
    return parameters;
}

// The key for writing values; made with its list when it is missing (tests, or a service whose
// package step did not run: only an account that may create it gets that far).
HKEY OpenForWriting(const char* path, LONG& rc, bool lane = false)
{
    HKEY key = OpenKey(KEY_SET_VALUE, path);
    if (key) return key;
    rc = CreateProtectedKey(path, lane);
    if (rc != ERROR_SUCCESS) return nullptr;
    key = OpenKey(KEY_SET_VALUE, path);
    if (!key) rc = static_cast<LONG>(ERROR_ACCESS_DENIED);
    return key;
}

// A LaneN key under Parameters, made with the lane list: Wine passes no parent's entries on.
HKEY OpenLaneForWriting(int lane, LONG& rc)
{
    const CString path = LanePath(lane);
    HKEY key = OpenKey(KEY_SET_VALUE, path);
    if (key) return key;
    CKey parent(OpenKey(KEY_QUERY_VALUE));
    if (!parent.Get()) {
        rc = CreateProtectedKey(kServiceParametersPath);
        if (rc != ERROR_SUCCESS) return nullptr;
    }
    CLocalPtr<SECURITY_DESCRIPTOR> sd;
    if (!BuildServiceParametersSecurity(sd, true)) {
        rc = static_cast<LONG>(ERROR_INVALID_SECURITY_DESCR);
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd.Get(), FALSE};
    // WRITE_DAC comes with being the new key's owner.
    rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_SET_VALUE | WRITE_DAC | kServiceParametersView, &sa, &key, nullptr);
    if (rc != ERROR_SUCCESS) return nullptr;
    // Wine ignores the attributes of RegCreateKeyEx; on Windows they have set the list already,
    // so a refusal here changes nothing.
    ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd.Get());
    return key;
}

LONG WriteSettings(HKEY key, const CollectorSettings& settings)
{
    const LONG results[] = {
        WriteDword(key, "CommPort", settings.commPort),
        WriteDword(key, "BaudRate", settings.baudRate),
        WriteDword(key, "DataBits", settings.dataBits),
        WriteDword(key, "Parity", settings.parity),
        WriteDword(key, "StopBits", settings.stopBits),
        ::RegSetValueExA(key, kDataFileName, 0, REG_SZ, reinterpret_cast<const BYTE*>(settings.dataFile.GetString()),
                         static_cast<DWORD>(settings.dataFile.GetLength()) + 1),
        WriteDword(key, "RunAtStartup", settings.runAtStartup),
    };
    for (LONG result : results)
        if (result != ERROR_SUCCESS) return result;
    return ERROR_SUCCESS;
}

LONG WriteParameters(HKEY key, const ServiceParameters& parameters)
{
    LONG rc = WriteSettings(key, parameters.settings);
    if (rc == ERROR_SUCCESS) rc = WriteDword(key, kSilenceName, static_cast<int>(parameters.silenceMinutes));
    if (rc == ERROR_SUCCESS)
        rc = ::RegSetValueExA(key, kOpenHoursName, 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(parameters.openHours.GetString()),
                              static_cast<DWORD>(parameters.openHours.GetLength()) + 1);
    if (rc == ERROR_SUCCESS) rc = WriteStringList(key, kOutputsName, parameters.outputs);
    if (rc == ERROR_SUCCESS) rc = WriteDword(key, kCodePageName, static_cast<int>(parameters.codePage));
    return rc;
}

LONG SaveSettings(const char* path, const CollectorSettings& settings)
{
    LONG rc = ERROR_SUCCESS;
    CKey key(OpenForWriting(path, rc));
    return key.Get() ? WriteSettings(key.Get(), settings) : rc;
}

LONG SaveOperators(const char* path, const std::vector<CString>& operators)
{
    LONG rc = ERROR_SUCCESS;
    CKey key(OpenForWriting(path, rc));
    return key.Get() ? WriteStringList(key.Get(), kOperatorsName, operators) : rc;
}

} // namespace

LONG CreateServiceParametersKey()
{
    LONG rc = CreateProtectedKey(kServiceParametersPath);
    // LaneN keys a deployment made before the install: Windows gave them Parameters' entries as
    // they were then, Wine its default list. Either way they get the lane list now.
    for (int lane = 2; lane <= kMaxServiceLanes && rc == ERROR_SUCCESS; ++lane) {
        CKey key(OpenKey(KEY_QUERY_VALUE, LanePath(lane)));
        if (key.Get()) rc = CreateProtectedKey(LanePath(lane), true);
    }
    return rc;
}

ServiceParameters LoadServiceParameters(bool& present) { return Load(kServiceParametersPath, present); }

LONG SaveServiceSettings(const CollectorSettings& settings) { return SaveSettings(kServiceParametersPath, settings); }

LONG SaveServiceOperators(const std::vector<CString>& operators)
{
    return SaveOperators(kServiceParametersPath, operators);
}

LONG SaveLaneSettings(int lane, const CollectorSettings& settings)
{
    if (lane == 1) return SaveServiceSettings(settings);
    if (lane < 2 || lane > kMaxServiceLanes) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    LONG rc = ERROR_SUCCESS;
    CKey key(OpenLaneForWriting(lane, rc));
    return key.Get() ? WriteSettings(key.Get(), settings) : rc;
}

LONG SaveLaneParameters(int lane, const ServiceParameters& parameters)
{
    if (lane < 1 || lane > kMaxServiceLanes) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    LONG rc = ERROR_SUCCESS;
    CKey key(lane == 1 ? OpenForWriting(kServiceParametersPath, rc) : OpenLaneForWriting(lane, rc));
    return key.Get() ? WriteParameters(key.Get(), parameters) : rc;
}

LONG DeleteLaneKey(int lane)
{
    if (lane < 2 || lane > kMaxServiceLanes) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    const LONG rc = ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, LanePath(lane), kServiceParametersView, 0);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

std::map<int, ServiceParameters> LoadServiceLanes(const char* root)
{
    std::map<int, ServiceParameters> lanes;
    for (int lane = 2; lane <= kMaxServiceLanes; ++lane) {
        bool present = false;
        ServiceParameters parameters = Load(LanePath(lane, root), present);
        if (present) lanes[lane] = std::move(parameters);
    }
    return lanes;
}

LONG CopyServiceParametersAside()
{
    bool present = false;
    const ServiceParameters parameters = LoadServiceParameters(present);
    if (!present) return ERROR_SUCCESS;
    LONG rc = ERROR_SUCCESS;
    {
        CKey key(OpenForWriting(kServiceParametersCopyPath, rc));
        if (!key.Get()) return rc;
        rc = WriteParameters(key.Get(), parameters);
    }
    if (rc == ERROR_SUCCESS) rc = SaveOperators(kServiceParametersCopyPath, parameters.operators);
    const std::map<int, ServiceParameters> lanes = LoadServiceLanes();
    for (int lane = 2; lane <= kMaxServiceLanes && rc == ERROR_SUCCESS; ++lane) {
        const CString path = LanePath(lane, kServiceParametersCopyPath);
        const auto found = lanes.find(lane);
        if (found == lanes.end()) {
            // A lane an earlier copy kept and the shop has removed since.
            const LONG deleted = ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, kServiceParametersCopyView, 0);
            if (deleted != ERROR_FILE_NOT_FOUND) rc = deleted;
            continue;
        }
        CKey key(OpenForWriting(path, rc, true));
        if (key.Get()) rc = WriteParameters(key.Get(), found->second);
    }
    return rc;
}

LONG RestoreServiceLanesFromCopy()
{
    LONG rc = ERROR_SUCCESS;
    for (const auto& lane : LoadServiceLanes(kServiceParametersCopyPath))
        if (rc == ERROR_SUCCESS) rc = SaveLaneParameters(lane.first, lane.second);
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
    AddChange(text, kSilenceName, Number(static_cast<int>(before.silenceMinutes)),
              Number(static_cast<int>(after.silenceMinutes)));
    AddChange(text, kOpenHoursName, before.openHours, after.openHours);
    AddChange(text, kOutputsName, Joined(before.outputs), Joined(after.outputs));
    AddChange(text, kCodePageName, Number(static_cast<int>(before.codePage)), Number(static_cast<int>(after.codePage)));
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
    // The subtree too: a deployment adds, changes and deletes LaneN keys.
    if (::RegNotifyChangeKeyValue(m_key, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, m_event, TRUE) ==
        ERROR_SUCCESS)
        return true;
    // A key deleted and made again needs a new handle.
    ::RegCloseKey(m_key);
    m_key = nullptr;
    return false;
}

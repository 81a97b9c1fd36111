#include "service/ServiceProperties.h"

#include <cstdlib>

#include "capture/CaptureSession.h"
#include "platform/EventText.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"

namespace {

// The stored numbers mean what the family key's do: parity 0..4 and stop bits 0..2 are indexes,
// so the properties take the words a person writes and map them.
const char* const kParities[] = {"EVEN", "MARK", "NONE", "ODD", "SPACE"};
const char* const kStopBits[] = {"1", "1.5", "2"};

bool WholeNumber(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    value = std::atoi(text.c_str());
    return true;
}

bool OneOf(const std::string& text, const char* const* words, int count, int& index)
{
    for (int i = 0; i < count; ++i)
        if (::lstrcmpiA(text.c_str(), words[i]) == 0) {
            index = i;
            return true;
        }
    return false;
}

// Drive-rooted or UNC: a service has no current folder a relative path could mean.
bool FullPath(const std::string& path)
{
    const char letter = static_cast<char>(path[0] & ~0x20); // upper case, for letters
    const bool drive = path.size() >= 3 && letter >= 'A' && letter <= 'Z' && path[1] == ':' &&
                       (path[2] == '\\' || path[2] == '/');
    const bool unc = path.size() >= 3 && path[0] == '\\' && path[1] == '\\';
    return drive || unc;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The ranges the capture itself enforces, for the one value given: a junk value the family key
// already held elsewhere is the capture's to refuse, not this property's.
bool Acceptable(const std::string& name, const CollectorSettings& given)
{
    const CollectorSettings defaults;
    LineSettings line;
    line.port = name == "COMMPORT" ? given.commPort : defaults.commPort;
    line.baud = static_cast<unsigned>(name == "BAUDRATE" ? given.baudRate : defaults.baudRate);
    line.dataBits = name == "DATABITS" ? given.dataBits : defaults.dataBits;
    line.parity = name == "PARITY" ? given.parity : defaults.parity;
    line.stopBits = name == "STOPBITS" ? given.stopBits : defaults.stopBits;
    return CCaptureSession::InvalidSettingText(line).IsEmpty();
}

bool LastWritten(const char* path, REGSAM view, ULONGLONG& when)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) return false;
    FILETIME written = {};
    const LONG rc = ::RegQueryInfoKeyA(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, &written);
    ::RegCloseKey(opened);
    when = (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return rc == ERROR_SUCCESS;
}

bool FamilyKeyNewerThanCopy()
{
    CString family = CRegistryKey::KeyPath(kCollectorKeyIndex);
    // The table's paths end in a backslash, which loses the 32-bit view on Wine.
    family = family.Left(family.GetLength() - 1);
    ULONGLONG familyWritten = 0, copyWritten = 0;
    return LastWritten(family, KEY_WOW64_32KEY, familyWritten) &&
           LastWritten(kServiceParametersCopyPath, kServiceParametersCopyView, copyWritten) && familyWritten > copyWritten;
}

CString Refusal(const std::string& name, const std::string& value, const char* needs)
{
    CString text;
    text.Format("The package property %s=\"%s\" is not valid: %s. Nothing was changed.", name.c_str(), value.c_str(),
                needs);
    return text;
}

} // namespace

bool ApplyServiceProperties(const std::map<std::string, std::string>& properties, ServiceParameters& current,
                            bool& operatorsGiven, CString& refused)
{
    operatorsGiven = false;
    ServiceParameters next = current;
    CollectorSettings& s = next.settings;
    for (const auto& property : properties) {
        const std::string& name = property.first;
        const std::string value = Trimmed(property.second);
        if (value.empty()) continue;
        int number = 0;
        bool ok = true;
        const char* needs = "";
        if (name == "COMMPORT") {
            // "3" or "COM3".
            const std::string digits = value.size() > 3 && ::lstrcmpiA(value.substr(0, 3).c_str(), "COM") == 0
                                           ? value.substr(3)
                                           : value;
            ok = WholeNumber(digits, number);
            s.commPort = number;
            needs = "a port number such as 3 or COM3";
        } else if (name == "BAUDRATE") {
            ok = WholeNumber(value, number);
            s.baudRate = number;
            needs = "a whole number of bits a second such as 9600";
        } else if (name == "DATABITS") {
            ok = WholeNumber(value, number) && number >= 5 && number <= 8;
            s.dataBits = static_cast<unsigned char>(number);
            needs = "5, 6, 7 or 8";
        } else if (name == "PARITY") {
            ok = OneOf(value, kParities, 5, s.parity);
            needs = "NONE, ODD, EVEN, MARK or SPACE";
        } else if (name == "STOPBITS") {
            ok = OneOf(value, kStopBits, 3, s.stopBits);
            needs = "1, 1.5 or 2";
        } else if (name == "DATAFILE") {
            ok = FullPath(value);
            s.dataFile = value.c_str();
            needs = "a full path such as C:\\ProgramData\\Orvane DVR\\POSCollector\\capture.txt";
        } else if (name == "RUNATSTARTUP") {
            ok = value == "0" || value == "1";
            s.runAtStartup = value == "1";
            needs = "0 or 1";
        } else if (name == "OPERATORS") {
            next.operators.clear();
            size_t at = 0;
            while (at <= value.size()) {
                size_t end = value.find(';', at);
                if (end == std::string::npos) end = value.size();
                const std::string item = Trimmed(value.substr(at, end - at));
                if (!item.empty()) next.operators.push_back(CString(item.c_str()));
                at = end + 1;
            }
            operatorsGiven = true;
        } else {
            continue; // not ours
        }
        ok = ok && Acceptable(name, s);
        if (!ok) {
            refused = Refusal(name, value, needs);
            return false;
        }
    }
    current = next;
    return true;
}

DWORD ConfigureServiceParameters(const std::map<std::string, std::string>& properties, CString& refused)
{
    bool present = false;
    ServiceParameters parameters = LoadServiceParameters(present);
    bool restored = false;
    if (!present) {
        // An upgrade (the older version's removal deleted the service's key, having kept a copy),
        // or one from a version without the key: the shop's settings, once.
        parameters = LoadServiceParametersCopy(restored);
        // The family key written after the copy was kept: an older version without the service
        // was installed in between and its settings are the newer. Operators stay the copy's.
        if (!restored || FamilyKeyNewerThanCopy()) parameters.settings = LoadCollectorSettings();
    }
    const ServiceParameters before = parameters;
    bool operatorsGiven = false;
    if (!ApplyServiceProperties(properties, parameters, operatorsGiven, refused)) return ERROR_INVALID_PARAMETER;
    operatorsGiven = operatorsGiven || restored;

    LONG rc = CreateServiceParametersKey();
    if (rc == ERROR_SUCCESS && (!present || parameters.settings != before.settings))
        rc = SaveServiceSettings(parameters.settings);
    if (rc == ERROR_SUCCESS && operatorsGiven) rc = SaveServiceOperators(parameters.operators);
    // The copy's silence alert and its other lanes come back with lane 1's settings.
    if (rc == ERROR_SUCCESS && restored) rc = SaveLaneParameters(1, parameters);
    if (rc == ERROR_SUCCESS && restored) rc = RestoreServiceLanesFromCopy();
    if (rc != ERROR_SUCCESS) {
        refused = CString("The service's Parameters key could not be written: ") +
                  SystemErrorText(static_cast<DWORD>(rc));
        return static_cast<DWORD>(rc);
    }
    if (parameters.settings != before.settings) {
        CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, parameters.settings);
    }
    return ERROR_SUCCESS;
}

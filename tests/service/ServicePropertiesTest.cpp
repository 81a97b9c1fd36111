// The package's properties for the service's settings: what a silent command line may say, and
// that a value that is not valid changes nothing.
#include <gtest/gtest.h>

#include <map>

#include "app/CommandLine.h"
#include "service/ServiceProperties.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"
#include "support/ParametersKeyGuard.h"

namespace {

struct PropertyCase {
    const char* name;
    const char* value;
    // The settings and operators after, as a comparable text; null when refused.
    const char* expected;
};

std::string Describe(const ServiceParameters& p)
{
    const CollectorSettings& s = p.settings;
    std::string text = "port " + std::to_string(s.commPort) + ", " + std::to_string(s.baudRate) + ", " +
                       std::to_string(s.dataBits) + ", parity " + std::to_string(s.parity) + ", stop " +
                       std::to_string(s.stopBits) + ", " + s.dataFile.GetString() + ", start " +
                       std::to_string(s.runAtStartup) + ", operators";
    for (const CString& o : p.operators) text += std::string(" [") + o.GetString() + "]";
    return text;
}

// From the defaults with a file: port 1, 9600, 8, parity 2 (NONE), stop 0 (1 bit).
const PropertyCase kCases[] = {
    {"COMMPORT", "COM7", "port 7, 9600, 8, parity 2, stop 0, C:\\c.txt, start 0, operators"},
    {"COMMPORT", "12", "port 12, 9600, 8, parity 2, stop 0, C:\\c.txt, start 0, operators"},
    {"BAUDRATE", "115200", "port 1, 115200, 8, parity 2, stop 0, C:\\c.txt, start 0, operators"},
    {"DATABITS", "7", "port 1, 9600, 7, parity 2, stop 0, C:\\c.txt, start 0, operators"},
    {"PARITY", "odd", "port 1, 9600, 8, parity 3, stop 0, C:\\c.txt, start 0, operators"},
    // Stop bits as a person counts them, not the stored index.
    {"STOPBITS", "1.5", "port 1, 9600, 8, parity 2, stop 1, C:\\c.txt, start 0, operators"},
    {"STOPBITS", "2", "port 1, 9600, 8, parity 2, stop 2, C:\\c.txt, start 0, operators"},
    {"DATAFILE", "D:\\Shop Data\\lane 1.txt",
     "port 1, 9600, 8, parity 2, stop 0, D:\\Shop Data\\lane 1.txt, start 0, operators"},
    {"RUNATSTARTUP", "1", "port 1, 9600, 8, parity 2, stop 0, C:\\c.txt, start 1, operators"},
    {"OPERATORS", "BUILTIN\\Users; TILL\\Managers;",
     "port 1, 9600, 8, parity 2, stop 0, C:\\c.txt, start 0, operators [BUILTIN\\Users] [TILL\\Managers]"},
    // Not given.
    {"COMMPORT", "", "port 1, 9600, 8, parity 2, stop 0, C:\\c.txt, start 0, operators"},
    {"COMMPORT", "COM", nullptr},
    {"COMMPORT", "0", nullptr},
    {"COMMPORT", "-3", nullptr},
    {"BAUDRATE", "fast", nullptr},
    {"BAUDRATE", "0", nullptr},
    {"DATABITS", "9", nullptr},
    {"PARITY", "2", nullptr},
    {"STOPBITS", "0", nullptr},
    {"DATAFILE", "capture.txt", nullptr},
    {"RUNATSTARTUP", "yes", nullptr},
};

} // namespace

TEST(ServiceProperties, EachPropertySetsItsValueInTheFamilyKeysMeaningAndABadOneIsRefusedByName)
{
    for (const PropertyCase& c : kCases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        ServiceParameters current;
        current.settings.dataFile = "C:\\c.txt";
        const std::string before = Describe(current);
        bool operatorsGiven = false;
        CString refused;
        const bool applied = ApplyServiceProperties({{c.name, c.value}}, current, operatorsGiven, refused);
        EXPECT_EQ(applied, c.expected != nullptr) << refused.GetString();
        EXPECT_EQ(Describe(current), c.expected ? c.expected : before);
        if (!c.expected) {
            EXPECT_NE(std::string(refused.GetString()).find(c.name), std::string::npos) << refused.GetString();
        }
        EXPECT_EQ(operatorsGiven, applied && std::string(c.name) == "OPERATORS");
    }
}

TEST(ServiceProperties, TheInstallTakesTheFamilyKeysSettingsKeepsWhatIsNotGivenAcrossAnUpgradeAndWritesNothingWhenOneIsBad)
{
    testenv::ParametersKeyGuard guard;
    CollectorSettings shop;
    shop.commPort = 4;
    shop.dataFile = "C:\\Shop\\till.txt";
    shop.runAtStartup = 1;
    {
        CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, shop);
    }
    // The package passes every property; those not on the command line come as empty.
    const std::string commandLine =
        "POSCollector.exe /configureservice COMMPORT=\"\" BAUDRATE=\"19200\" DATABITS=\"\" PARITY=\"\" STOPBITS=\"\" "
        "DATAFILE=\"\" RUNATSTARTUP=\"\" OPERATORS=\"BUILTIN\\Users\"";
    CString refused;
    ASSERT_EQ(ConfigureServiceParameters(ParseCommandLine(commandLine.c_str()).serviceProperties, refused),
              static_cast<DWORD>(ERROR_SUCCESS))
        << refused.GetString();
    CollectorSettings expected = shop;
    expected.baudRate = 19200;
    bool present = false;
    ServiceParameters stored = LoadServiceParameters(present);
    EXPECT_EQ(stored.settings, expected);
    EXPECT_EQ(stored.operators, std::vector<CString>{"BUILTIN\\Users"});
    EXPECT_EQ(LoadCollectorSettings(), expected) << "the recorder reads the family key";

    // An upgrade: a window in another session wrote the family key while the service ran; the
    // older version's removal keeps a copy and deletes the service's key.
    auto writeFamily = [](int port) {
        CollectorSettings settings = LoadCollectorSettings();
        settings.commPort = port;
        CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, settings);
    };
    auto upgrade = [&] {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kServiceParametersPath, kServiceParametersView, 0);
        ASSERT_EQ(ConfigureServiceParameters({}, refused), static_cast<DWORD>(ERROR_SUCCESS)) << refused.GetString();
    };
    writeFamily(9);
    ASSERT_EQ(CopyServiceParametersAside(), ERROR_SUCCESS);
    upgrade();
    EXPECT_EQ(LoadServiceParameters(present), stored);
    // Uninstalled, an older version without the service installed and its settings changed in
    // it, then this one again: its settings, and the operators the shop named.
    ASSERT_EQ(CopyServiceParametersAside(), ERROR_SUCCESS);
    Sleep(20);
    writeFamily(11);
    upgrade();
    ServiceParameters older = stored;
    older.settings.commPort = 11;
    EXPECT_EQ(LoadServiceParameters(present), older);
    stored = older;

    // An upgrade with a typo: nothing changes, and the reason names the property.
    ASSERT_NE(ConfigureServiceParameters({{"COMMPORT", "COM5"}, {"DATABITS", "eight"}}, refused),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(std::string(refused.GetString()).find("DATABITS=\"eight\""), std::string::npos) << refused.GetString();
    EXPECT_EQ(LoadServiceParameters(present), stored);
}

TEST(ServiceProperties, AnUpgradeTakesBackEveryLaneWithItsAlertAndOutputsAndNotALaneRemovedSince)
{
    testenv::ParametersKeyGuard guard;
    ServiceParameters first, second, third;
    first.settings.commPort = 5;
    first.silenceMinutes = 30;
    first.openHours = "Mon-Sat 08:00-20:00";
    first.outputs = {"listen 9001 text", "udp 192.168.1.60:6000"};
    first.codePage = 850;
    second.settings.commPort = 7;
    second.outputs = {"connect nvr-2:5000"};
    second.settings.dataFile = "C:\\Shop\\lane 2.txt";
    second.silenceMinutes = 10;
    third.settings.commPort = 9;
    ASSERT_EQ(SaveLaneParameters(1, first), ERROR_SUCCESS);
    ASSERT_EQ(SaveLaneParameters(2, second), ERROR_SUCCESS);
    ASSERT_EQ(SaveLaneParameters(3, third), ERROR_SUCCESS);
    // The older version's removal: a copy, then the service's key goes with everything under it.
    auto upgrade = [] {
        ASSERT_EQ(CopyServiceParametersAside(), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, kServiceParametersPath), ERROR_SUCCESS);
        CString refused;
        ASSERT_EQ(ConfigureServiceParameters({}, refused), static_cast<DWORD>(ERROR_SUCCESS)) << refused.GetString();
    };
    upgrade();
    bool present = false;
    const ServiceParameters back = LoadServiceParameters(present);
    EXPECT_EQ(back.silenceMinutes, 30u);
    EXPECT_EQ(back.openHours, first.openHours);
    EXPECT_EQ(back.outputs, first.outputs);
    EXPECT_EQ(back.codePage, 850u);
    EXPECT_EQ(LoadServiceLanes(), (std::map<int, ServiceParameters>{{2, second}, {3, third}}));

    // Lane 3 removed before the next upgrade stays removed, though an older copy held it.
    ASSERT_EQ(DeleteLaneKey(3), ERROR_SUCCESS);
    upgrade();
    EXPECT_EQ(LoadServiceLanes(), (std::map<int, ServiceParameters>{{2, second}}));
}

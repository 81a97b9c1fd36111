// The service's Parameters key: who may change it, and that the values keep the family key's
// names, types and meanings.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <map>

#include "RegistryTestSupport.h"
#include "platform/Handle.h"
#include "service/ServiceSid.h"
#include "settings/ServiceParameters.h"
#include "support/ParametersKeyGuard.h"

using namespace regtest;

namespace {

std::string SidText(WELL_KNOWN_SID_TYPE type)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(type, nullptr, sid, &size)) return std::string();
    CLocalPtr<char> text;
    return ConvertSidToStringSidA(sid, text.Receive()) ? std::string(text.Get()) : std::string();
}

class ServiceParametersTest : public ::testing::Test {
protected:
    testenv::ParametersKeyGuard guard;
};

// The Parameters key's list, or a LaneN key's: what it inherits from Parameters, protected.
Dacl ExpectedDacl(bool lane = false)
{
    const BYTE inherit = CONTAINER_INHERIT_ACE;
    const std::string service = CollectorServiceSidString().GetString();
    Dacl dacl = {true, true,
                 {{ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, SidText(WinBuiltinAdministratorsSid)},
                  {ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, SidText(WinLocalSystemSid)},
                  {ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_READ | KEY_SET_VALUE, service}}};
    // The service makes LaneN keys in Parameters, and deletes them.
    if (!lane) dacl.aces.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, KEY_CREATE_SUB_KEY, service});
    dacl.aces.push_back(
        {ACCESS_ALLOWED_ACE_TYPE, static_cast<BYTE>(lane ? inherit : inherit | INHERIT_ONLY_ACE), DELETE, service});
    dacl.aces.push_back({ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_READ, SidText(WinBuiltinUsersSid)});
    return dacl;
}

} // namespace

TEST_F(ServiceParametersTest, OnlyAdministratorsSystemAndTheServiceMayChangeTheKeyAndUsersMayReadIt)
{
    // An existing key with a list that lets everyone write (made by hand) gets ours too.
    CTestKey wide;
    ASSERT_TRUE(wide.Create(kServiceParametersPath, "D:(A;CI;KA;;;WD)", kServiceParametersView));
    wide.Close();
    ASSERT_EQ(CreateServiceParametersKey(), ERROR_SUCCESS);

    const Dacl expected = ExpectedDacl();
    // Read back while the wineserver that keeps it runs.
    EXPECT_EQ(ReadDacl(kServiceParametersPath, kServiceParametersView), expected);
    // The copy an upgrade takes back is as protected: whoever could write it would decide the
    // settings after the next upgrade.
    ASSERT_EQ(SaveServiceSettings(CollectorSettings()), ERROR_SUCCESS);
    ASSERT_EQ(CopyServiceParametersAside(), ERROR_SUCCESS);
    EXPECT_EQ(ReadDacl(kServiceParametersCopyPath, kServiceParametersCopyView), expected);

    CLocalPtr<SECURITY_DESCRIPTOR> sd;
    ASSERT_TRUE(BuildServiceParametersSecurity(sd));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd.Get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the Services key's entries would be inherited";
}

TEST_F(ServiceParametersTest, ValuesKeepTheFamilyKeysNamesAndTypesAndReadBackAsWritten)
{
    bool present = true;
    LoadServiceParameters(present);
    EXPECT_FALSE(present) << "no key";

    // Operators alone (a package run with OPERATORS only) is not a set of settings to run from.
    ServiceParameters saved;
    saved.operators = {"BUILTIN\\Users", "TILL\\Managers"};
    ASSERT_EQ(SaveServiceOperators(saved.operators), ERROR_SUCCESS);
    EXPECT_EQ(LoadServiceParameters(present).operators, saved.operators);
    EXPECT_FALSE(present);

    saved.settings.commPort = 7;
    saved.settings.baudRate = 115200;
    saved.settings.dataBits = 7;
    saved.settings.parity = 0;
    saved.settings.stopBits = 2;
    saved.settings.dataFile = "C:\\Shop Data\\lane 1.txt";
    saved.settings.runAtStartup = 1;
    ASSERT_EQ(SaveServiceSettings(saved.settings), ERROR_SUCCESS);
    EXPECT_EQ(LoadServiceParameters(present), saved);
    EXPECT_TRUE(present);

    CTestKey key;
    ASSERT_TRUE(key.Open(kServiceParametersPath, KEY_QUERY_VALUE, kServiceParametersView));
    const struct {
        const char* name;
        DWORD type;
    } kValues[] = {{"CommPort", REG_DWORD}, {"BaudRate", REG_DWORD}, {"DataBits", REG_DWORD},
                   {"Parity", REG_DWORD},   {"StopBits", REG_DWORD}, {"DataFile", REG_SZ},
                   {"RunAtStartup", REG_DWORD}, {"Operators", REG_MULTI_SZ}};
    for (const auto& value : kValues) {
        DWORD type = REG_NONE;
        EXPECT_EQ(RegQueryValueExA(key.Get(), value.name, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS)
            << value.name;
        EXPECT_EQ(type, value.type) << value.name;
    }
}

TEST_F(ServiceParametersTest, ALaneKeyMadeByTheServiceOrByADeploymentBeforeTheInstallGetsTheLaneList)
{
    // Whoever may write a lane's key decides which port and file it captures.
    ASSERT_EQ(CreateServiceParametersKey(), ERROR_SUCCESS);
    CollectorSettings settings;
    settings.commPort = 7;
    ASSERT_EQ(SaveLaneSettings(3, settings), ERROR_SUCCESS);
    EXPECT_EQ(ReadDacl(LanePath(3), kServiceParametersView), ExpectedDacl(true));
    // reg.exe add ...\Parameters\Lane2 ahead of the package: no list of its own.
    CTestKey deployed;
    ASSERT_TRUE(deployed.Create(LanePath(2), nullptr, kServiceParametersView));
    deployed.Close();
    ASSERT_EQ(CreateServiceParametersKey(), ERROR_SUCCESS);
    EXPECT_EQ(ReadDacl(LanePath(2), kServiceParametersView), ExpectedDacl(true));
}

TEST_F(ServiceParametersTest, ALaneIsALaneNKeyWithOneOfTheSevenValuesAndItsNewValuesAreReadStrictly)
{
    ServiceParameters second;
    second.settings.commPort = 7;
    second.settings.dataFile = "C:\\Shop Data\\lane 2.txt";
    second.settings.runAtStartup = 1;
    second.silenceMinutes = 15;
    second.openHours = "Mon-Fri 08:00-20:00; Sat 09:00-17:00";
    second.outputs = {"listen 9001 from 192.168.1.20 text", "udp 192.168.1.50:6000"};
    second.codePage = 858;
    ASSERT_EQ(SaveLaneParameters(2, second), ERROR_SUCCESS);
    ServiceParameters third;
    third.settings.commPort = 9;
    ASSERT_EQ(SaveLaneSettings(3, third.settings), ERROR_SUCCESS);
    // A key with the silence alert alone is no lane; one whose alert values have the wrong type
    // is a lane that names them, without taking their bytes for minutes or hours.
    CTestKey alertOnly, wrongTypes;
    ASSERT_TRUE(alertOnly.Create(LanePath(4), nullptr, kServiceParametersView));
    const DWORD fifteen = 15;
    ASSERT_EQ(RegSetValueExA(alertOnly.Get(), "SilenceMinutes", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fifteen),
                             sizeof fifteen),
              ERROR_SUCCESS);
    ASSERT_TRUE(wrongTypes.Create(LanePath(5), nullptr, kServiceParametersView));
    const DWORD port = 11;
    ASSERT_EQ(RegSetValueExA(wrongTypes.Get(), "CommPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(wrongTypes.Get(), "SilenceMinutes", 0, REG_SZ, reinterpret_cast<const BYTE*>("15"), 3),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(wrongTypes.Get(), "OpenHours", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fifteen),
                             sizeof fifteen),
              ERROR_SUCCESS);
    // Outputs as one REG_SZ string, a mistake a script makes easily, is no list of outputs.
    const char oneString[] = "listen 9001";
    ASSERT_EQ(RegSetValueExA(wrongTypes.Get(), "Outputs", 0, REG_SZ, reinterpret_cast<const BYTE*>(oneString),
                             sizeof oneString),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(wrongTypes.Get(), "CodePage", 0, REG_SZ, reinterpret_cast<const BYTE*>("850"), 4),
              ERROR_SUCCESS);
    alertOnly.Close();
    wrongTypes.Close();

    std::map<int, ServiceParameters> lanes = LoadServiceLanes();
    ASSERT_EQ(lanes.size(), 3u);
    EXPECT_EQ(lanes[2], second);
    EXPECT_TRUE(lanes[2].unreadable.empty());
    EXPECT_EQ(lanes[3], third);
    EXPECT_EQ(lanes[5].settings.commPort, 11);
    EXPECT_EQ(lanes[5].silenceMinutes, 0u);
    EXPECT_TRUE(lanes[5].openHours.IsEmpty());
    EXPECT_TRUE(lanes[5].outputs.empty());
    EXPECT_EQ(lanes[5].codePage, 437u);
    EXPECT_EQ(lanes[5].unreadable, (std::vector<CString>{"SilenceMinutes", "OpenHours", "Outputs", "CodePage"}));

    // A window's save of a lane leaves the alert and the outputs a deployment set.
    second.settings.baudRate = 19200;
    ASSERT_EQ(SaveLaneSettings(2, second.settings), ERROR_SUCCESS);
    EXPECT_EQ(LoadServiceLanes()[2], second);

    EXPECT_EQ(DeleteLaneKey(3), ERROR_SUCCESS);
    EXPECT_EQ(DeleteLaneKey(3), ERROR_SUCCESS) << "a lane already gone";
    EXPECT_NE(DeleteLaneKey(1), ERROR_SUCCESS) << "lane 1 is the Parameters key itself";
    EXPECT_EQ(LoadServiceLanes().count(3), 0u);
    bool present = false;
    LoadServiceParameters(present);
    EXPECT_FALSE(present) << "lanes are not lane 1";
}

// The service's Parameters key: who may change it, and that the values keep the family key's
// names, types and meanings.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

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

} // namespace

TEST_F(ServiceParametersTest, OnlyAdministratorsSystemAndTheServiceMayChangeTheKeyAndUsersMayReadIt)
{
    // An existing key with a list that lets everyone write (made by hand) gets ours too.
    CTestKey wide;
    ASSERT_TRUE(wide.Create(kServiceParametersPath, "D:(A;CI;KA;;;WD)", kServiceParametersView));
    wide.Close();
    ASSERT_EQ(CreateServiceParametersKey(), ERROR_SUCCESS);

    const BYTE inherit = CONTAINER_INHERIT_ACE;
    const Dacl expected = {true, true,
                           {{ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, SidText(WinBuiltinAdministratorsSid)},
                            {ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, SidText(WinLocalSystemSid)},
                            {ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_READ | KEY_SET_VALUE,
                             CollectorServiceSidString().GetString()},
                            {ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_READ, SidText(WinBuiltinUsersSid)}}};
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

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

// What a standard user's token asks of the list: this process's token with Administrators and
// its own SID disabled, as Windows filters an administrator's token (Wine evaluates it so).
DWORD GrantedToStandardUser(PSECURITY_DESCRIPTOR sd, DWORD desired)
{
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &process))
        return 0;
    CHandle own(process);
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD adminsSize = sizeof admins;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize);
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    if (!GetTokenInformation(own, TokenUser, &info, sizeof info, &size)) return 0;
    SID_AND_ATTRIBUTES disabled[2] = {{admins, 0}, {info.user.User.Sid, 0}};
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(own, 0, 2, disabled, 0, nullptr, 0, nullptr, &restricted)) return 0;
    CHandle primary(restricted);
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(primary, SecurityImpersonation, &impersonation)) return 0;
    CHandle token(impersonation);
    GENERIC_MAPPING mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!AccessCheck(sd, token, desired, &mapping, &privileges, &privilegesSize, &granted, &status) || !status)
        return 0;
    return granted;
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
    EXPECT_EQ(ReadDacl(kServiceParametersCopyPath, kServiceParametersView), expected);

    CLocalPtr<SECURITY_DESCRIPTOR> sd;
    ASSERT_TRUE(BuildServiceParametersSecurity(sd));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd.Get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the Services key's entries would be inherited";
    // AccessCheck wants an owner and a group beside the list it judges.
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.Get(), &present, &dacl, &defaulted));
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD adminsSize = sizeof admins;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize));
    SECURITY_DESCRIPTOR judged;
    ASSERT_TRUE(InitializeSecurityDescriptor(&judged, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&judged, admins, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorGroup(&judged, admins, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&judged, TRUE, dacl, FALSE));
    SECURITY_DESCRIPTOR* full = &judged;
    EXPECT_EQ(GrantedToStandardUser(full, KEY_QUERY_VALUE), static_cast<DWORD>(KEY_QUERY_VALUE));
    EXPECT_EQ(GrantedToStandardUser(full, KEY_SET_VALUE), 0u);
    EXPECT_EQ(GrantedToStandardUser(full, WRITE_DAC), 0u);
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

TEST_F(ServiceParametersTest, TheWatchIsSetByAChangeOfAValueAndOnlyAfterItIsArmed)
{
    ASSERT_EQ(CreateServiceParametersKey(), ERROR_SUCCESS);
    CParametersWatch watch;
    ASSERT_TRUE(watch.Arm());
    EXPECT_EQ(WaitForSingleObject(watch.Event(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
    CollectorSettings settings;
    ASSERT_EQ(SaveServiceSettings(settings), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(watch.Event(), 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    // One signal per arming: the next change is heard only once armed again.
    ASSERT_EQ(SaveServiceSettings(settings), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(watch.Event(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(watch.Arm());
    ASSERT_EQ(SaveServiceOperators({"BUILTIN\\Users"}), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(watch.Event(), 2000), static_cast<DWORD>(WAIT_OBJECT_0));
}

// Who may control the capture, whom a window believes, and what the pipe's access list lets a
// standard user do: the decisions on their own, and the access list as Windows evaluates it.
#include "service/ClientIdentity.h"
#include "channel/PipeClient.h"
#include "channel/PipeSecurity.h"
#include "service/ServiceSid.h"

#include <sddl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Handle.h"

namespace {

SidBytes Sid(const char* text)
{
    CLocalPtr<void> sid;
    EXPECT_TRUE(ConvertStringSidToSidA(text, sid.Receive())) << text;
    return CopySid(sid.Get());
}

const char kUser[] = "S-1-5-21-1-2-3-1001";
const char kShopGroup[] = "S-1-5-21-1-2-3-2001";
const char kAdmins[] = "S-1-5-32-544";
const char kUsers[] = "S-1-5-32-545";
std::string SidText(PSID sid)
{
    CLocalPtr<char> text;
    return ConvertSidToStringSidA(sid, text.Receive()) ? text.Get() : "";
}

bool Descriptor(const std::string& fullAccessSid, CLocalPtr<void>& sd)
{
    const std::string sddl = "O:SYG:SY" + PipeSecurityDescriptorString(fullAccessSid);
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, sd.Receive(), nullptr);
}

const DWORD kEnabled = SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_MANDATORY;

TokenFacts Token(std::vector<std::pair<const char*, DWORD>> groups)
{
    TokenFacts t;
    t.user = Sid(kUser);
    for (const auto& g : groups) t.groups.push_back({Sid(g.first), g.second});
    return t;
}

} // namespace

TEST(ChannelTrust, AdministratorsAndTheNamedOperatorsMayControlAndNobodyElse)
{
    const struct {
        const char* who;
        TokenFacts token;
        std::vector<const char*> operators;
        bool may;
    } cases[] = {
        {"administrator, elevated", Token({{kAdmins, kEnabled}, {kUsers, kEnabled}}), {}, true},
        {"administrator, UAC-filtered", Token({{kAdmins, SE_GROUP_USE_FOR_DENY_ONLY}, {kUsers, kEnabled}}), {}, true},
        {"standard user", Token({{kUsers, kEnabled}, {kShopGroup, kEnabled}}), {}, false},
        {"standard user, others named", Token({{kUsers, kEnabled}}), {kShopGroup, "S-1-5-21-1-2-3-1002"}, false},
        {"operator by account", Token({{kUsers, kEnabled}}), {kUser}, true},
        {"operator by group", Token({{kUsers, kEnabled}, {kShopGroup, kEnabled}}), {kShopGroup}, true},
        {"operator group deny-only", Token({{kUsers, kEnabled}, {kShopGroup, SE_GROUP_USE_FOR_DENY_ONLY}}),
         {kShopGroup}, false},
        {"operator group disabled", Token({{kUsers, kEnabled}, {kShopGroup, 0}}), {kShopGroup}, false},
        {"everyone may (BUILTIN\\Users)", Token({{kUsers, kEnabled}}), {kUsers}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        std::vector<SidBytes> operators;
        for (const char* o : c.operators) operators.push_back(Sid(o));
        EXPECT_EQ(c.may, MayControl(c.token, operators));
    }
}

TEST(ChannelTrust, OperatorsAreNamedByAccountGroupOrSidAndWhatNamesNothingIsPassedOver)
{
    std::vector<SidBytes> sids = ResolveOperators(
        {"BUILTIN\\Users", "S-1-5-32-544", "", "S-1-garbage", "NO SUCH DOMAIN\\nobody at all", "s-1-5-21-1-2-3-2001"});
    ASSERT_EQ(3u, sids.size());
    EXPECT_EQ(Sid(kUsers), sids[0]);
    EXPECT_EQ(Sid(kAdmins), sids[1]);
    EXPECT_EQ(Sid(kShopGroup), sids[2]);
}

TEST(ChannelTrust, TheOperatorsValueIsReadFromTheServicesParameters)
{
    const char key[] = "SYSTEM\\CurrentControlSet\\Services\\OrvanePOSCollector\\Parameters";
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                                             nullptr));
    const std::string list("BUILTIN\\Users\0S-1-5-21-1-2-3-2001\0\0", 35);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(raw, "Operators", 0, REG_MULTI_SZ,
                                            reinterpret_cast<const BYTE*>(list.data()), static_cast<DWORD>(list.size())));
    EXPECT_EQ((std::vector<std::string>{"BUILTIN\\Users", "S-1-5-21-1-2-3-2001"}), ReadOperators());
    // A value of another type is no list of operators.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(raw, "Operators", 0, REG_SZ, reinterpret_cast<const BYTE*>("BUILTIN\\Users"), 14));
    EXPECT_TRUE(ReadOperators().empty());
    RegDeleteValueA(raw, "Operators");
    EXPECT_TRUE(ReadOperators().empty());
    RegCloseKey(raw);
}

TEST(ChannelTrust, AWindowBelievesOnlyTheExpectedProcessOwnedByTheServicesAccount)
{
    ExpectedServer service;
    service.processId = 1200;
    service.owners = {"S-1-5-19", "S-1-5-80-1-2-3-4-5"};
    const struct {
        const char* what;
        DWORD processId;
        const char* owner;
        bool believed;
    } cases[] = {
        {"the service, as LocalService", 1200, "S-1-5-19", true},
        {"the service, by its service SID", 1200, "S-1-5-80-1-2-3-4-5", true},
        {"another process", 1204, "S-1-5-19", false},
        {"the service's id, a user's pipe", 1200, kUser, false},
        {"no process named", 0, "S-1-5-19", false},
        {"no owner reported", 1200, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.believed, IsExpectedServer(c.processId, c.owner, service));
    }
    // No service installed here: nobody to believe at all.
    ExpectedServer none;
    EXPECT_FALSE(ExpectCollectorService(none));
}

// Windows gives a standard user's window a token whose Administrators group is deny-only; Wine
// runs everything as an administrator but evaluates such a token's access correctly.
TEST(ChannelTrust, AStandardUsersWindowMayReadAndWriteThePipeButNeitherServeItNorWriteAttributes)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw));
    CHandle process(raw);
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(process, TokenUser, user, sizeof user, &size));
    SidBytes admins = Sid(kAdmins);
    SID_AND_ATTRIBUTES disable[] = {{reinterpret_cast<TOKEN_USER*>(user)->User.Sid, 0}, {admins.data(), 0}};
    ASSERT_TRUE(CreateRestrictedToken(process, 0, 2, disable, 0, nullptr, 0, nullptr, &raw));
    CHandle restricted(raw);
    ASSERT_TRUE(DuplicateToken(restricted, SecurityIdentification, &raw));
    CHandle standardUser(raw);
    ASSERT_TRUE(DuplicateToken(process, SecurityIdentification, &raw));
    CHandle self(raw);

    // AccessCheck needs an owner and a group. The service's list names its service SID; this
    // process's names its own account, as this process carries no service SID.
    ASSERT_EQ(PipeOwnerSid(), SidText(reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
    CLocalPtr<void> serviceSd;
    CLocalPtr<void> ownSd;
    ASSERT_TRUE(Descriptor(CollectorServiceSidString().GetString(), serviceSd));
    ASSERT_TRUE(Descriptor(PipeOwnerSid(), ownSd));
    // (Wine's AccessCheck honours disabled groups but not a disabled user SID, so the list naming
    // this very account is checked for this process only.)
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    auto granted = [&](const CLocalPtr<void>& sd, HANDLE token, ACCESS_MASK wanted) {
        MapGenericMask(&wanted, &mapping);
        PRIVILEGE_SET privileges;
        DWORD privilegesSize = sizeof privileges;
        DWORD grantedAccess = 0;
        BOOL status = FALSE;
        EXPECT_TRUE(AccessCheck(sd.Get(), token, wanted, &mapping, &privileges, &privilegesSize, &grantedAccess, &status));
        return status != FALSE;
    };
    const struct {
        const char* what;
        ACCESS_MASK wanted;
        bool user;
        bool service;
    } cases[] = {
        {"the window's open", GENERIC_READ | FILE_WRITE_DATA, true, true},
        {"GENERIC_WRITE", GENERIC_WRITE, false, true},
        {"creating an instance", FILE_CREATE_PIPE_INSTANCE, false, true},
        {"changing the access list", WRITE_DAC, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.user, granted(serviceSd, standardUser, c.wanted));
        // The process that serves the pipe may make its instances.
        EXPECT_EQ(c.service, granted(ownSd, self, c.wanted));
    }
}

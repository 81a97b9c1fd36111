// The capture folder's access list, read against the tokens of a standard user and an
// administrator. Wine keeps no access lists on files, but its AccessCheck evaluates a list
// against a filtered token as Windows does (not against a token's restricting SIDs, so the
// service's entry is read as it stands).
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <vector>

#include "platform/Handle.h"
#include "service/ServiceSetup.h"
#include "service/ServiceSid.h"

namespace {

struct Sid {
    explicit Sid(WELL_KNOWN_SID_TYPE type)
    {
        DWORD size = sizeof bytes;
        ok = ::CreateWellKnownSid(type, nullptr, bytes, &size) != FALSE;
    }
    PSID Get() { return bytes; }
    BYTE bytes[SECURITY_MAX_SID_SIZE];
    bool ok = false;
};

// This process's token made into one AccessCheck takes, as it is or with Administrators and
// the user's own SID disabled (a standard user).
HANDLE TokenFor(bool standardUser)
{
    CHandle process;
    HANDLE h = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &h)) return nullptr;
    process.Attach(h);
    BYTE userBuffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(process, TokenUser, userBuffer, sizeof userBuffer, &size)) return nullptr;
    Sid administrators(WinBuiltinAdministratorsSid);
    SID_AND_ATTRIBUTES disabled[] = {{administrators.Get(), 0},
                                     {reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid, 0}};
    CHandle filtered;
    if (!::CreateRestrictedToken(process, 0, standardUser ? 2 : 0, standardUser ? disabled : nullptr, 0, nullptr,
                                 0, nullptr, &h))
        return nullptr;
    filtered.Attach(h);
    if (!::DuplicateToken(filtered, SecurityIdentification, &h)) return nullptr;
    return h;
}

// The rights of desired that the list grants the token.
DWORD Granted(PACL list, HANDLE token, DWORD desired)
{
    Sid owner(WinBuiltinAdministratorsSid);
    SECURITY_DESCRIPTOR sd;
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&sd, TRUE, list, FALSE);
    ::SetSecurityDescriptorOwner(&sd, owner.Get(), FALSE);
    ::SetSecurityDescriptorGroup(&sd, owner.Get(), FALSE);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL ok = FALSE;
    if (!::AccessCheck(&sd, token, desired, &mapping, &privileges, &privilegesSize, &granted, &ok)) return 0;
    return ok ? granted : 0;
}

} // namespace

TEST(ServiceSetup, TheCaptureFolderLetsAdministratorsAndTheServiceInAndUsersOnlyRead)
{
    CLocalPtr<ACL> list;
    ASSERT_EQ(CaptureFolderAccessList(list), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(list.Get(), nullptr);
    PSID serviceSid = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidA(CollectorServiceSidString(), &serviceSid));
    CLocalPtr<void> ownedServiceSid(serviceSid);
    const DWORD modify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    // Every entry is explicit and passed on to files and folders made inside; the service's SID
    // may modify, and no entry names LocalService, which every LocalService process carries.
    Sid localService(WinLocalServiceSid);
    int serviceEntries = 0;
    for (DWORD i = 0; i < list.Get()->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(::GetAce(list.Get(), i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_FALSE(::EqualSid(&ace->SidStart, localService.Get()));
        if (::EqualSid(&ace->SidStart, serviceSid)) {
            ++serviceEntries;
            EXPECT_EQ(ace->Mask, modify);
        }
    }
    EXPECT_EQ(serviceEntries, 1);

    CHandle user(TokenFor(true)), administrator(TokenFor(false));
    ASSERT_TRUE(user.IsValid() && administrator.IsValid());
    struct Case {
        HANDLE token;
        DWORD rights;
        bool granted;
    } const cases[] = {
        {user, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, true},
        // A junction or link is a folder or file made inside.
        {user, FILE_ADD_FILE, false},
        {user, FILE_ADD_SUBDIRECTORY, false},
        {user, FILE_WRITE_DATA | FILE_APPEND_DATA, false},
        {user, DELETE, false},
        {user, WRITE_DAC, false},
        {administrator, FILE_ALL_ACCESS, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Granted(list.Get(), c.token, c.rights) == c.rights, c.granted)
            << (c.token == user.Get() ? "user " : "administrator ") << std::hex << c.rights;
}

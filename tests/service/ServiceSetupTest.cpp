// The capture folder's access entry for the service's account. Wine keeps no access lists on
// files, so the list is checked as the package would write it.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include <vector>

#include "service/ServiceSetup.h"

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

struct Entry {
    BYTE type;
    BYTE flags;
    DWORD mask;
    bool localService;
};

std::vector<Entry> Entries(PACL acl)
{
    Sid localService(WinLocalServiceSid);
    std::vector<Entry> entries;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(acl, i, reinterpret_cast<void**>(&ace))) continue;
        entries.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                           ::EqualSid(&ace->SidStart, localService.Get()) != FALSE});
    }
    return entries;
}

} // namespace

TEST(ServiceSetup, TheCaptureFolderGetsOneModifyEntryForLocalServiceBesideWhatItInheritsAndAnUpgradeAddsNone)
{
    // What a folder made in ProgramData inherits: SYSTEM full, Users read.
    Sid system(WinLocalSystemSid), users(WinBuiltinUsersSid);
    ASSERT_TRUE(system.ok && users.ok);
    alignas(DWORD) BYTE buffer[256];
    PACL inherited = reinterpret_cast<PACL>(buffer);
    const BYTE fromParent = INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    ASSERT_TRUE(::InitializeAcl(inherited, sizeof buffer, ACL_REVISION));
    ASSERT_TRUE(::AddAccessAllowedAceEx(inherited, ACL_REVISION, fromParent, FILE_ALL_ACCESS, system.Get()));
    ASSERT_TRUE(::AddAccessAllowedAceEx(inherited, ACL_REVISION, fromParent, FILE_GENERIC_READ, users.Get()));

    CLocalPtr<ACL> installed;
    ASSERT_EQ(AddServiceAccountModify(inherited, installed), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(installed.Get(), nullptr);
    int ours = 0, kept = 0;
    for (const Entry& e : Entries(installed.Get())) {
        if (e.localService) {
            ++ours;
            EXPECT_EQ(e.type, ACCESS_ALLOWED_ACE_TYPE);
            // Modify (0x1301BF), explicit, passed on to the files and folders made inside.
            EXPECT_EQ(e.mask, static_cast<DWORD>(0x1301BF));
            EXPECT_EQ(e.flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        } else if (e.flags & INHERITED_ACE) {
            ++kept;
        }
    }
    EXPECT_EQ(ours, 1);
    EXPECT_EQ(kept, 2);

    CLocalPtr<ACL> upgraded;
    EXPECT_EQ(AddServiceAccountModify(installed.Get(), upgraded), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(upgraded.Get(), nullptr);
}

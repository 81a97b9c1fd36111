#include "settings/KeySecurity.h"
#include "settings/RegistryKey.h"
#include "settings/SettingsStore.h"

#include "RegistryTestSupport.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <algorithm>
#include <climits>

using namespace regtest;

namespace {

// What the Everyone entry is built from, recorded on the way to the system's own calls.
struct BuildRecord {
    int sidCalls = 0;
    BYTE authority[6] = {};
    BYTE subCount = 0;
    DWORD firstSub = 0xFFFFFFFF;
    int aclCalls = 0;
    ULONG entryCount = 0;
    bool hadOldAcl = true;
    EXPLICIT_ACCESS_A entry = {};
    std::string trusteeSid;
};
BuildRecord g_record;

BOOL WINAPI RecordingAllocateSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                                 DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid)
{
    ++g_record.sidCalls;
    std::copy(authority->Value, authority->Value + 6, g_record.authority);
    g_record.subCount = count;
    g_record.firstSub = s0;
    return AllocateAndInitializeSid(authority, count, s0, s1, s2, s3, s4, s5, s6, s7, sid);
}

DWORD WINAPI RecordingSetEntries(ULONG count, PEXPLICIT_ACCESS_A entries, PACL oldAcl, PACL* newAcl)
{
    ++g_record.aclCalls;
    g_record.entryCount = count;
    g_record.hadOldAcl = oldAcl != nullptr;
    if (count > 0) {
        g_record.entry = entries[0];
        CLocalPtr<char> text;
        if (entries[0].Trustee.TrusteeForm == TRUSTEE_IS_SID &&
            ConvertSidToStringSidA(entries[0].Trustee.ptstrName, text.Receive()))
            g_record.trusteeSid = text.Get();
    }
    return SetEntriesInAclA(count, entries, oldAcl, newAcl);
}

// Step 4 fails: no SID.
BOOL WINAPI FailingAllocateSid(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                               DWORD, PSID*)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// Step 6 fails: no list.
DWORD WINAPI FailingSetEntries(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL*)
{
    return ERROR_NOT_ENOUGH_MEMORY;
}

const KeySecurityCalls kRecording = {RecordingAllocateSid, RecordingSetEntries};
const KeySecurityCalls kSidFails = {FailingAllocateSid, SetEntriesInAclA};
const KeySecurityCalls kAclFails = {AllocateAndInitializeSid, FailingSetEntries};

} // namespace

TEST(KeySecurityTest, BuildsOneEntryGrantingEveryoneFullAccessInheritedBySubkeysAndValues)
{
    g_record = BuildRecord();
    CKeySecurity security(kRecording);

    ASSERT_TRUE(security.IsValid());
    SECURITY_ATTRIBUTES* sa = security.Attributes();
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_TRUE(sa->bInheritHandle);
    EXPECT_TRUE(IsValidSecurityDescriptor(sa->lpSecurityDescriptor));
    EXPECT_EQ(DaclOf(sa->lpSecurityDescriptor), EveryoneFullAccess());

    // What the resulting list cannot show: the entry as handed to the system.
    const BYTE world[6] = {0, 0, 0, 0, 0, 1};
    EXPECT_EQ(g_record.sidCalls, 1);
    EXPECT_TRUE(std::equal(world, world + 6, g_record.authority));
    EXPECT_EQ(g_record.subCount, 1);
    EXPECT_EQ(g_record.firstSub, static_cast<DWORD>(SECURITY_WORLD_RID));
    EXPECT_EQ(g_record.aclCalls, 1);
    EXPECT_EQ(g_record.entryCount, 1u);
    EXPECT_FALSE(g_record.hadOldAcl);
    EXPECT_EQ(g_record.entry.grfAccessPermissions, 0x1FFFFFu);
    EXPECT_EQ(g_record.entry.grfAccessMode, SET_ACCESS);
    EXPECT_EQ(g_record.entry.grfInheritance, static_cast<DWORD>(SUB_CONTAINERS_AND_OBJECTS_INHERIT));
    EXPECT_EQ(g_record.entry.Trustee.TrusteeForm, TRUSTEE_IS_SID);
    EXPECT_EQ(g_record.entry.Trustee.TrusteeType, TRUSTEE_IS_WELL_KNOWN_GROUP);
    EXPECT_EQ(g_record.entry.Trustee.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
    EXPECT_EQ(g_record.trusteeSid, "S-1-1-0");
}

TEST(KeySecurityTest, WithoutTheEveryoneEntryThereIsNoSecurityRecordToHandOut)
{
    for (const KeySecurityCalls* calls : {&kSidFails, &kAclFails}) {
        CKeySecurity security(*calls);
        EXPECT_FALSE(security.IsValid());
        EXPECT_EQ(security.Attributes(), nullptr);
        // Nothing to set: the key is not touched.
        EXPECT_FALSE(security.Apply(HKEY_LOCAL_MACHINE));
    }
}

TEST(RegistryKeyTest, KeyPathGivesTheTableRowsAndTheEmptyPathOutsideTheTable)
{
    EXPECT_STREQ(CRegistryKey::KeyPath(0), "SOFTWARE\\Tarnwick\\Orvane DVR\\");
    EXPECT_STREQ(CRegistryKey::KeyPath(43), "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector\\");
    for (int outside : {-1, 69, 70, INT_MIN, INT_MAX}) EXPECT_TRUE(CRegistryKey::KeyPath(outside).IsEmpty()) << outside;
}

TEST(RegistryKeyTest, ClosingTwiceReportsAnInvalidHandleTheSecondTime)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    ASSERT_NE(key.Handle(), nullptr);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_EQ(key.Handle(), nullptr);
    EXPECT_EQ(key.Close(), ERROR_INVALID_HANDLE);
    // A closed key reads defaults and refuses writes.
    EXPECT_EQ(key.ReadDword("CommPort", 77), 77u);
    EXPECT_STREQ(key.ReadString("DataFile", "dflt"), "dflt");
    EXPECT_NE(key.WriteDword("CommPort", 3), ERROR_SUCCESS);
}

TEST(RegistryKeyTest, ReopenWithASuffixCreatesTheSubkeyWithTheEveryoneEntry)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.Reopen(43, nullptr, "Ports\\COM5", REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS));
    ASSERT_EQ(key.WriteDword("Seen", 0x01020304), ERROR_SUCCESS);

    const char* path = "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector\\Ports\\COM5";
    RawValue seen = ReadRaw(path, "Seen");
    ASSERT_TRUE(seen.present);
    EXPECT_EQ(seen.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(seen.data, std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(ReadDacl(path), EveryoneFullAccess());

    // Reopening an existing key succeeds and leaves it as it is.
    ASSERT_TRUE(key.Reopen(43, nullptr, "Ports\\COM5", REG_OPTION_NON_VOLATILE, KEY_READ));
    EXPECT_EQ(key.ReadDword("Seen", 0), 0x01020304u);
}

TEST(RegistryKeyTest, ThirtyTwoBitProgramsKeysLandInTheThirtyTwoBitView)
{
    REQUIRE_TESTENV();
    if (!RunsUnderWow64()) GTEST_SKIP() << "only a 32-bit program on a 64-bit system has a separate 32-bit view";
    CProductTreeGuard guard;
    CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.Reopen(43, nullptr, "", REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS));

    EXPECT_TRUE(KeyExists("SOFTWARE\\WOW6432Node\\Tarnwick\\Orvane DVR\\POSCollector", KEY_WOW64_64KEY));
    EXPECT_FALSE(KeyExists("SOFTWARE\\Tarnwick", KEY_WOW64_64KEY));
}

// When the Everyone entry cannot be built, keys are created with the default security, the
// key stays usable, and nothing is written outside it.
TEST(RegistryKeyTest, WithoutTheEveryoneEntryKeysGetTheDefaultSecurityAndStayUsable)
{
    REQUIRE_TESTENV();
    Tree before;
    {
        CProductTreeGuard clean;
        before = SnapshotSoftware();
    }
    ASSERT_FALSE(before.empty());
    for (const KeySecurityCalls* calls : {&kSidFails, &kAclFails}) {
        SCOPED_TRACE(calls == &kSidFails ? "the SID cannot be made" : "the list cannot be made");
        CProductTreeGuard guard;

        CollectorSettings saved;
        saved.commPort = 4;
        saved.dataFile = "C:\\pos\\till2.bin";
        {
            CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE, *calls);
            ASSERT_NE(key.Handle(), nullptr);
            EXPECT_FALSE(key.Security().IsValid());
            // Nothing to apply: the open key stays as it is.
            HKEY open = key.Handle();
            EXPECT_FALSE(key.ApplySecurity(CRegistryKey::KeyPath(0)));
            EXPECT_EQ(key.Handle(), open);
            SaveCollectorSettings(key, saved);
            ASSERT_NE(key.Handle(), nullptr);
        }
        CollectorSettings loaded = LoadCollectorSettings();
        EXPECT_EQ(loaded.commPort, 4);
        EXPECT_STREQ(loaded.dataFile, "C:\\pos\\till2.bin");

        EXPECT_EQ(TreeDifferences(before, SnapshotSoftware()), ProductTreeAdditions(true));

        // Default security: what any key created there without attributes gets.
        {
            CTestKey reference;
            ASSERT_TRUE(reference.Create("SOFTWARE\\Tarnwick\\Reference"));
            ASSERT_TRUE(reference.Create("SOFTWARE\\Tarnwick\\Orvane DVR\\Reference"));
        }
        Dacl product = ReadDacl(kProductPath);
        Dacl collector = ReadDacl(kCollectorPath);
        EXPECT_TRUE(product.read);
        EXPECT_NE(product, EveryoneFullAccess());
        EXPECT_EQ(product, ReadDacl("SOFTWARE\\Tarnwick\\Reference"));
        EXPECT_EQ(collector, ReadDacl("SOFTWARE\\Tarnwick\\Orvane DVR\\Reference"));
    }
}

#include "settings/RegistryKey.h"
#include "settings/SettingsStore.h"

#include "RegistryTestSupport.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace regtest;

namespace {

std::string Dword(DWORD v)
{
    return std::string(reinterpret_cast<const char*>(&v), sizeof(v));
}

// The dialog's close: the product key, then the save.
void SaveAsTheDialogDoes(const CollectorSettings& settings)
{
    CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    SaveCollectorSettings(key, settings);
}

CollectorSettings AllDifferentFromTheDefaults()
{
    CollectorSettings s;
    s.commPort = 12;
    s.baudRate = 115200;
    s.dataBits = 7;
    s.parity = 1;
    s.stopBits = 2;
    s.dataFile = "D:\\POS Capture\\till 1.bin";
    s.runAtStartup = 1;
    return s;
}

// A key as a standard account has it when the collector key lacks the Everyone entry: Windows
// refuses every open that asks for more than reading (Wine enforces no access lists).
class CReadOnlyKey : public CRegistryKey {
public:
    CReadOnlyKey() : CRegistryKey(0, KEY_READ, HKEY_LOCAL_MACHINE) {}
    bool Reopen(int keyIndex, SECURITY_ATTRIBUTES* sa, CString suffix, unsigned options, REGSAM sam) override
    {
        if (sam & ~KEY_READ) {
            ++refused;
            Close();
            return false;
        }
        return CRegistryKey::Reopen(keyIndex, sa, suffix, options, sam);
    }
    int refused = 0;
};

} // namespace

TEST(SettingsStoreTest, FirstLoadGivesTheDefaultsAndCreatesBothKeysWithTheEveryoneEntryOnly)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    ASSERT_FALSE(KeyExists(kVendorPath));
    Tree before = SnapshotSoftware();

    CollectorSettings s = LoadCollectorSettings();

    EXPECT_EQ(s.commPort, 1);
    EXPECT_EQ(s.baudRate, 9600);
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.parity, 2);
    EXPECT_EQ(s.stopBits, 0);
    EXPECT_TRUE(s.dataFile.IsEmpty());
    EXPECT_EQ(s.runAtStartup, 0);

    EXPECT_EQ(ReadDacl(kProductPath), EveryoneFullAccess());
    EXPECT_EQ(ReadDacl(kCollectorPath), EveryoneFullAccess());

    // Loading writes no values, and nothing outside the keys on the product's path.
    EXPECT_EQ(TreeDifferences(before, SnapshotSoftware()), ProductTreeAdditions(false));
}

TEST(SettingsStoreTest, KeysThatExistAreOpenedWithTheirAccessListsUnchanged)
{
    REQUIRE_TESTENV();
    const char* installerList = "D:(A;;KA;;;BA)(A;;KR;;;WD)";
    {
        // The product key alone exists: it stays as it is, the collector key is created.
        CProductTreeGuard guard;
        CTestKey product;
        ASSERT_TRUE(product.Create(kProductPath, installerList));
        Dacl installed = ReadDacl(kProductPath);
        ASSERT_EQ(installed.aces.size(), 2u);

        LoadCollectorSettings();
        EXPECT_EQ(ReadDacl(kProductPath), installed);
        EXPECT_EQ(ReadDacl(kCollectorPath), EveryoneFullAccess());
    }
    {
        // Both exist, with the installer's list and a value: both stay as they are.
        CProductTreeGuard guard;
        CTestKey product, collector;
        ASSERT_TRUE(product.Create(kProductPath, installerList));
        ASSERT_TRUE(collector.Create(kCollectorPath, installerList));
        ASSERT_TRUE(WriteRaw(kCollectorPath, "BaudRate", REG_DWORD, Dword(19200)));
        Dacl installed = ReadDacl(kCollectorPath);

        EXPECT_EQ(LoadCollectorSettings().baudRate, 19200);
        SaveAsTheDialogDoes(CollectorSettings());
        EXPECT_EQ(ReadDacl(kProductPath), installed);
        EXPECT_EQ(ReadDacl(kCollectorPath), installed);
    }
}

TEST(SettingsStoreTest, SavedSettingsLoadBackWithTheirRegistryTypesAndNothingElseIsWritten)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    Tree before = SnapshotSoftware();
    const CollectorSettings saved = AllDifferentFromTheDefaults();

    SaveAsTheDialogDoes(saved);
    CollectorSettings loaded = LoadCollectorSettings();

    EXPECT_EQ(loaded.commPort, saved.commPort);
    EXPECT_EQ(loaded.baudRate, saved.baudRate);
    EXPECT_EQ(loaded.dataBits, saved.dataBits);
    EXPECT_EQ(loaded.parity, saved.parity);
    EXPECT_EQ(loaded.stopBits, saved.stopBits);
    EXPECT_STREQ(loaded.dataFile, saved.dataFile);
    EXPECT_EQ(loaded.runAtStartup, saved.runAtStartup);

    // What the family's other programs read.
    const std::pair<const char*, DWORD> dwords[] = {
        {"CommPort", 12}, {"BaudRate", 115200}, {"DataBits", 7}, {"Parity", 1}, {"StopBits", 2}, {"RunAtStartup", 1}};
    for (const auto& [name, value] : dwords) {
        RawValue raw = ReadRaw(kCollectorPath, name);
        EXPECT_EQ(raw.type, static_cast<DWORD>(REG_DWORD)) << name;
        EXPECT_EQ(raw.data, Dword(value)) << name;
    }
    RawValue file = ReadRaw(kCollectorPath, "DataFile");
    EXPECT_EQ(file.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(file.data, std::string("D:\\POS Capture\\till 1.bin", 26));

    EXPECT_EQ(TreeDifferences(before, SnapshotSoftware()), ProductTreeAdditions(true));
}

TEST(SettingsStoreTest, AKeyThatMayOnlyBeReadStillLoadsTheStoredSettings)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    const CollectorSettings saved = AllDifferentFromTheDefaults();
    SaveAsTheDialogDoes(saved);

    CReadOnlyKey key;
    CollectorSettings loaded = LoadCollectorSettings(key);

    EXPECT_GT(key.refused, 0);
    EXPECT_EQ(loaded.commPort, saved.commPort);
    EXPECT_EQ(loaded.baudRate, saved.baudRate);
    EXPECT_STREQ(loaded.dataFile, saved.dataFile);
    EXPECT_EQ(loaded.runAtStartup, saved.runAtStartup);
}

TEST(SettingsStoreTest, AnEmptyCapturePathIsSavedAsOneNulByte)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    CollectorSettings saved = AllDifferentFromTheDefaults();
    saved.dataFile.Empty();

    SaveAsTheDialogDoes(saved);

    RawValue file = ReadRaw(kCollectorPath, "DataFile");
    ASSERT_TRUE(file.present);
    EXPECT_EQ(file.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(file.data, std::string(1, '\0'));
    EXPECT_TRUE(LoadCollectorSettings().dataFile.IsEmpty());
}

TEST(SettingsStoreTest, DataBitsKeepsOnlyTheLowByte)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    ASSERT_TRUE(WriteRaw(kCollectorPath, "DataBits", REG_DWORD, Dword(263)));
    EXPECT_EQ(LoadCollectorSettings().dataBits, 7);
}

// The stored type is not examined: up to 4 bytes of anything read as a little-endian number.
TEST(SettingsStoreTest, ANumberStoredAsBinaryReadsAsItsBytesUpToFourAndAsTheDefaultBeyond)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    const std::string bytes = "\x11\x22\x33\x44\x55";
    const unsigned expected[] = {0x11, 0x2211, 0x332211, 0x44332211, 1 /* the default */};
    for (size_t n = 1; n <= 5; ++n) {
        ASSERT_TRUE(WriteRaw(kCollectorPath, "CommPort", REG_BINARY, bytes.substr(0, n)));
        EXPECT_EQ(static_cast<unsigned>(LoadCollectorSettings().commPort), expected[n - 1]) << n << " bytes";
    }
    ASSERT_TRUE(WriteRaw(kCollectorPath, "BaudRate", REG_BINARY, std::string("\x00\x4B", 2)));
    EXPECT_EQ(LoadCollectorSettings().baudRate, 19200);
}

// The capture path is read whatever its type, and never beyond what was stored.
TEST(SettingsStoreTest, ACapturePathWithoutTerminatorOrOfAnotherTypeReadsAsItsBytes)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    CTestKey key;
    ASSERT_TRUE(key.Create(kCollectorPath));

    // A string written by a Unicode program without its terminator; an odd byte count
    // leaves a half character, so the ANSI view of it has no terminator at all.
    const wchar_t wide[] = L"C:\\cap.bin";
    for (DWORD size : {DWORD(20), DWORD(19)}) {
        ASSERT_EQ(RegSetValueExW(key.Get(), L"DataFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide), size),
                  ERROR_SUCCESS);
        EXPECT_STREQ(LoadCollectorSettings().dataFile, size == 20 ? "C:\\cap.bin" : "C:\\cap.bi") << size;
    }

    ASSERT_TRUE(WriteRaw(kCollectorPath, "DataFile", REG_BINARY, "E:\\raw.bin"));
    EXPECT_STREQ(LoadCollectorSettings().dataFile, "E:\\raw.bin");
    ASSERT_TRUE(WriteRaw(kCollectorPath, "DataFile", REG_BINARY, std::string("E:\\a\0E:\\b", 9)));
    EXPECT_STREQ(LoadCollectorSettings().dataFile, "E:\\a");

    const std::string big(65536, 'p');
    ASSERT_TRUE(WriteRaw(kCollectorPath, "DataFile", REG_BINARY, big));
    std::string got(LoadCollectorSettings().dataFile);
    EXPECT_TRUE(got == big) << "read " << got.size() << " characters";
    ASSERT_TRUE(WriteRaw(kCollectorPath, "DataFile", REG_SZ, big.substr(1) + '\0'));
    got = LoadCollectorSettings().dataFile;
    EXPECT_TRUE(got == big.substr(1)) << "read " << got.size() << " characters";
}

// Another program may rewrite the value while it is read: the result is one of the values
// it held, or the default, never a mixture or bytes from beyond the buffer.
TEST(SettingsStoreTest, ACapturePathThatChangesSizeWhileReadIsNeverOverrun)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    const std::string shortPath = "C:\\a.bin";
    const std::string longPath = "C:\\" + std::string(3000, 'L') + ".bin";
    ASSERT_TRUE(WriteRaw(kCollectorPath, "DataFile", REG_BINARY, shortPath));

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        CTestKey key;
        if (!key.Open(kCollectorPath, KEY_SET_VALUE)) return;
        for (unsigned i = 0; !stop; ++i) {
            const std::string& v = (i & 1) ? longPath : shortPath;
            RegSetValueExA(key.Get(), "DataFile", 0, REG_BINARY, reinterpret_cast<const BYTE*>(v.data()),
                           static_cast<DWORD>(v.size()));
        }
    });
    CRegistryKey key(43, KEY_READ, HKEY_LOCAL_MACHINE);
    int shortSeen = 0, longSeen = 0, other = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string got(key.ReadString("DataFile", "default"));
        if (got == shortPath)
            ++shortSeen;
        else if (got == longPath)
            ++longSeen;
        else if (got != "default")
            ++other;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(other, 0);
    EXPECT_GT(shortSeen + longSeen, 0);
}

TEST(SettingsStoreTest, TheInstallersKeyCreationWritesNoValueAndLeavesStoredOnesAlone)
{
    REQUIRE_TESTENV();
    CProductTreeGuard guard;
    Tree before = SnapshotSoftware();

    ASSERT_TRUE(CreateCollectorKeys());
    EXPECT_EQ(ReadDacl(kProductPath), EveryoneFullAccess());
    EXPECT_EQ(ReadDacl(kCollectorPath), EveryoneFullAccess());
    EXPECT_EQ(TreeDifferences(before, SnapshotSoftware()), ProductTreeAdditions(false));

    // A reinstall over saved settings.
    ASSERT_TRUE(WriteRaw(kCollectorPath, "BaudRate", REG_DWORD, Dword(19200)));
    ASSERT_TRUE(CreateCollectorKeys());
    EXPECT_EQ(ReadRaw(kCollectorPath, "BaudRate").data, Dword(19200));
}

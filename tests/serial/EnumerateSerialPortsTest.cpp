#include "serial/EnumerateSerialPorts.h"
#include "support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned> Parse(const std::string& list)
{
    CUIntArray ports;
    ParseDosDeviceNames(list.data(), list.size(), ports);
    std::vector<unsigned> out;
    for (int i = 0; i < ports.GetSize(); ++i) out.push_back(ports[i]);
    return out;
}

int CountOf(const CUIntArray& ports, unsigned n)
{
    int count = 0;
    for (int i = 0; i < ports.GetSize(); ++i) count += ports[i] == n;
    return count;
}

// A list as QueryDosDeviceA returns it: NUL after each name, an empty name at the end.
std::string DeviceList(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& n : names) list += n + '\0';
    return list + '\0';
}

// A device table that needs `needed` characters and says so with `tooSmall`; records the
// buffer sizes it was offered.
struct FakeTable {
    DWORD needed = 0;
    DWORD tooSmall = ERROR_INSUFFICIENT_BUFFER;
    std::vector<DWORD> offered;
} fakeTable;

DWORD WINAPI FakeQueryDosDevice(LPCSTR, LPSTR buffer, DWORD chars)
{
    fakeTable.offered.push_back(chars);
    if (chars < fakeTable.needed) {
        SetLastError(fakeTable.tooSmall);
        return 0;
    }
    const std::string list = DeviceList({"COM3", "LPT1", "COM12"});
    std::memcpy(buffer, list.data(), list.size());
    return static_cast<DWORD>(list.size());
}

} // namespace

TEST(ParseDosDeviceNamesTest, TakesTheLeadingNumberOfComNamesInAnyCase)
{
    EXPECT_EQ(Parse(DeviceList({"com3", "COM3"})), (std::vector<unsigned>{3, 3}));
    EXPECT_EQ(Parse(DeviceList({"COM7A"})), (std::vector<unsigned>{7}));
    EXPECT_EQ(Parse(DeviceList({"COM12"})), (std::vector<unsigned>{12}));
    EXPECT_EQ(Parse(DeviceList({"cOm255", "C:", "COM1"})), (std::vector<unsigned>{255, 1}));
}

TEST(ParseDosDeviceNamesTest, IgnoresNamesThatAreNotComPorts)
{
    EXPECT_TRUE(Parse(DeviceList({"COMX", "COM", "CO", "LPT1", "XCOM5", "COM-1", "NUL", "GLOBALROOT"})).empty());
    EXPECT_TRUE(Parse(DeviceList({})).empty());
    // A number no int holds names no port.
    EXPECT_TRUE(Parse(DeviceList({"COM99999999999"})).empty());
}

TEST(ParseDosDeviceNamesTest, StopsAtTheEmptyNameAndAtTheLength)
{
    std::string list = DeviceList({"COM1"}) + DeviceList({"COM2"});
    EXPECT_EQ(Parse(list), (std::vector<unsigned>{1}));

    // The last name is cut by the length, with no NUL inside it: nothing is read beyond.
    std::string cut = std::string("COM4") + '\0' + "COM5";
    CUIntArray ports;
    ParseDosDeviceNames(cut.data(), cut.size() - 1, ports); // "COM4\0COM"
    ASSERT_EQ(ports.GetSize(), 1);
    EXPECT_EQ(ports[0], 4u);
    CUIntArray digitsCut;
    ParseDosDeviceNames("COM123", 5, digitsCut);
    ASSERT_EQ(digitsCut.GetSize(), 1);
    EXPECT_EQ(digitsCut[0], 12u);
}

TEST(EnumerateSerialPortsTest, ListsThePortsOfTheTestPairsAndEmptiesTheArrayFirst)
{
    REQUIRE_TESTENV();
    CUIntArray ports;
    ports.SetSize(0, 16);
    ports.Add(5);
    ports.Add(5);
    ports.Add(4000);
    EnumerateSerialPorts(ports);
    std::string listed;
    for (int i = 0; i < ports.GetSize(); ++i) listed += " " + std::to_string(ports[i]);
    for (const testenv::PortPair& pair : testenv::AllPairs()) {
        EXPECT_EQ(CountOf(ports, static_cast<unsigned>(pair.port)), 1) << "listed:" << listed;
        EXPECT_EQ(CountOf(ports, static_cast<unsigned>(pair.peer)), 1) << "listed:" << listed;
    }
    EXPECT_EQ(CountOf(ports, 4000), 0);
    EXPECT_EQ(ports.GetGrowBy(), 16);
    std::printf("EnumerateSerialPorts:%s\n", listed.c_str());
}

TEST(EnumerateSerialPortsTest, ProbingFindsThePortsThatOpen)
{
    REQUIRE_TESTENV();
    CUIntArray ports;
    ProbeSerialPorts(ports);
    std::string listed;
    for (int i = 0; i < ports.GetSize(); ++i) listed += " " + std::to_string(ports[i]);
    for (const testenv::PortPair& pair : testenv::AllPairs()) {
        EXPECT_EQ(CountOf(ports, static_cast<unsigned>(pair.port)), 1) << "listed:" << listed;
        EXPECT_EQ(CountOf(ports, static_cast<unsigned>(pair.peer)), 1) << "listed:" << listed;
    }
    EXPECT_EQ(CountOf(ports, 200), 0);
    std::printf("ProbeSerialPorts:%s\n", listed.c_str());
}

TEST(ListDosDevicePortsTest, AListTooLongForTheBufferIsReadAgainWithALargerOne)
{
    struct Row {
        DWORD needed;
        DWORD tooSmall;
        size_t calls;
        bool listed;
    };
    const Row rows[] = {
        {100, ERROR_INSUFFICIENT_BUFFER, 1, true},
        {70000, ERROR_INSUFFICIENT_BUFFER, 2, true},
        {300000, ERROR_MORE_DATA, 4, true},
        {MAXDWORD, ERROR_INSUFFICIENT_BUFFER, 7, false}, // never fits: gives up past 4 M characters
        {MAXDWORD, ERROR_ACCESS_DENIED, 1, false},       // another failure is not retried
    };
    for (const Row& r : rows) {
        fakeTable = FakeTable{r.needed, r.tooSmall, {}};
        CUIntArray ports;
        ListDosDevicePorts(ports, FakeQueryDosDevice);
        EXPECT_EQ(fakeTable.offered.size(), r.calls) << "needed " << r.needed;
        for (size_t i = 1; i < fakeTable.offered.size(); ++i)
            EXPECT_GT(fakeTable.offered[i], fakeTable.offered[i - 1]) << "needed " << r.needed;
        EXPECT_EQ(ports.GetSize(), r.listed ? 2 : 0) << "needed " << r.needed;
    }
}

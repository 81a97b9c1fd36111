#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "Messages.h"
#include "platform/EventLog.h"
#include "support/RecordingEventLog.h"
#include "support/TestEnv.h"

namespace {

struct FreeModule {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModulePtr = std::unique_ptr<std::remove_pointer<HMODULE>::type, FreeModule>;

// Every id the program's message table holds.
std::vector<DWORD> TableIds(HMODULE module)
{
    std::vector<DWORD> ids;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), reinterpret_cast<LPCSTR>(RT_MESSAGETABLE));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    auto* table = loaded ? static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(loaded)) : nullptr;
    if (!table) return ids;
    for (DWORD b = 0; b < table->NumberOfBlocks; ++b)
        for (DWORD id = table->Blocks[b].LowId; id <= table->Blocks[b].HighId; ++id) ids.push_back(id);
    return ids;
}

struct EventCase {
    DWORD id;
    DWORD expectedId; // stored in every log entry: never changes
    std::vector<const char*> inserts;
};

const EventCase kEvents[] = {
    {MSG_CAPTURE_STARTED, 0x4FFF0001,
     {"COM5", "9600 baud, 8 data bits, parity NONE, 1 stop bit", "C:\\Receipts\\lane 1.txt", "TILL\\anna", "2",
      "a window", "Lane 2 (COM5): "}},
    {MSG_WAITING_FOR_PORT, 0x8FFF0002, {"COM5", "Lane 2 (COM5): "}},
    {MSG_PORT_LOST, 0x8FFF0003, {"COM5", "The device is not ready.", "Lane 2 (COM5): "}},
    {MSG_PORT_BACK, 0x4FFF0004, {"COM5", "48213", "Lane 2 (COM5): "}},
    {MSG_FILE_NOT_WRITABLE, 0x8FFF0005, {"C:\\Receipts\\lane 1.txt", "There is not enough space on the disk.", "Lane 2 (COM5): "}},
    {MSG_FILE_WRITABLE_AGAIN, 0x4FFF0006, {"C:\\Receipts\\lane 1.txt", "65536", "Lane 2 (COM5): "}},
    {MSG_CAPTURE_ENDED, 0x4FFF0007, {"COM5", "stopped by the user", "48213", "TILL\\bob", "3", "a window", "Lane 2 (COM5): "}},
    {MSG_SERVICE_STARTED, 0x4FFF0008, {"1.0.0.2"}},
    {MSG_SERVICE_STOPPED, 0x4FFF0009, {"1.0.0.2"}},
    {MSG_COLLECTOR_NOTE, 0x4FFF000A, {"Anything at all"}},
    {MSG_SETTINGS_CHANGED, 0x4FFF000B,
     {"CommPort: 3 -> 5", "NT AUTHORITY\\LOCAL SERVICE", "0", "a deployment", "Lane 2 (COM5): "}},
    {MSG_REQUEST_REFUSED, 0x8FFF000C, {"SHOP-PC\\cashier", "2", "Stop", "Lane 2 (COM7): "}},
    {MSG_CHANNEL_NAME_TAKEN, 0xCFFF000D, {"Access is denied."}},
    {MSG_CHANNEL_OPEN, 0x4FFF000E, {"\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector"}},
    {MSG_LINE_SILENT, 0x8FFF000F, {"COM5", "30", "the last byte came at 2024-05-06 19:55", "Lane 2 (COM5): "}},
    {MSG_SOUND_AGAIN, 0x4FFF0010, {"COM5", "1 hour 5 minutes", "Lane 2 (COM5): "}},
    {MSG_OPEN_HOURS_UNREADABLE, 0x8FFF0011, {"Mon-Fry 08:00-20:00", "\"Fry\" is not a day", "Lane 2 (COM5): "}},
    {MSG_LANE_PORT_TAKEN, 0xCFFF0012, {"Lane 3 (COM7): ", "COM7", "Lane 2 (COM7)"}},
    {MSG_LANE_ADDED, 0x4FFF0013, {"Lane 3 (COM9): ", "C:\\Receipts\\lane 3.txt", "TILL\\anna", "2", "a window"}},
    {MSG_LANE_REMOVED, 0x4FFF0014, {"Lane 3 (COM9): ", "C:\\Receipts\\lane 3.txt", "TILL\\anna", "2", "a window"}},
    {MSG_OUTPUT_UNUSABLE, 0x8FFF0015, {"Lane 1 (COM5): ", "listen 9001", "the port is in use by another program."}},
    {MSG_OUTPUT_CONNECTED, 0x4FFF0016, {"Lane 1 (COM5): ", "connect 192.168.1.50:5000", "192.168.1.50:5000"}},
    {MSG_OUTPUT_LOST, 0x8FFF0017, {"Lane 1 (COM5): ", "listen 9001", "192.168.1.20", "the connection was reset."}},
    {MSG_OUTPUT_BACK, 0x4FFF0018, {"Lane 1 (COM5): ", "listen 9001", "192.168.1.20", "2 minutes", "1200"}},
    {MSG_OUTPUT_DROPPING, 0x8FFF0019, {"Lane 1 (COM5): ", "listen 9001", "192.168.1.20", "64"}},
    {MSG_FIREWALL_RULE_NOT_ADDED, 0x8FFF001A, {"Orvane POS Collector (recorders)", "Not implemented (0x80004001)"}},
    {MSG_FIREWALL_RULE_NOT_REMOVED, 0x8FFF001B, {"Orvane POS Collector (recorders)", "Access is denied (0x80070005)"}},
};

TEST(EventMessagesTest, EveryEventOfTheProgramHasItsUsEnglishTextWithEachInsertInPlace)
{
    std::string program = testenv::BuiltProgramPath(COLLECTOR_EXE);
    ModulePtr module(LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module) << program << ": error " << GetLastError();

    std::vector<DWORD> tableIds = TableIds(module.get());
    EXPECT_EQ(tableIds.size(), std::size(kEvents)) << "an event of the table has no case here, or the reverse";
    for (const EventCase& event : kEvents) {
        SCOPED_TRACE(testing::Message() << std::hex << event.expectedId);
        EXPECT_EQ(event.id, event.expectedId);
        EXPECT_NE(std::find(tableIds.begin(), tableIds.end(), event.id), tableIds.end());

        // Inserts past the event's own would show up in the text if it named them.
        std::vector<const char*> args(event.inserts);
        for (const char* unused : {"<unused insert>", "<unused insert>", "<unused insert>"}) args.push_back(unused);
        std::vector<DWORD_PTR> argArray;
        for (const char* a : args) argArray.push_back(reinterpret_cast<DWORD_PTR>(a));

        char text[2048] = "";
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module.get(),
                                      event.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                                      reinterpret_cast<va_list*>(argArray.data()));
        ASSERT_GT(length, 0u) << "error " << GetLastError();
        std::string formatted(text, length);
        for (const char* insert : event.inserts)
            EXPECT_TRUE(formatted.find(insert) != std::string::npos) << "no \"" << insert << "\" in: " << formatted;
        EXPECT_TRUE(formatted.find("<unused insert>") == std::string::npos) << formatted;
        EXPECT_TRUE(formatted.find('%') == std::string::npos) << formatted;
        // A lane's name comes first, so that an event without one reads as it always did.
        for (const char* insert : event.inserts) {
            const std::string lane = insert;
            if (lane.rfind("Lane ", 0) == 0 && lane.size() > 2 && lane.compare(lane.size() - 2, 2, ": ") == 0) {
                EXPECT_EQ(formatted.rfind(lane, 0), 0u) << formatted;
            }
        }
    }
}

TEST(EventLogTest, ReportsReachTheLatestInstalledServiceThenTheOneItReplaced)
{
    testenv::RecordingEventLog outer;
    {
        testenv::RecordingEventLog inner;
        ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_PORT_LOST, {"COM5", "The device is not ready."});
        std::vector<testenv::RecordedEvent> events = inner.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(events[0].id, static_cast<DWORD>(MSG_PORT_LOST));
        EXPECT_EQ(events[0].strings, (std::vector<std::string>{"COM5", "The device is not ready."}));
        EXPECT_TRUE(outer.Events().empty());
    }
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_PORT_BACK, {"COM5", "48213"});
    std::vector<testenv::RecordedEvent> events = outer.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(MSG_PORT_BACK));
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"COM5", "48213"}));
}

// A service that fails the way an allocation does.
class ThrowingEventLog : public IEventLogService {
public:
    ThrowingEventLog() { m_previous = SetEventLogService(this); }
    ~ThrowingEventLog() override { SetEventLogService(m_previous); }
    void Report(WORD, DWORD, const std::vector<CString>&) override { throw std::bad_alloc(); }

private:
    IEventLogService* m_previous = nullptr;
};

TEST(EventLogTest, AServiceThatThrowsDoesNotReachTheCaller)
{
    ThrowingEventLog failing;
    // ReportCollectorEvent is noexcept: an escaping exception would end this program.
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_CAPTURE_ENDED, {"COM5", "the program was closed", "0"});
    SUCCEED();
}

} // namespace

// A lane's capture names its lane in what it says, and raises the silence alert inside its
// opening hours only. The time is the test's clock: hours of silence pass without waiting.
#include "CaptureTestSupport.h"
#include "Messages.h"
#include "support/RecordingEventLog.h"

#include <memory>

using namespace capturetest;

namespace {

const char kOpenPortFailed[] = "Failed to open serial port.  Please check your settings and/or hardware "
                               "configuration before attempting this operation again.";
const char kHours[] = "Mon-Fri 08:00-20:00; Sat 09:00-17:00";

std::vector<testenv::RecordedEvent> EventsWithId(const testenv::RecordingEventLog& log, DWORD id)
{
    std::vector<testenv::RecordedEvent> found;
    for (const testenv::RecordedEvent& e : log.Events())
        if (e.id == id) found.push_back(e);
    return found;
}

class CaptureLaneTest : public CaptureTest {
protected:
    void TearDown() override
    {
        worker.Stop();
        worker.SetClock(nullptr);
    }
    // The pair's port as lane 3, silent after minutes inside kHours, on the test's clock.
    void StartLane(const std::shared_ptr<FakeClock>& clock, unsigned minutes)
    {
        worker.SetClock(clock);
        CaptureRequest request = LineRequest(path, pair.port);
        request.label = "Lane 3 (COM" + CString(std::to_string(pair.port).c_str()) + ")";
        request.silenceMinutes = minutes;
        request.openHours = kHours;
        worker.Start(request);
        ASSERT_TRUE(WaitForState(CaptureState::Capturing));
    }
    std::string Prefix() const { return "Lane 3 (COM" + std::to_string(pair.port) + "): "; }
    // The capture has looked at the clock twice since now: a whole read of the idle line went by.
    bool LookedAgain(const FakeClock& clock)
    {
        const long looks = clock.Looks();
        return PumpUntil([&] { return clock.Looks() >= looks + 2; }, 5000);
    }
    bool WaitSilent(bool silent) { return PumpUntil([&] { return worker.GetStatus().silent == silent; }, 5000); }
    testenv::RecordingEventLog log;
};

} // namespace

TEST_F(CaptureLaneTest, ALanesMessagesAndEventsNameItAndADesktopCapturesReadAsBefore)
{
    struct Case {
        const char* label;
        const char* prefix;
    };
    const Case cases[] = {{"Lane 2 (COM99)", "Lane 2 (COM99): "}, {"", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        told.clear();
        testenv::RecordingEventLog events;
        // A missing port: a message and the waiting event, then the end's event at Stop; the
        // opening hours cannot be read.
        CaptureRequest request = LineRequest(path, 99);
        request.label = c.label;
        request.silenceMinutes = 30;
        request.openHours = "Mon-Fry 08:00-20:00";
        worker.Start(request);
        ASSERT_TRUE(WaitForMessages(1));
        worker.Stop();
        EXPECT_EQ(std::string(Told()[0].text.GetString()), std::string(c.prefix) + kOpenPortFailed);
        for (DWORD id : {DWORD(MSG_OPEN_HOURS_UNREADABLE), DWORD(MSG_WAITING_FOR_PORT), DWORD(MSG_CAPTURE_ENDED)}) {
            std::vector<testenv::RecordedEvent> found = EventsWithId(events, id);
            ASSERT_EQ(found.size(), 1u) << std::hex << id;
            EXPECT_EQ(found[0].strings.back(), c.prefix) << std::hex << id;
        }
        EXPECT_EQ(EventsWithId(events, MSG_WAITING_FOR_PORT)[0].strings[0], "COM99");
        EXPECT_NE(EventsWithId(events, MSG_OPEN_HOURS_UNREADABLE)[0].strings[1].find("Fry"), std::string::npos);
    }
}

TEST_F(CaptureLaneTest, InsideTheHoursTheAlertComesAfterItsMinutesAndGoesWhenBytesCome)
{
    auto clock = std::make_shared<FakeClock>(2024, 5, 6, 10, 0); // a Monday
    const unsigned long long start = clock->UtcNow();
    StartLane(clock, 30);
    clock->AdvanceMinutes(29);
    ASSERT_TRUE(LookedAgain(*clock));
    EXPECT_FALSE(worker.GetStatus().silent);

    clock->AdvanceMinutes(2);
    ASSERT_TRUE(WaitSilent(true));
    EXPECT_EQ(worker.GetStatus().silentSince, start);
    std::vector<testenv::RecordedEvent> silent = EventsWithId(log, MSG_LINE_SILENT);
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0].strings, (std::vector<std::string>{"COM" + std::to_string(pair.port), "30",
                                                            "no byte since the capture started at 2024-05-06 10:00",
                                                            Prefix()}));

    ASSERT_TRUE(peer.Write("receipt\r\n"));
    ASSERT_TRUE(WaitSilent(false));
    EXPECT_EQ(worker.GetStatus().silentSince, 0u);
    EXPECT_EQ(worker.GetStatus().lastByteAt, clock->UtcNow());
    std::vector<testenv::RecordedEvent> again = EventsWithId(log, MSG_SOUND_AGAIN);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].strings[1], "31 minutes");
    EXPECT_EQ(again[0].type, EVENTLOG_INFORMATION_TYPE);
}

TEST_F(CaptureLaneTest, OutsideTheHoursTheSilenceDoesNotCount)
{
    auto clock = std::make_shared<FakeClock>(2024, 5, 6, 19, 50);
    StartLane(clock, 30);
    clock->AdvanceMinutes(5);
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(WaitForFileSize(1, 5000));
    ASSERT_TRUE(PumpUntil([&] { return worker.GetStatus().lastByteAt != 0; }, 2000));
    const unsigned long long lastByte = worker.GetStatus().lastByteAt;

    // The last byte at 19:55, the shop closed from 20:00 to 08:00: 08:29 is 34 minutes later.
    clock->AdvanceMinutes(12 * 60 + 34);
    ASSERT_TRUE(LookedAgain(*clock));
    EXPECT_FALSE(worker.GetStatus().silent);
    EXPECT_TRUE(EventsWithId(log, MSG_LINE_SILENT).empty());

    clock->AdvanceMinutes(2);
    ASSERT_TRUE(WaitSilent(true));
    EXPECT_EQ(worker.GetStatus().silentSince, lastByte);
    std::vector<testenv::RecordedEvent> silent = EventsWithId(log, MSG_LINE_SILENT);
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0].strings[2], "the last byte came at 2024-05-06 19:55");
}

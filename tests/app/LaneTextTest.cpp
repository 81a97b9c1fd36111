// What the tray tip and the window say of the lanes: the sum of several lanes within the tip's
// 63 characters, and a silent lane's time in local time.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/LaneText.h"

namespace {

SYSTEMTIME Today()
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return now;
}

// The UTC FILETIME count of a local time of day on the day given.
unsigned long long UtcOfLocal(SYSTEMTIME day, WORD hour, WORD minute)
{
    day.wHour = hour;
    day.wMinute = minute;
    day.wSecond = 0;
    day.wMilliseconds = 0;
    SYSTEMTIME utc = {};
    EXPECT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &day, &utc));
    FILETIME ft = {};
    EXPECT_TRUE(SystemTimeToFileTime(&utc, &ft));
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

CaptureStatus Lane(CaptureState state, int port = 5, CaptureEnd end = CaptureEnd::None)
{
    CaptureStatus status;
    status.state = state;
    status.end = end;
    status.port = port;
    return status;
}

CaptureStatus Silent(int port, unsigned long long since)
{
    CaptureStatus status = Lane(CaptureState::Capturing, port);
    status.silent = true;
    status.silentSince = since;
    return status;
}

// Lanes by the count of each state: capturing, silent, waiting for the port, for the file, stopped.
std::vector<CaptureStatus> Mix(int capturing, int silent, int noPort, int noFile, int stopped)
{
    std::vector<CaptureStatus> lanes(capturing, Lane(CaptureState::Capturing));
    lanes.insert(lanes.end(), silent, Silent(5, 0));
    lanes.insert(lanes.end(), noPort, Lane(CaptureState::WaitingForPort));
    lanes.insert(lanes.end(), noFile, Lane(CaptureState::WaitingForFile));
    lanes.insert(lanes.end(), stopped, Lane(CaptureState::Ended));
    return lanes;
}

} // namespace

TEST(TrayTip, OneLaneReadsAsBeforeAndSeveralAreCountedByStateInWordsThatFit)
{
    const SYSTEMTIME today = Today();
    const CaptureStatus capturing = Lane(CaptureState::Capturing);
    const CaptureStatus noPort = Lane(CaptureState::WaitingForPort, 7);
    const CaptureStatus opening = Lane(CaptureState::Opening, 9);
    const CaptureStatus noFile = Lane(CaptureState::WaitingForFile, 9);
    const CaptureStatus stopped = Lane(CaptureState::Ended);
    const CaptureStatus failed = Lane(CaptureState::Ended, 5, CaptureEnd::SettingsRefused);
    struct Case {
        bool connected;
        std::vector<CaptureStatus> lanes;
        std::string tip;
    };
    const Case cases[] = {
        {true, {capturing}, "Orvane POS Emulator\nCOM5: capturing"},
        {true, {failed}, "Orvane POS Emulator\nstopped: line settings refused"},
        {true, {Silent(5, UtcOfLocal(today, 14, 2))}, "Orvane POS Emulator\nCOM5: silent since 14:02"},
        {false, {capturing, noPort}, "Orvane POS Emulator\nthe service cannot be reached"},
        // Opening counts as waiting for the port; an ended lane is stopped, failed or not.
        {true, {noPort, opening}, "Orvane POS Emulator\n2 lanes: 2 waiting for the port"},
        {true, {Silent(5, 0), failed, stopped, capturing}, "Orvane POS Emulator\n4 lanes: 1 capturing, 1 silent, 2 stopped"},
        // One character too many in full words: shorter words keep the product's line.
        {true, {capturing, noPort, capturing}, "Orvane POS Emulator\n3 lanes: 2 capturing, 1 no port"},
        {true, {opening, noFile}, "Orvane POS Emulator\n2 lanes: 1 no port, 1 no file"},
        // Then the product's line goes, and last the total.
        {true, Mix(1, 1, 1, 1, 1), "5 lanes: 1 capturing, 1 silent, 1 no port, 1 no file, 1 stopped"},
        {true, Mix(12, 1, 1, 1, 1), "12 capturing, 1 silent, 1 no port, 1 no file, 1 stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tip);
        EXPECT_EQ(TrayTipText(c.connected, c.lanes, today).GetString(), c.tip);
    }
}

TEST(TrayTip, EveryMixOfUpToSixteenLanesFitsAndItsCountsAddUp)
{
    const SYSTEMTIME today = Today();
    // Every way of sharing 2 to 16 lanes out among the five states.
    for (int a = 0; a <= 16; ++a)
        for (int b = 0; a + b <= 16; ++b)
            for (int c = 0; a + b + c <= 16; ++c)
                for (int d = 0; a + b + c + d <= 16; ++d)
                    for (int e = (a + b + c + d < 2 ? 2 - (a + b + c + d) : 0); a + b + c + d + e <= 16; ++e) {
                        const std::string tip = TrayTipText(true, Mix(a, b, c, d, e), today).GetString();
                        ASSERT_LE(tip.size(), 63u) << tip;
                        // The counts after the total, where there is one, add up to the lanes.
                        const char* p = tip.c_str() + (tip.find(':') == std::string::npos ? 0 : tip.find(':'));
                        long sum = 0;
                        for (char* end = nullptr; *p; p = end == p ? p + 1 : end) sum += std::strtol(p, &end, 10);
                        ASSERT_EQ(sum, a + b + c + d + e) << tip;
                    }
}

TEST(LaneState, ASilentLaneSaysSinceWhenInLocalTimeWithTheDateWhenNotToday)
{
    const SYSTEMTIME today = Today();
    SYSTEMTIME longAgo = {};
    longAgo.wYear = 2020;
    longAgo.wMonth = 1;
    longAgo.wDay = 15;
    struct Case {
        CaptureStatus status;
        bool withPort;
        std::string text;
    };
    const Case cases[] = {
        {Silent(5, UtcOfLocal(today, 14, 2)), true, "COM5: silent since 14:02"},
        {Silent(5, UtcOfLocal(today, 0, 0)), false, "silent since 00:00"},
        {Silent(9, UtcOfLocal(longAgo, 23, 58)), true, "COM9: silent since 2020-01-15 23:58"},
        {Silent(5, 0), true, "COM5: silent"},
        {Lane(CaptureState::WaitingForFile, 7), false, "waiting for the capture file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(LaneStateText(c.status, today, c.withPort).GetString(), c.text);
    }
}

TEST(OutputsLine, EachOutputSaysInWordsWhetherItsRecordersGetTheText)
{
    using channel::OutputLink;
    const struct {
        std::vector<channel::OutputView> outputs;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{{"listen 9001", OutputLink::Listening, {}, 0, 0}}, "Sends to: listen 9001 (no recorder connected)"},
        {{{"listen 9001 text", OutputLink::Listening, {"10.0.0.5:4100", "10.0.0.6:4100"}, 10, 0},
          {"connect nvr:5000", OutputLink::Connected, {"10.0.0.9:5000"}, 10, 0}},
         "Sends to: listen 9001 text (2 recorders connected); connect nvr:5000 (connected)"},
        // A datagram output is never "connected": nothing answers it.
        {{{"UDP 10.0.0.9:6000", OutputLink::Connected, {}, 3, 0}}, "Sends to: UDP 10.0.0.9:6000 (sending)"},
        {{{"connect nvr:5000", OutputLink::Waiting, {}, 0, 4096}},
         "Sends to: connect nvr:5000 (not connected, trying again, 4096 bytes left out)"},
        {{{"listen 80", OutputLink::Failed, {}, 0, 0}}, "Sends to: listen 80 (cannot listen on its port)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(OutputsText(c.outputs).GetString(), c.text);
    }
}

// The status answer scripts read: the words, the exit code, the text and JSON, and the one look
// over the channel that never believes or waits on a server that is not the service.
#include "app/StatusCommand.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/PipeServer.h"
#include "support/ChannelTestSupport.h"
#include "support/TestEnv.h"

namespace {

channel::ChannelState Lane(int lane, CaptureState state, bool silent = false, int port = 5)
{
    channel::ChannelState s;
    s.captureId = lane;
    s.status.state = state;
    s.status.silent = silent;
    s.status.port = port;
    s.settings.commPort = port;
    s.settings.dataFile = "C:\\ProgramData\\Orvane DVR\\lane.txt";
    return s;
}

StatusAnswer Answered(std::vector<channel::ChannelState> lanes)
{
    StatusAnswer answer;
    answer.reach = StatusReach::Answered;
    answer.lanes = std::move(lanes);
    return answer;
}

unsigned long long Utc(const SYSTEMTIME& local)
{
    SYSTEMTIME universal;
    FILETIME ft;
    EXPECT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal));
    EXPECT_TRUE(SystemTimeToFileTime(&universal, &ft));
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The service's side for a script's look: three lanes in three states.
class ThreeLanes : public testenv::AcceptingControl {
public:
    std::vector<channel::ChannelState> States() const override
    {
        channel::ChannelState one = Lane(1, CaptureState::Capturing, false, 5);
        one.status.bytes = 1234;
        one.outputs.push_back({"listen 9001 text", channel::OutputLink::Listening, {"127.0.0.1:50123"}, 77, 0});
        return {one, Lane(2, CaptureState::WaitingForPort, false, 7), Lane(9, CaptureState::Ended, false, 9)};
    }
};

std::string PipeName(const char* what)
{
    return std::string("\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.status.") + what + "." +
           std::to_string(GetCurrentProcessId());
}

} // namespace

TEST(StatusAnswer, EachLaneHasItsWordAndTheWorstLaneDecidesTheExitCode)
{
    const struct {
        std::vector<channel::ChannelState> lanes;
        std::vector<std::string> words;
        int code;
    } cases[] = {
        {{Lane(1, CaptureState::Capturing)}, {"capturing"}, 0},
        {{Lane(1, CaptureState::Capturing), Lane(2, CaptureState::Capturing, true)}, {"capturing", "silent"}, 1},
        {{Lane(1, CaptureState::Opening), Lane(2, CaptureState::WaitingForPort)},
         {"waiting-for-port", "waiting-for-port"}, 1},
        {{Lane(1, CaptureState::WaitingForFile)}, {"waiting-for-file"}, 1},
        // A stopped lane outweighs one that waits, wherever it is listed.
        {{Lane(1, CaptureState::Ended), Lane(2, CaptureState::WaitingForFile)}, {"stopped", "waiting-for-file"}, 2},
        {{Lane(1, CaptureState::Capturing, true), Lane(4, CaptureState::Ended)}, {"silent", "stopped"}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.front() + " ... " + c.words.back());
        std::vector<std::string> words;
        for (const channel::ChannelState& lane : c.lanes) words.push_back(LaneStateWord(lane.status));
        EXPECT_EQ(c.words, words);
        EXPECT_EQ(c.code, StatusExitCode(Answered(c.lanes)));
    }
    for (StatusReach reach : {StatusReach::NotInstalled, StatusReach::NotRunning, StatusReach::Unreachable}) {
        StatusAnswer answer;
        answer.reach = reach;
        EXPECT_EQ(3, StatusExitCode(answer));
    }
}

TEST(StatusAnswer, TextAndJsonNameEveryLaneWithItsLocalTimeAndTheFileAsItIs)
{
    SYSTEMTIME local = {2026, 7, 0, 31, 23, 59, 58, 0}; // summer, and a day that ends a month
    channel::ChannelState one = Lane(1, CaptureState::Capturing, false, 5);
    one.status.bytes = 18446744073709551615ull;
    one.status.lastByteAt = Utc(local);
    channel::ChannelState two = Lane(16, CaptureState::Ended, false, 12);
    two.settings.dataFile = "D:\\Till \"2\"\\a\\b.txt";
    const StatusAnswer answer = Answered({one, two});

    EXPECT_EQ("Lane\tPort\tState\tBytes\tLastByte\tFile\r\n"
              "1\tCOM5\tcapturing\t18446744073709551615\t2026-07-31T23:59:58\tC:\\ProgramData\\Orvane DVR\\lane.txt\r\n"
              "16\tCOM12\tstopped\t0\t-\tD:\\Till \"2\"\\a\\b.txt\r\n",
              StatusText(answer));
    EXPECT_EQ("{\"service\":\"running\",\"lanes\":["
              "{\"lane\":1,\"port\":\"COM5\",\"state\":\"capturing\",\"bytes\":18446744073709551615,"
              "\"lastByte\":\"2026-07-31T23:59:58\",\"file\":\"C:\\\\ProgramData\\\\Orvane DVR\\\\lane.txt\",\"outputs\":[]},"
              "{\"lane\":16,\"port\":\"COM12\",\"state\":\"stopped\",\"bytes\":0,\"lastByte\":null,"
              "\"file\":\"D:\\\\Till \\\"2\\\"\\\\a\\\\b.txt\",\"outputs\":[]}]}\r\n",
              StatusJson(answer));

    // Outputs: a table of their own after an empty line, and each lane's list in JSON.
    channel::ChannelState sending = Lane(2, CaptureState::Capturing, false, 7);
    sending.outputs = {{"listen 9001", channel::OutputLink::Listening, {"10.0.0.5:4100", "10.0.0.6:4200"}, 5, 1},
                       {"udp nvr:6000 text", channel::OutputLink::Waiting, {}, 0, 0}};
    const StatusAnswer withOutputs = Answered({one, sending});
    const std::string text = StatusText(withOutputs);
    EXPECT_NE(std::string::npos, text.find("\r\n\r\nLane\tOutput\tState\tPeers\tSent\tDropped\r\n"
                                           "2\tlisten 9001\tlistening\t10.0.0.5:4100,10.0.0.6:4200\t5\t1\r\n"
                                           "2\tudp nvr:6000 text\twaiting\t-\t0\t0\r\n"))
        << text;
    EXPECT_NE(std::string::npos,
              StatusJson(withOutputs)
                  .find("\"outputs\":[{\"output\":\"listen 9001\",\"state\":\"listening\",\"peers\":[\"10.0.0.5:4100\","
                        "\"10.0.0.6:4200\"],\"sent\":5,\"dropped\":1},{\"output\":\"udp nvr:6000 text\",\"state\":"
                        "\"waiting\",\"peers\":[],\"sent\":0,\"dropped\":0}]}]}"));

    // A file name in the system's ANSI code page comes out as UTF-8 in JSON.
    if (GetACP() == 1252) {
        channel::ChannelState accented = Lane(1, CaptureState::Capturing);
        accented.settings.dataFile = "C:\\Caf\xE9.txt";
        EXPECT_NE(std::string::npos, StatusJson(Answered({accented})).find("\"C:\\\\Caf\xC3\xA9.txt\""));
    }

    // No answer: one line that says which, in both forms.
    const struct {
        StatusReach reach;
        DWORD serviceState;
        const char* why;
        const char* text;
        const char* service;
    } failures[] = {
        {StatusReach::NotInstalled, 0, "", "Orvane POS Collector service is not installed on this PC.\r\n",
         "not-installed"},
        {StatusReach::NotRunning, SERVICE_STOPPED, "",
         "Orvane POS Collector service is installed but not running (stopped).\r\n", "not-running"},
        {StatusReach::Unreachable, 0, "the service did not answer in time",
         "Orvane POS Collector service cannot be reached: the service did not answer in time.\r\n", "unreachable"},
    };
    for (const auto& f : failures) {
        StatusAnswer failed;
        failed.reach = f.reach;
        failed.serviceState = f.serviceState;
        failed.why = f.why;
        EXPECT_EQ(f.text, StatusText(failed));
        std::string line = f.text;
        line.resize(line.size() - 2);
        EXPECT_EQ(std::string("{\"service\":\"") + f.service + "\",\"message\":\"" + line + "\",\"lanes\":[]}\r\n",
                  StatusJson(failed));
    }
}

TEST(StatusQuery, OneLookTakesEveryLaneInOrderAndNothingFromAServerNotBelieved)
{
    ThreeLanes control;
    PipeServerOptions options;
    options.name = PipeName("three");
    CPipeServer server(control, options);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), server.Start());

    StatusAnswer answer = QueryStatusOverPipe(options.name, testenv::ThisProcessAsServer, 5000);
    ASSERT_EQ(StatusReach::Answered, answer.reach) << answer.why;
    ASSERT_EQ(3u, answer.lanes.size());
    EXPECT_EQ(1, answer.lanes[0].captureId);
    EXPECT_EQ(1234u, answer.lanes[0].status.bytes);
    ASSERT_EQ(1u, answer.lanes[0].outputs.size());
    EXPECT_TRUE(answer.lanes[0].outputs[0] == control.States()[0].outputs[0]);
    EXPECT_EQ(2, answer.lanes[1].captureId);
    EXPECT_EQ(CaptureState::WaitingForPort, answer.lanes[1].status.state);
    EXPECT_EQ(9, answer.lanes[2].captureId);
    EXPECT_EQ(9, answer.lanes[2].settings.commPort);
    EXPECT_EQ(2, StatusExitCode(answer));
    // The look leaves no connection behind.
    EXPECT_TRUE(testenv::WaitFor([&] { return server.ClientCount() == 0; }, 5000));

    StatusAnswer impostor = QueryStatusOverPipe(options.name, testenv::AnotherProcessAsServer, 5000);
    EXPECT_EQ(StatusReach::Unreachable, impostor.reach);
    EXPECT_TRUE(impostor.lanes.empty());

    StatusAnswer none = QueryStatusOverPipe(PipeName("none"), testenv::ThisProcessAsServer, 5000);
    EXPECT_EQ(StatusReach::Unreachable, none.reach);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), none.error);
}

TEST(StatusQuery, AServerThatNeverAnswersIsGivenUpAtTheDeadline)
{
    // Believed, connected, and silent: what a hung service looks like from outside.
    const std::string name = PipeName("silent");
    CLocalPtr<void> descriptor;
    DWORD error = 0;
    ASSERT_TRUE(BuildPipeSecurityDescriptor(descriptor, error)) << error;
    SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor.Get(), FALSE};
    CHandle pipe(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 4096,
                                  4096, 0, &sa));
    ASSERT_TRUE(pipe.IsValid());
    CHandle connected(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = connected;
    ConnectNamedPipe(pipe, &ov);
    StatusAnswer answer = QueryStatusOverPipe(name, testenv::ThisProcessAsServer, 300);
    EXPECT_EQ(StatusReach::Unreachable, answer.reach);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), answer.error);
    EXPECT_EQ("the service did not answer in time", answer.why);
    CancelIoEx(pipe, &ov);
    DWORD n = 0;
    GetOverlappedResult(pipe, &ov, &n, TRUE);
}

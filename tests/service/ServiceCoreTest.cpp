// The service's side of the channel's life: it takes its name back from a process that held it,
// and tells every window to go when asked (before an install replaces the files).
#include "service/ServiceCore.h"

#include <gtest/gtest.h>

#include <thread>

#include "Messages.h"
#include "platform/Handle.h"
#include "channel/PipeClient.h"
#include "support/ChannelTestSupport.h"
#include "support/RecordingEventLog.h"
#include "support/TestEnv.h"

using testenv::WaitFor;

namespace {

class NoCaptures : public testenv::AcceptingControl {
public:
    std::vector<channel::ChannelState> States() const override { return {channel::ChannelState()}; }
};

size_t Count(const testenv::RecordingEventLog& log, DWORD id)
{
    size_t n = 0;
    for (const testenv::RecordedEvent& e : log.Events()) n += e.id == id ? 1 : 0;
    return n;
}

std::unique_ptr<CPipeClient> Window(const std::string& name)
{
    auto client = std::make_unique<CPipeClient>(name);
    client->SetExpectedServer(testenv::ThisProcessAsServer);
    EXPECT_TRUE(client->Start());
    return client;
}

PipeServerOptions Options(const char* suffix)
{
    PipeServerOptions options;
    options.name = std::string("\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.coretest.") + suffix + "." +
                   std::to_string(GetCurrentProcessId());
    options.retryNameMs = 200;
    return options;
}

} // namespace

TEST(ServiceCore, TheServiceTakesItsNameBackWhenTheProcessHoldingItGoesAndSaysSoOnce)
{
    testenv::RecordingEventLog log;
    PipeServerOptions options = Options("name");
    NoCaptures other;
    auto squatter = std::make_unique<CPipeServer>(other, options);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), squatter->Start());

    CServiceCore core(options);
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), core.Start());
    CHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread serving([&] { core.Serve(stop); });
    Sleep(3 * options.retryNameMs); // tried again meanwhile, and refused again
    EXPECT_EQ(1u, Count(log, MSG_CHANNEL_NAME_TAKEN));
    EXPECT_EQ(0u, Count(log, MSG_CHANNEL_OPEN));

    squatter.reset();
    auto window = Window(options.name);
    EXPECT_TRUE(WaitFor([&] { return window->IsConnected(); }, 5000));
    EXPECT_TRUE(WaitFor([&] { return Count(log, MSG_CHANNEL_OPEN) == 1; }, 2000));
    EXPECT_EQ(1u, Count(log, MSG_CHANNEL_NAME_TAKEN));

    SetEvent(stop);
    serving.join();
    core.Shutdown();
}

TEST(ServiceCore, EveryWindowIsToldToGoAlsoWhenTheStopFollowsAtOnce)
{
    PipeServerOptions options = Options("dismiss");
    CServiceCore core(options);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), core.Start());
    CHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    CHandle dismiss(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // The channel serves the windows on its own thread; Serve only carries out what it is asked.
    auto first = Window(options.name);
    auto second = Window(options.name);
    ASSERT_TRUE(WaitFor([&] { return first->IsConnected() && second->IsConnected(); }, 5000));
    EXPECT_FALSE(first->Dismissed());

    // What the package's stop does: the windows' control, then the stop, both there before the
    // service's thread looks.
    SetEvent(dismiss);
    SetEvent(stop);
    core.Serve(stop, dismiss);
    core.Shutdown();
    EXPECT_TRUE(first->Dismissed());
    EXPECT_TRUE(second->Dismissed());
}

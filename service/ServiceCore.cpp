#include "service/ServiceCore.h"

namespace {
// While a capture runs, its byte count reaches the windows this often (their progress bars).
const DWORD kProgressMs = 250;

bool Same(const CaptureStatus& a, const CaptureStatus& b)
{
    return a.state == b.state && a.end == b.end && a.port == b.port && a.bytes == b.bytes && a.reads == b.reads;
}
} // namespace

CServiceCore::CServiceCore(PipeServerOptions options)
    : m_commands(CCaptureService::kCaptures), m_server(m_commands, std::move(options))
{
}

CServiceCore::~CServiceCore() { Shutdown(); }

DWORD CServiceCore::Start()
{
    m_captures.Resume();
    Publish();
    return m_server.Start();
}

void CServiceCore::Serve(HANDLE stop)
{
    HANDLE events[3] = {stop, m_captures.ChangeEvent(), m_commands.Event()};
    for (;;) {
        bool running = false;
        for (const CaptureView& view : m_captures.States()) running = running || view.running;
        DWORD waited = ::WaitForMultipleObjects(3, events, FALSE, running ? kProgressMs : INFINITE);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_FAILED) return;
        for (const CServiceCommands::Command& command : m_commands.Take()) {
            if (command.run)
                m_captures.Run(command.captureId, command.settings);
            else
                m_captures.Stop(command.captureId);
        }
        m_captures.Refresh();
        Publish();
    }
}

void CServiceCore::Publish()
{
    std::vector<channel::ChannelState> states;
    for (const CaptureView& view : m_captures.States()) {
        channel::ChannelState state;
        state.captureId = view.id;
        state.status = view.status;
        states.push_back(state);
    }
    // Before the broadcast: a window that connects meanwhile gets the change one way or the other.
    m_commands.SetStates(states);
    for (size_t i = 0; i < states.size(); ++i) {
        if (i < m_published.size() && Same(m_published[i].status, states[i].status)) continue;
        m_server.Broadcast(states[i]);
    }
    m_published = states;
    for (int id = 0; id < CCaptureService::kCaptures; ++id)
        for (const CaptureMessage& message : m_captures.TakeMessages(id)) m_server.BroadcastMessage(id, message);
}

void CServiceCore::Shutdown()
{
    m_captures.Shutdown();
    Publish();
    m_server.Stop();
}

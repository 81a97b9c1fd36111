#include "service/ServiceCore.h"

namespace {

bool Same(const channel::ChannelState& x, const channel::ChannelState& y)
{
    const CaptureStatus& a = x.status;
    const CaptureStatus& b = y.status;
    return a.state == b.state && a.end == b.end && a.port == b.port && a.bytes == b.bytes && a.reads == b.reads &&
           x.settings == y.settings;
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
    HANDLE events[4] = {stop, m_captures.ChangeEvent(), m_commands.Event(), m_captures.ParametersEvent()};
    for (;;) {
        // The captures wake this thread for every change, and a few times a second while bytes
        // arrive: an idle line costs nothing here.
        DWORD waited = ::WaitForMultipleObjects(4, events, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_FAILED) return;
        if (waited == WAIT_OBJECT_0 + 3) m_captures.OnParametersChanged();
        for (const CServiceCommands::Command& command : m_commands.Take()) {
            switch (command.kind) {
            case CServiceCommands::Command::Kind::Run:
                m_captures.Run(command.captureId, command.settings, command.who);
                break;
            case CServiceCommands::Command::Kind::Stop:
                m_captures.Stop(command.captureId, command.who);
                break;
            case CServiceCommands::Command::Kind::Save:
                m_captures.Save(command.captureId, command.settings, command.who);
                break;
            }
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
        state.settings = view.settings;
        states.push_back(state);
    }
    // Before the broadcast: a window that connects meanwhile gets the change one way or the other.
    m_commands.SetStates(states);
    for (size_t i = 0; i < states.size(); ++i) {
        if (i < m_published.size() && Same(m_published[i], states[i])) continue;
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

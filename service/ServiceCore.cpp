#include "service/ServiceCore.h"

#include <algorithm>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"

namespace {

bool Same(const channel::ChannelState& x, const channel::ChannelState& y)
{
    const CaptureStatus& a = x.status;
    const CaptureStatus& b = y.status;
    return a.state == b.state && a.end == b.end && a.port == b.port && a.bytes == b.bytes && a.reads == b.reads &&
           a.lastByteAt == b.lastByteAt && a.silent == b.silent && a.silentSince == b.silentSince &&
           x.settings == y.settings && x.outputs == y.outputs;
}

// What the channel carries of a lane's outputs, cut to what a frame holds.
std::vector<channel::OutputView> Views(const std::vector<OutputState>& outputs)
{
    std::vector<channel::OutputView> views;
    for (const OutputState& o : outputs) {
        if (views.size() == channel::kMaxOutputs) break;
        channel::OutputView view;
        view.name = CString(o.name.substr(0, channel::kMaxOutputNameLength).c_str());
        view.link = o.link;
        for (const std::string& peer : o.peers)
            if (view.peers.size() < channel::kMaxOutputPeers)
                view.peers.push_back(CString(peer.substr(0, channel::kMaxPeerLength).c_str()));
        view.sent = o.sent;
        view.dropped = o.dropped;
        views.push_back(view);
    }
    return views;
}

// Windows told to go are given this long to read it before the channel closes.
const DWORD kDismissFlushMs = 2000;
} // namespace

CServiceCore::CServiceCore(PipeServerOptions options)
    : m_retryChannelMs(options.retryNameMs),
      m_server(m_commands, std::move(options))
{
}

CServiceCore::~CServiceCore() { Shutdown(); }

DWORD CServiceCore::Start()
{
    m_captures.Resume();
    Publish();
    return OpenChannel();
}

DWORD CServiceCore::OpenChannel()
{
    if (m_channelOpen) return ERROR_SUCCESS;
    const DWORD error = m_server.Start();
    m_channelOpen = error == ERROR_SUCCESS;
    if (m_channelOpen) {
        if (m_channelRefused) ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_CHANNEL_OPEN, {channel::kPipeName});
        m_channelRefused = false;
    } else if (!m_channelRefused) {
        // Once: it is tried again every few seconds.
        ReportCollectorEvent(EVENTLOG_ERROR_TYPE, MSG_CHANNEL_NAME_TAKEN, {SystemErrorText(error)});
        m_channelRefused = true;
    }
    return error;
}

void CServiceCore::Serve(HANDLE stop, HANDLE dismiss)
{
    enum { kStop, kChange, kCommand, kDismiss, kParameters, kEvents };
    // Without a dismissal of its own, one that never comes.
    CHandle never(dismiss ? nullptr : ::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!dismiss) dismiss = never;
    HANDLE events[kEvents] = {stop, m_captures.ChangeEvent(), m_commands.Event(), dismiss,
                              m_captures.ParametersEvent()};
    for (;;) {
        // The captures wake this thread for every change, and a few times a second while bytes
        // arrive: an idle line costs nothing here. A channel another process kept us from is
        // tried again every few seconds.
        DWORD waited = ::WaitForMultipleObjects(kEvents, events, FALSE, m_channelOpen ? INFINITE : m_retryChannelMs);
        // The stop that follows the windows' dismissal at once must not swallow it.
        if (waited == WAIT_OBJECT_0 + kStop && ::WaitForSingleObject(dismiss, 0) == WAIT_OBJECT_0)
            waited = WAIT_OBJECT_0 + kDismiss;
        if (waited == WAIT_FAILED || waited == WAIT_OBJECT_0 + kStop) return;
        if (waited == WAIT_TIMEOUT) {
            OpenChannel();
            continue;
        }
        if (waited == WAIT_OBJECT_0 + kDismiss) {
            ::ResetEvent(dismiss);
            m_windowsDismissed = true;
            m_server.BroadcastDismiss();
            continue;
        }
        if (waited == WAIT_OBJECT_0 + kParameters) m_captures.OnParametersChanged();
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
            case CServiceCommands::Command::Kind::AddLane:
                m_captures.AddLane(command.captureId, command.settings, command.who);
                break;
            case CServiceCommands::Command::Kind::RemoveLane:
                m_captures.RemoveLane(command.captureId, command.who);
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
        state.outputs = Views(view.outputs);
        states.push_back(state);
    }
    // Before the broadcast: a window that connects meanwhile gets the change one way or the other.
    m_commands.SetStates(states);
    std::vector<int> lanes;
    for (const channel::ChannelState& state : states) lanes.push_back(state.captureId);
    std::vector<int> publishedLanes;
    for (const channel::ChannelState& state : m_published) publishedLanes.push_back(state.captureId);
    // The list first: a window drops what it no longer lists and takes the states that follow.
    if (lanes != publishedLanes) m_server.BroadcastLanes(lanes);
    for (const channel::ChannelState& state : states) {
        auto before = std::find_if(m_published.begin(), m_published.end(),
                                   [&](const channel::ChannelState& p) { return p.captureId == state.captureId; });
        if (before != m_published.end() && Same(*before, state)) continue;
        m_server.Broadcast(state);
    }
    m_published = states;
    for (int lane : lanes)
        for (const CaptureMessage& message : m_captures.TakeMessages(lane)) m_server.BroadcastMessage(lane, message);
}

void CServiceCore::Shutdown()
{
    m_captures.Shutdown();
    Publish();
    // Each window told to go ends its connection once it has read that.
    for (DWORD waited = 0; m_windowsDismissed && m_server.ClientCount() > 0 && waited < kDismissFlushMs; waited += 50)
        ::Sleep(50);
    m_server.Stop();
}

#include "channel/PipeServer.h"

#include <algorithm>
#include <deque>

#include "Messages.h"
#include "platform/EventLog.h"
#include "service/ClientIdentity.h"
#include "channel/PipeSecurity.h"

namespace {

// Completion keys that are not connections (a connection's key is its address).
constexpr ULONG_PTR kWakeKey = 1;
constexpr ULONG_PTR kQuitKey = 2;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kRelistenDelayMs = 100;
constexpr size_t kReadSize = 1024;
// Messages are rare; a host that floods them loses the oldest rather than growing without end.
constexpr size_t kMaxPendingMessages = 64;
// A client that keeps asking what it may not gets that many Warning events per connection, so
// that it cannot fill the Application log.
constexpr int kMaxRefusalEvents = 3;

const char* RequestName(const channel::Frame& frame)
{
    if (std::holds_alternative<channel::RunCapture>(frame)) return "Run";
    if (std::holds_alternative<channel::StopCapture>(frame)) return "Stop";
    if (std::holds_alternative<channel::AddLane>(frame)) return "Add Lane";
    if (std::holds_alternative<channel::RemoveLane>(frame)) return "Remove Lane";
    return "a settings change";
}

bool Pending(BOOL started)
{
    return started || GetLastError() == ERROR_IO_PENDING;
}

} // namespace

struct CPipeServer::Connection {
    enum class Phase { Idle, Listening, Connected, Closing };

    CHandle pipe;
    Phase phase = Phase::Idle;
    // The connect or read, and the write, whose completions are still to come; the
    // instance is reused only when neither is.
    OVERLAPPED readOv = {};
    OVERLAPPED writeOv = {};
    bool reading = false;
    bool writing = false;
    bool welcomed = false;
    // Told why it must go; ends when it closes its end or at the deadline, not at once, since
    // disconnecting would discard the answer before it is read.
    bool leaving = false;
    bool hasDeadline = false;
    DWORD deadline = 0;
    char readBuffer[kReadSize];
    std::string inbound;
    std::deque<std::string> outbound;
    size_t queuedBytes = 0;
    std::string sending;
    // The client, as far as the server knows it: nobody who may control until its Hello is read.
    Requester who;
    DWORD processId = 0;
    int refusalEvents = 0;

    void SetDeadline(DWORD ms)
    {
        hasDeadline = true;
        deadline = GetTickCount() + ms;
    }
};

CPipeServer::CPipeServer(ICaptureControl& control, PipeServerOptions options)
    : m_control(control), m_options(std::move(options))
{
}

CPipeServer::~CPipeServer()
{
    Stop();
}

DWORD CPipeServer::Start()
{
    if (m_thread) return ERROR_SUCCESS;
    CLocalPtr<void> descriptor;
    DWORD error = ERROR_SUCCESS;
    if (!BuildPipeSecurityDescriptor(descriptor, error)) return error ? error : ERROR_INVALID_SECURITY_DESCR;
    SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor.Get(), FALSE};

    m_port.Attach(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!m_port.IsValid()) return GetLastError();

    DWORD maxInstances = static_cast<DWORD>(std::max(1, std::min(m_options.maxClients, PIPE_UNLIMITED_INSTANCES - 1)));
    for (DWORD i = 0; i < maxInstances; ++i) {
        // The first instance must be ours alone; the access list keeps anyone else from adding
        // instances later, and all instances live until Stop.
        DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        auto c = std::make_unique<Connection>();
        c->pipe.Attach(CreateNamedPipeA(m_options.name.c_str(), openMode,
                                        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                        maxInstances, kPipeBufferSize, kPipeBufferSize, 0, &sa));
        if (!c->pipe.IsValid() ||
            !CreateIoCompletionPort(c->pipe, m_port, reinterpret_cast<ULONG_PTR>(c.get()), 0)) {
            error = GetLastError();
            m_connections.clear();
            m_port.Close();
            return error ? error : ERROR_INVALID_HANDLE;
        }
        m_connections.push_back(std::move(c));
    }
    for (auto& c : m_connections) Listen(*c);

    m_thread = AfxBeginThread(ThreadProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    if (!m_thread) {
        error = GetLastError();
        Drain();
        m_connections.clear();
        m_port.Close();
        return error ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    // The object must outlive the thread: Stop waits on its handle.
    m_thread->m_bAutoDelete = false;
    m_thread->ResumeThread();
    return ERROR_SUCCESS;
}

void CPipeServer::Stop()
{
    if (!m_thread) return;
    Post(kQuitKey);
    // The server thread waits on nothing but its port, so it ends as soon as it takes the quit.
    WaitForSingleObject(m_thread->m_hThread, INFINITE);
    delete m_thread;
    m_thread = nullptr;
    m_connections.clear();
    CSingleLock guard(&m_lock, true);
    m_port.Close();
    m_outbox.clear();
}

void CPipeServer::Broadcast(const channel::ChannelState& state)
{
    std::string frame;
    if (!channel::Encode(state, frame)) return;
    {
        CSingleLock guard(&m_lock, true);
        auto same = std::find_if(m_outbox.begin(), m_outbox.end(), [&](const Outgoing& o) {
            return o.kind == Outgoing::Kind::State && o.captureId == state.captureId;
        });
        if (same != m_outbox.end())
            same->frame = std::move(frame);
        else
            m_outbox.push_back({Outgoing::Kind::State, state.captureId, std::move(frame)});
    }
    Post(kWakeKey);
}

void CPipeServer::BroadcastMessage(int captureId, const CaptureMessage& message)
{
    channel::UserMessage m{captureId, message};
    if (m.message.text.GetLength() > static_cast<int>(channel::kMaxTextLength))
        m.message.text = m.message.text.Left(static_cast<int>(channel::kMaxTextLength));
    if (m.message.caption.GetLength() > static_cast<int>(channel::kMaxCaptionLength))
        m.message.caption = m.message.caption.Left(static_cast<int>(channel::kMaxCaptionLength));
    std::string frame;
    if (!channel::Encode(m, frame)) return;
    {
        CSingleLock guard(&m_lock, true);
        auto isMessage = [](const Outgoing& o) { return o.kind == Outgoing::Kind::Message; };
        if (static_cast<size_t>(std::count_if(m_outbox.begin(), m_outbox.end(), isMessage)) >= kMaxPendingMessages)
            m_outbox.erase(std::find_if(m_outbox.begin(), m_outbox.end(), isMessage));
        m_outbox.push_back({Outgoing::Kind::Message, captureId, std::move(frame)});
    }
    Post(kWakeKey);
}

void CPipeServer::BroadcastDismiss()
{
    std::string frame;
    if (!channel::Encode(channel::Dismiss{}, frame)) return;
    m_dismissed = true;
    {
        CSingleLock guard(&m_lock, true);
        m_outbox.push_back({Outgoing::Kind::Dismiss, 0, std::move(frame)});
    }
    Post(kWakeKey);
}

void CPipeServer::BroadcastLanes(const std::vector<int>& lanes)
{
    std::string frame;
    if (!channel::Encode(channel::LaneList{lanes}, frame)) return;
    {
        CSingleLock guard(&m_lock, true);
        auto same = std::find_if(m_outbox.begin(), m_outbox.end(),
                                 [](const Outgoing& o) { return o.kind == Outgoing::Kind::Lanes; });
        if (same != m_outbox.end())
            same->frame = std::move(frame);
        else
            m_outbox.push_back({Outgoing::Kind::Lanes, 0, std::move(frame)});
    }
    Post(kWakeKey);
}

void CPipeServer::Post(ULONG_PTR key)
{
    // Under the lock: Stop may be closing the port on another thread.
    CSingleLock guard(&m_lock, true);
    if (m_port.IsValid()) PostQueuedCompletionStatus(m_port, 0, key, nullptr);
}

UINT __cdecl CPipeServer::ThreadProc(void* param)
{
    CPipeServer* self = static_cast<CPipeServer*>(param);
    self->Serve();
    self->Drain();
    return 0;
}

void CPipeServer::Serve()
{
    for (;;) {
        DWORD timeout = CheckDeadlines();
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* ov = nullptr;
        BOOL ok = GetQueuedCompletionStatus(m_port, &bytes, &key, &ov, timeout);
        if (!ov) {
            if (!ok) {
                if (GetLastError() == WAIT_TIMEOUT) continue; // a deadline is due
                return;                                       // the port itself failed
            }
            if (key == kQuitKey) return;
            if (key == kWakeKey) HandOut();
            continue;
        }
        Connection& c = *reinterpret_cast<Connection*>(key);
        if (ov == &c.writeOv) {
            c.writing = false;
            OnWriteDone(c, ok != FALSE);
        } else {
            c.reading = false;
            if (c.phase == Connection::Phase::Listening)
                OnConnectDone(c, ok || GetLastError() == ERROR_PIPE_CONNECTED);
            else
                OnReadDone(c, ok != FALSE, bytes);
        }
        // The last cancelled operation of a closed connection is back: serve the next client.
        if (c.phase == Connection::Phase::Closing && !c.reading && !c.writing) Recycle(c);
    }
}

// Cancels every operation and takes its completion, so that no operation outlives the
// buffers it writes into.
void CPipeServer::Drain()
{
    for (auto& c : m_connections) {
        if (c->reading || c->writing) CancelIoEx(c->pipe, nullptr);
    }
    auto pending = [this] {
        return std::any_of(m_connections.begin(), m_connections.end(),
                           [](const std::unique_ptr<Connection>& c) { return c->reading || c->writing; });
    };
    while (pending()) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* ov = nullptr;
        BOOL ok = GetQueuedCompletionStatus(m_port, &bytes, &key, &ov, 2000);
        if (!ov) {
            if (!ok && GetLastError() == WAIT_TIMEOUT) break;
            continue;
        }
        Connection& c = *reinterpret_cast<Connection*>(key);
        (ov == &c.writeOv ? c.writing : c.reading) = false;
    }
    for (auto& c : m_connections) {
        if (c->phase == Connection::Phase::Connected || c->phase == Connection::Phase::Closing) --m_clients;
        c->phase = Connection::Phase::Idle;
    }
    // An operation the system never completed still owns its buffers: keep them, leaked,
    // rather than let it write into freed memory.
    for (auto& c : m_connections) {
        if (c->reading || c->writing) c.release();
    }
}

void CPipeServer::Listen(Connection& c)
{
    c.phase = Connection::Phase::Listening;
    c.hasDeadline = false;
    c.readOv = OVERLAPPED();
    if (ConnectNamedPipe(c.pipe, &c.readOv) || GetLastError() == ERROR_IO_PENDING) {
        c.reading = true;
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
        // Connected before we listened: no completion comes, so post one ourselves.
        c.reading = true;
        PostQueuedCompletionStatus(m_port, 0, reinterpret_cast<ULONG_PTR>(&c), &c.readOv);
        return;
    }
    // A client that came and went already (ERROR_NO_DATA), or a failing instance: try again soon.
    DisconnectNamedPipe(c.pipe);
    c.phase = Connection::Phase::Idle;
    c.SetDeadline(kRelistenDelayMs);
}

void CPipeServer::OnConnectDone(Connection& c, bool ok)
{
    if (!ok) {
        DisconnectNamedPipe(c.pipe);
        c.phase = Connection::Phase::Idle;
        c.SetDeadline(kRelistenDelayMs);
        return;
    }
    c.phase = Connection::Phase::Connected;
    ++m_clients;
    c.welcomed = false;
    c.leaving = false;
    c.inbound.clear();
    c.who = Requester();
    c.refusalEvents = 0;
    ULONG processId = 0;
    c.processId = GetNamedPipeClientProcessId(c.pipe, &processId) ? processId : 0;
    if (ConnectionsOf(c.processId, c) >= m_options.maxPerProcess) {
        Close(c); // the instance listens again at once
        return;
    }
    c.SetDeadline(m_options.helloTimeoutMs);
    StartRead(c);
}

int CPipeServer::ConnectionsOf(DWORD processId, const Connection& c) const
{
    int n = 0;
    for (const auto& other : m_connections) {
        if (other.get() != &c && other->phase == Connection::Phase::Connected && other->processId == processId) ++n;
    }
    return n;
}

void CPipeServer::StartRead(Connection& c)
{
    c.readOv = OVERLAPPED();
    // With a completion port, a read that finishes at once still queues its completion.
    if (Pending(ReadFile(c.pipe, c.readBuffer, sizeof c.readBuffer, nullptr, &c.readOv)))
        c.reading = true;
    else
        Close(c);
}

void CPipeServer::OnReadDone(Connection& c, bool ok, DWORD bytes)
{
    if (c.phase != Connection::Phase::Connected) return;
    if (!ok) {
        Close(c); // gone (ERROR_BROKEN_PIPE) or cancelled
        return;
    }
    if (c.leaving) {
        StartRead(c); // what it says now is not listened to; its close is
        return;
    }
    c.inbound.append(c.readBuffer, bytes);
    for (;;) {
        channel::Frame frame;
        channel::Decoded result = channel::TakeFrame(c.inbound, frame);
        if (result == channel::Decoded::NeedMore) break;
        if (result == channel::Decoded::Malformed) {
            Close(c);
            return;
        }
        Handle(c, frame);
        if (c.phase != Connection::Phase::Connected) return;
        if (c.leaving) break;
    }
    StartRead(c);
}

void CPipeServer::Handle(Connection& c, const channel::Frame& frame)
{
    if (const auto* hello = std::get_if<channel::Hello>(&frame)) {
        if (c.welcomed) {
            Close(c);
        } else if (hello->version != channel::kProtocolVersion) {
            // Said once; the deadline bounds a client that neither reads it nor goes.
            Queue(c, channel::Refused{0, channel::Refusal::UnsupportedVersion});
            c.leaving = true;
            c.SetDeadline(m_options.helloTimeoutMs);
        } else {
            Welcome(c);
        }
        return;
    }
    const bool request = std::holds_alternative<channel::RunCapture>(frame) ||
                         std::holds_alternative<channel::StopCapture>(frame) ||
                         std::holds_alternative<channel::SaveSettings>(frame) ||
                         std::holds_alternative<channel::AddLane>(frame) ||
                         std::holds_alternative<channel::RemoveLane>(frame);
    if (!c.welcomed || !request) {
        Close(c); // a request before Hello, or a frame only the service sends
        return;
    }
    Request(c, frame);
}

void CPipeServer::Welcome(Connection& c)
{
    // Its Hello has been read, so the system can say whose token it is. One that cannot be read
    // may only look.
    Requester who;
    bool known = m_options.identify ? m_options.identify(c.pipe, who) : IdentifyPipeClient(c.pipe, who);
    if (!known) who = Requester();
    if (who.account.IsEmpty()) who.account = "an account the service could not identify";
    c.who = who;
    c.welcomed = true;
    c.hasDeadline = false;
    std::vector<channel::ChannelState> states = m_control.States();
    channel::Welcome welcome{channel::kProtocolVersion, static_cast<int>(states.size()), c.who.mayControl,
                             c.who.account};
    if (welcome.account.GetLength() > static_cast<int>(channel::kMaxAccountLength))
        welcome.account = welcome.account.Left(static_cast<int>(channel::kMaxAccountLength));
    Queue(c, welcome);
    channel::LaneList lanes;
    for (const channel::ChannelState& s : states) lanes.lanes.push_back(s.captureId);
    Queue(c, lanes);
    for (const channel::ChannelState& s : states) Queue(c, s);
    if (m_dismissed) Queue(c, channel::Dismiss{});
}

CString CPipeServer::LanePrefix(int lane, const channel::Frame& frame) const
{
    // A number that is no lane names none.
    if (lane < 1 || lane > channel::kMaxLanes) return CString();
    // The port the lane has, or for a lane not there yet the one it was to have.
    int port = 0;
    for (const channel::ChannelState& s : m_control.States())
        if (s.captureId == lane) port = s.settings.commPort;
    if (const auto* add = std::get_if<channel::AddLane>(&frame)) port = add->settings.commPort;
    CString prefix;
    if (port)
        prefix.Format("Lane %d (COM%d): ", lane, port);
    else
        prefix.Format("Lane %d: ", lane);
    return prefix;
}

void CPipeServer::Request(Connection& c, const channel::Frame& frame)
{
    int id = 0;
    if (const auto* run = std::get_if<channel::RunCapture>(&frame)) id = run->captureId;
    if (const auto* stop = std::get_if<channel::StopCapture>(&frame)) id = stop->captureId;
    if (const auto* save = std::get_if<channel::SaveSettings>(&frame)) id = save->captureId;
    if (const auto* add = std::get_if<channel::AddLane>(&frame)) id = add->captureId;
    if (const auto* remove = std::get_if<channel::RemoveLane>(&frame)) id = remove->captureId;
    if (!c.who.mayControl) {
        if (c.refusalEvents < kMaxRefusalEvents) {
            ++c.refusalEvents;
            CString session;
            session.Format("%lu", static_cast<unsigned long>(c.who.sessionId));
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_REQUEST_REFUSED,
                                 {c.who.account, session, RequestName(frame), LanePrefix(id, frame)});
        }
        Queue(c, channel::Refused{id, channel::Refusal::NotAllowed});
        return;
    }
    std::vector<channel::ChannelState> states = m_control.States();
    const bool known = std::any_of(states.begin(), states.end(), [id](const channel::ChannelState& s) {
        return s.captureId == id;
    });
    const auto* add = std::get_if<channel::AddLane>(&frame);
    if (add) {
        if (known || id < 1 || id > channel::kMaxLanes) {
            Queue(c, channel::Refused{id, channel::Refusal::NoSuchLane});
            return;
        }
    } else if (!known) {
        Queue(c, channel::Refused{id, channel::Refusal::UnknownCapture});
        return;
    }
    ControlRefusal refused;
    if (const auto* run = std::get_if<channel::RunCapture>(&frame))
        refused = m_control.Run(id, run->settings, c.who);
    else if (const auto* save = std::get_if<channel::SaveSettings>(&frame))
        refused = m_control.Save(id, save->settings, c.who);
    else if (add)
        refused = m_control.AddLane(id, add->settings, c.who);
    else if (std::holds_alternative<channel::RemoveLane>(frame))
        refused = m_control.RemoveLane(id, c.who);
    else
        refused = m_control.Stop(id, c.who);
    if (refused) Queue(c, channel::Refused{id, *refused});
}

void CPipeServer::Queue(Connection& c, const channel::Frame& frame)
{
    std::string bytes;
    if (channel::Encode(frame, bytes)) QueueBytes(c, bytes);
}

void CPipeServer::QueueBytes(Connection& c, const std::string& bytes)
{
    if (c.phase != Connection::Phase::Connected) return;
    if (c.queuedBytes + bytes.size() > m_options.maxQueuedBytes) {
        Close(c); // it does not read: let it go rather than hold its backlog
        return;
    }
    c.outbound.push_back(bytes);
    c.queuedBytes += bytes.size();
    if (!c.writing) SendNext(c);
}

void CPipeServer::SendNext(Connection& c)
{
    if (c.outbound.empty()) return;
    c.sending = std::move(c.outbound.front());
    c.outbound.pop_front();
    c.queuedBytes -= c.sending.size();
    c.writeOv = OVERLAPPED();
    if (Pending(WriteFile(c.pipe, c.sending.data(), static_cast<DWORD>(c.sending.size()), nullptr, &c.writeOv)))
        c.writing = true;
    else
        Close(c);
}

void CPipeServer::OnWriteDone(Connection& c, bool ok)
{
    if (c.phase != Connection::Phase::Connected) return;
    if (!ok) {
        Close(c);
        return;
    }
    SendNext(c);
}

void CPipeServer::Close(Connection& c)
{
    if (c.phase != Connection::Phase::Connected) return;
    c.phase = Connection::Phase::Closing;
    c.hasDeadline = false;
    --m_clients;
    if (c.reading || c.writing)
        CancelIoEx(c.pipe, nullptr); // Serve() recycles the instance when they are back
    else
        Recycle(c);
}

void CPipeServer::Recycle(Connection& c)
{
    DisconnectNamedPipe(c.pipe);
    c.welcomed = false;
    c.leaving = false;
    c.who = Requester();
    c.processId = 0;
    c.inbound.clear();
    c.outbound.clear();
    c.queuedBytes = 0;
    c.sending.clear();
    Listen(c);
}

void CPipeServer::HandOut()
{
    std::vector<Outgoing> outbox;
    {
        CSingleLock guard(&m_lock, true);
        outbox.swap(m_outbox);
    }
    for (const Outgoing& o : outbox) {
        for (auto& c : m_connections) {
            if (c->phase == Connection::Phase::Connected && c->welcomed && !c->leaving) QueueBytes(*c, o.frame);
        }
    }
}

// Ends the connections whose deadline passed and listens again on idle instances whose
// pause is over; returns how long the port may be waited on.
DWORD CPipeServer::CheckDeadlines()
{
    DWORD now = GetTickCount();
    DWORD wait = INFINITE;
    for (auto& cp : m_connections) {
        Connection& c = *cp;
        if (!c.hasDeadline) continue;
        LONG left = static_cast<LONG>(c.deadline - now);
        if (left > 0) {
            wait = std::min(wait, static_cast<DWORD>(left));
            continue;
        }
        c.hasDeadline = false;
        if (c.phase == Connection::Phase::Idle) {
            Listen(c);
        } else {
            Close(c);
        }
        if (c.hasDeadline) wait = std::min(wait, kRelistenDelayMs);
    }
    return wait;
}

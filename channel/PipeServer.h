#pragma once
// CPipeServer: the service's end of the control channel. One thread serves every window
// through a fixed set of pipe instances and an I/O completion port; nothing a client sends or
// fails to read makes that thread (or the capture) wait. A client that breaks the protocol,
// stays silent past its deadline or lets its outbound queue overflow is disconnected, and its
// pipe instance serves the next client. Each client's account is read from its token at Hello;
// only one that may control gets its Run, Stop and Save to the captures.
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "channel/CaptureControl.h"
#include "channel/Protocol.h"

struct PipeServerOptions {
    std::string name = channel::kPipeName;
    // Pipe instances, so also the most clients at once; one more gets ERROR_PIPE_BUSY.
    int maxClients = 16;
    // From connecting to Hello, and for a refused client to take its answer.
    DWORD helloTimeoutMs = 5000;
    // Frames waiting for a client beyond what the pipe itself buffers.
    size_t maxQueuedBytes = 64 * 1024;
    // Connections one client process may hold at once; one more is let go at once, so that a
    // process holding many instances cannot keep the windows out.
    int maxPerProcess = 4;
    // How often the service tries again for a name another process holds.
    DWORD retryNameMs = 3000;
    // Who the client is, read when its Hello arrives; null reads its token. Tests give a
    // connection any identity here, as Wine runs everything as an elevated administrator.
    std::function<bool(HANDLE pipe, Requester& who)> identify;
};

class CPipeServer {
public:
    explicit CPipeServer(ICaptureControl& control, PipeServerOptions options = PipeServerOptions());
    ~CPipeServer();
    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    // Creates every pipe instance and starts serving. ERROR_SUCCESS or the Win32 error;
    // ERROR_ACCESS_DENIED or ERROR_PIPE_BUSY when another process already holds the name.
    DWORD Start();
    // Disconnects every client and releases everything Start made.
    void Stop();

    // From any thread: queue a frame for every client past Hello and return; a later state of
    // the same capture replaces one not yet handed out.
    void Broadcast(const channel::ChannelState& state);
    // A text longer than the protocol carries is cut, not lost.
    void BroadcastMessage(int captureId, const CaptureMessage& message);
    // Every window is told to end, as a close ends it (an install is about to replace the files).
    void BroadcastDismiss();
    // The lanes there are now, after one was added or removed; a later list replaces one not yet
    // handed out.
    void BroadcastLanes(const std::vector<int>& lanes);

    // Clients connected now, said Hello or not.
    int ClientCount() const { return m_clients.load(); }

private:
    struct Connection;
    struct Outgoing {
        enum class Kind { State, Message, Dismiss, Lanes };
        Kind kind;
        int captureId;
        std::string frame;
    };

    static UINT __cdecl ThreadProc(void* param);
    void Serve();
    void Drain();
    void Post(ULONG_PTR key);

    // All on the server thread.
    void Listen(Connection& c);
    void OnConnectDone(Connection& c, bool ok);
    void OnReadDone(Connection& c, bool ok, DWORD bytes);
    void OnWriteDone(Connection& c, bool ok);
    void StartRead(Connection& c);
    void Handle(Connection& c, const channel::Frame& frame);
    void Welcome(Connection& c);
    // Run, Stop, Save, AddLane or RemoveLane from a welcomed client.
    void Request(Connection& c, const channel::Frame& frame);
    // "Lane 2 (COM7): ", as the events that concern a lane begin.
    CString LanePrefix(int lane, const channel::Frame& frame) const;
    void Queue(Connection& c, const channel::Frame& frame);
    void QueueBytes(Connection& c, const std::string& bytes);
    void SendNext(Connection& c);
    void Close(Connection& c);
    void Recycle(Connection& c);
    void HandOut();
    // Connections of that client process now, apart from c.
    int ConnectionsOf(DWORD processId, const Connection& c) const;
    DWORD CheckDeadlines();

    ICaptureControl& m_control;
    PipeServerOptions m_options;
    CHandle m_port;
    std::vector<std::unique_ptr<Connection>> m_connections;
    CWinThread* m_thread = nullptr;
    std::atomic<int> m_clients{0};
    // Set by BroadcastDismiss: a window that connects later is told to go too.
    std::atomic<bool> m_dismissed{false};

    CCriticalSection m_lock; // guards m_outbox, and m_port against Stop
    std::vector<Outgoing> m_outbox;
};

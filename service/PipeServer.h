#pragma once
// CPipeServer: the service's end of the control channel. One thread serves every window
// through a fixed set of pipe instances and an I/O completion port; nothing a client sends or
// fails to read makes that thread (or the capture) wait. A client that breaks the protocol,
// stays silent past its deadline or lets its outbound queue overflow is disconnected, and its
// pipe instance serves the next client.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "service/CaptureControl.h"
#include "service/Protocol.h"

struct PipeServerOptions {
    std::string name = channel::kPipeName;
    // Pipe instances, so also the most clients at once; one more gets ERROR_PIPE_BUSY.
    int maxClients = 16;
    // From connecting to Hello, and for a refused client to take its answer.
    DWORD helloTimeoutMs = 5000;
    // Frames waiting for a client beyond what the pipe itself buffers.
    size_t maxQueuedBytes = 64 * 1024;
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

    // Clients connected now, said Hello or not.
    int ClientCount() const { return m_clients.load(); }

private:
    struct Connection;
    struct Outgoing {
        bool isState;
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
    void Queue(Connection& c, const channel::Frame& frame);
    void QueueBytes(Connection& c, const std::string& bytes);
    void SendNext(Connection& c);
    void Close(Connection& c);
    void Recycle(Connection& c);
    void HandOut();
    DWORD CheckDeadlines();

    ICaptureControl& m_control;
    PipeServerOptions m_options;
    CHandle m_port;
    std::vector<std::unique_ptr<Connection>> m_connections;
    CWinThread* m_thread = nullptr;
    std::atomic<int> m_clients{0};

    CCriticalSection m_lock; // guards m_outbox, and m_port against Stop
    std::vector<Outgoing> m_outbox;
};

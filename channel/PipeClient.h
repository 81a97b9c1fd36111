#pragma once
// CPipeClient: a session window's end of the control channel. Its own thread connects to the
// service, says Hello, keeps the latest state of every capture and the messages not yet taken,
// and connects again whenever the service goes away and comes back. It reads nothing from a
// server that is not the service's process. The window is told by a posted message and never
// waits on the pipe.
#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "channel/Protocol.h"

// Whom a window may believe: the process that must serve the pipe and the SIDs that may own it.
struct ExpectedServer {
    DWORD processId = 0;
    std::vector<std::string> owners;
};
// Fills in the expected server; false when there is none to believe (the service is not running).
using ExpectedServerSource = std::function<bool(ExpectedServer&)>;

// The collector service, as the service manager names it now: its process, and its account
// (LocalService) or its service SID as the owner.
bool ExpectCollectorService(ExpectedServer& expected);
// The same for any service (what the benchmark measures the check with).
bool ExpectService(const char* serviceName, ExpectedServer& expected);

// Whether a pipe served by serverProcessId and owned by ownerSid ("" when the system reports no
// owner: never the service's) is the expected server.
bool IsExpectedServer(DWORD serverProcessId, const std::string& ownerSid, const ExpectedServer& expected);

// Whether the pipe's server is the expected one: checked before anything is read from it.
bool IsTrustedPipe(HANDLE pipe, const ExpectedServerSource& expected);

class CPipeClient {
public:
    explicit CPipeClient(std::string pipeName = channel::kPipeName);
    ~CPipeClient();
    CPipeClient(const CPipeClient&) = delete;
    CPipeClient& operator=(const CPipeClient&) = delete;

    // The window told (message, no parameters) when the connection, a state, a message or a
    // refusal changes; set before Start. Without one the caller polls.
    void SetNotifyWindow(HWND window, UINT message);
    // Replaces the collector service as the server to believe; set before Start. Tests serve the
    // channel from their own process.
    void SetExpectedServer(ExpectedServerSource source);
    // Starts the thread that connects and keeps connecting; false when it cannot be started.
    bool Start();
    // Disconnects and ends the thread.
    void Stop();

    // Welcomed by the service, and the latest state of each of its lanes, in rising order of lane.
    bool IsConnected() const;
    std::vector<channel::ChannelState> States() const;
    // Oldest first; the ones not taken are dropped beyond a few dozen.
    std::vector<channel::UserMessage> TakeMessages();
    std::vector<channel::Refused> TakeRefusals();
    // What the service said of this client in its Welcome; false and empty while not connected.
    bool MayControl() const;
    CString Account() const;
    // The service told the window to go.
    bool Dismissed() const;
    // Servers that were not the expected one, since Start: disconnected before anything was read.
    int UntrustedServers() const;

    // Ask the service; false when not connected (nothing is sent) or a setting does not fit the
    // protocol. The answer is the states that follow, or a refusal.
    bool Run(int captureId, const CollectorSettings& settings);
    bool StopCapture(int captureId);
    bool Save(int captureId, const CollectorSettings& settings);
    bool AddLane(int lane, const CollectorSettings& settings);
    bool RemoveLane(int lane);

private:
    static UINT __cdecl ThreadProc(void* param);
    void Loop();
    bool Open(CHandle& pipe);
    // The pipe's server is the expected one: checked before anything is read from it.
    bool Trusted(HANDLE pipe) const;
    void Converse(HANDLE pipe);
    // False when the service broke the protocol.
    bool Take(const channel::Frame& frame);
    bool Send(const channel::Frame& frame);
    void SetDisconnected();
    // Connected once the list and every listed lane's state are here, so that a window never shows
    // a made-up state.
    void UpdateConnected();
    void Notify() const;
    bool WaitStop(DWORD ms) const;

    std::string m_name;
    ExpectedServerSource m_expected = ExpectCollectorService;
    CWinThread* m_thread = nullptr;
    CHandle m_stopEvent;
    CHandle m_sendEvent;

    mutable CCriticalSection m_lock; // guards everything below
    HWND m_notifyWindow = nullptr;
    UINT m_notifyMessage = 0;
    bool m_welcomed = false;
    bool m_listed = false; // the lane list has come since Welcome
    // Once every listed lane's state has come; a lane added later does not undo it.
    bool m_connected = false;
    // One per listed lane, and whether its state has come.
    std::vector<channel::ChannelState> m_states;
    std::vector<bool> m_haveState;
    std::deque<channel::UserMessage> m_messages;
    std::vector<channel::Refused> m_refusals;
    std::string m_outbox;
    bool m_mayControl = false;
    CString m_account;
    bool m_dismissed = false;
    int m_untrusted = 0;
};

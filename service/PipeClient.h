#pragma once
// CPipeClient: a session window's end of the control channel. Its own thread connects to the
// service, says Hello, keeps the latest state of every capture and the messages not yet taken,
// and connects again whenever the service goes away and comes back. The window is told by a
// posted message and never waits on the pipe.
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "service/Protocol.h"

class CPipeClient {
public:
    explicit CPipeClient(std::string pipeName = channel::kPipeName);
    ~CPipeClient();
    CPipeClient(const CPipeClient&) = delete;
    CPipeClient& operator=(const CPipeClient&) = delete;

    // The window told (message, no parameters) when the connection, a state, a message or a
    // refusal changes; set before Start. Without one the caller polls.
    void SetNotifyWindow(HWND window, UINT message);
    // Starts the thread that connects and keeps connecting; false when it cannot be started.
    bool Start();
    // Disconnects and ends the thread.
    void Stop();

    // Welcomed by the service, and the latest state of each of its captures.
    bool IsConnected() const;
    std::vector<channel::ChannelState> States() const;
    // Oldest first; the ones not taken are dropped beyond a few dozen.
    std::vector<channel::UserMessage> TakeMessages();
    std::vector<channel::Refused> TakeRefusals();

    // Ask the service; false when not connected (nothing is sent) or a setting does not fit the
    // protocol. The answer is the states that follow, or a refusal.
    bool Run(int captureId, const CollectorSettings& settings);
    bool StopCapture(int captureId);

private:
    static UINT __cdecl ThreadProc(void* param);
    void Loop();
    bool Open(CHandle& pipe);
    void Converse(HANDLE pipe);
    // False when the service broke the protocol.
    bool Take(const channel::Frame& frame);
    bool Send(const channel::Frame& frame);
    void SetDisconnected();
    void Notify() const;
    bool WaitStop(DWORD ms) const;

    std::string m_name;
    CWinThread* m_thread = nullptr;
    CHandle m_stopEvent;
    CHandle m_sendEvent;

    mutable CCriticalSection m_lock; // guards everything below
    HWND m_notifyWindow = nullptr;
    UINT m_notifyMessage = 0;
    bool m_welcomed = false;
    size_t m_statesToCome = 0; // after Welcome, one State per capture
    bool m_connected = false;
    std::vector<channel::ChannelState> m_states;
    std::deque<channel::UserMessage> m_messages;
    std::vector<channel::Refused> m_refusals;
    std::string m_outbox;
};

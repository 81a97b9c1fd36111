#pragma once
// CServiceCore: what the service does between its start and its stop, apart from talking to
// the service manager: it runs the captures, serves the sessions' windows over the control
// channel, and tells every window of each change as it happens.
#include <windows.h>

#include "service/CaptureService.h"
#include "channel/PipeServer.h"
#include "service/ServiceCommands.h"

class CServiceCore {
public:
    explicit CServiceCore(PipeServerOptions options = PipeServerOptions());
    ~CServiceCore();
    CServiceCore(const CServiceCore&) = delete;
    CServiceCore& operator=(const CServiceCore&) = delete;

    // Opens the channel and resumes or starts the captures; the channel's error, if any (the
    // captures run all the same, and Serve tries the channel again every few seconds).
    DWORD Start();
    // Serves until stop is signalled; dismiss (optional) tells every window to go.
    void Serve(HANDLE stop, HANDLE dismiss = nullptr);
    // The service stops: captures end as Stop ends them (a restart resumes them), windows go.
    void Shutdown();

    CCaptureService& Captures() { return m_captures; }

private:
    void Publish();
    // Opens the channel if it is not open; one Error event while it cannot, one Information
    // event when it can after that.
    DWORD OpenChannel();

    CCaptureService m_captures;
    CServiceCommands m_commands;
    const DWORD m_retryChannelMs;
    CPipeServer m_server;
    std::vector<channel::ChannelState> m_published;
    bool m_channelOpen = false;
    bool m_channelRefused = false;
    bool m_windowsDismissed = false;
};

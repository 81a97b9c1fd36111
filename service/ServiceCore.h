#pragma once
// CServiceCore: what the service does between its start and its stop, apart from talking to
// the service manager: it runs the captures, serves the sessions' windows over the control
// channel, and tells every window of each change as it happens.
#include <windows.h>

#include "service/CaptureService.h"
#include "service/PipeServer.h"
#include "service/ServiceCommands.h"

class CServiceCore {
public:
    explicit CServiceCore(PipeServerOptions options = PipeServerOptions());
    ~CServiceCore();
    CServiceCore(const CServiceCore&) = delete;
    CServiceCore& operator=(const CServiceCore&) = delete;

    // Opens the channel and resumes or starts the captures; the channel's error, if any (the
    // captures run all the same).
    DWORD Start();
    // Serves until stop is signalled.
    void Serve(HANDLE stop);
    // The service stops: captures end as Stop ends them (a restart resumes them), windows go.
    void Shutdown();

    CCaptureService& Captures() { return m_captures; }

private:
    void Publish();

    CCaptureService m_captures;
    CServiceCommands m_commands;
    CPipeServer m_server;
    std::vector<channel::ChannelState> m_published;
};

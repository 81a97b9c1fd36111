#pragma once
// One look at the service's lanes for a script: connect, check that the service serves the pipe,
// say Hello, take the lane list and every lane's state, and go. Bounded in time throughout, so
// that a script is never held up by a service that hangs or a pipe someone else serves.
#include <windows.h>

#include <string>
#include <vector>

#include "channel/PipeClient.h"
#include "channel/Protocol.h"

enum class StatusReach {
    Answered,     // lanes holds every lane's state
    NotInstalled, // the service manager knows no collector service
    NotRunning,   // installed, but stopped, starting or stopping
    Unreachable,  // running, but its channel did not answer in time, refused this account or was not its own
};

struct StatusAnswer {
    StatusReach reach = StatusReach::Unreachable;
    // The Win32 error behind a failure, 0 when there is none (a time-out, a server not believed).
    DWORD error = 0;
    // NotRunning: the service's state as the service manager gives it (SERVICE_STOPPED, ...).
    DWORD serviceState = 0;
    // Unreachable: what went wrong, for a person.
    std::string why;
    std::vector<channel::ChannelState> lanes;
};

// Asks the collector service: first the service manager (installed? running?), then the channel.
StatusAnswer QueryCollectorStatus(DWORD timeoutMs);
// Only the channel part, with the pipe and the server to believe given (tests serve the pipe).
StatusAnswer QueryStatusOverPipe(const std::string& pipeName, const ExpectedServerSource& expected, DWORD timeoutMs);

#pragma once
// Who asked the service for something, as the service established it: a window's account and
// session from the channel, or the service itself (the boot, a restart, a deployment's change
// to its settings). Events name it; the channel decides from it what a window may do.
#include <windows.h>

#include "platform/EventText.h"
#include "platform/String.h"

struct Requester {
    // DOMAIN\user as Windows names the client's account; the SID as text when it has no name.
    CString account;
    // The client's Windows session.
    DWORD sessionId = 0;
    // How the request came: "a window", "a deployment", "the boot", "a restart".
    CString how = "a window";
    // May run, stop and change the capture (Administrators, and the operators the shop named).
    bool mayControl = false;
};

// This process as the requester: the service itself (the boot, a restart, a deployment's change,
// whose writer the registry does not record), or in desktop mode the person whose window it is.
inline Requester ThisProcess(const char* how)
{
    Requester who;
    who.account = ProcessAccountName();
    who.sessionId = ProcessSessionId();
    who.how = how;
    who.mayControl = true;
    return who;
}

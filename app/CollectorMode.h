#pragma once
// Whether this program is the capture itself (desktop mode: no service installed, the portable
// zip) or a window onto the service's capture (client mode), as the service manager says.
#include <windows.h>

enum class CollectorMode {
    Desktop, // no service: the window captures, one capture per machine
    Client,  // the service captures; the window shows and controls it
    Unknown, // the service manager could not be asked: capturing beside a service would fight it
};

// error receives the system's error when the answer is Unknown.
CollectorMode DetectCollectorMode(DWORD& error);

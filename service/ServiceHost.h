#pragma once
// The Windows service that runs the capture for the machine, from boot and whoever is logged
// on. The service manager starts the program with /service; the program then serves until the
// manager stops it.
#include <windows.h>

// The service's name in the service manager, and the name it shows.
extern const char kCollectorServiceName[];
extern const char kCollectorServiceDisplayName[];

// Connects to the service manager and runs the service; returns the process's exit code
// (non-zero when the program was not started by the service manager).
int RunCollectorService();

// A control of our own (128..255 need no accept flag): the service tells every window to go,
// as before an install replaces the program's files.
const DWORD kDismissWindowsControl = 128;

#pragma once
// The collector already running in this session, as another start of the program sees it.
#include <windows.h>

// Its dialog, hidden or not; null when none runs here.
HWND FindRunningCollector();

// Asks it to close the way its close box does (settings saved, capture file complete) and
// waits for its process to end. true when none runs any more; false when it was still
// running after timeoutMs.
bool CloseRunningCollector(DWORD timeoutMs);

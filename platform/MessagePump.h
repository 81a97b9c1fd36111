#pragma once
// One turn of the calling thread's message pump, for code that must keep the
// user interface alive while it waits.

// Removes, translates and dispatches one pending message; false at once when none is pending.
bool PumpMessage();

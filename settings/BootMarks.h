#pragma once
// What the service remembers until the next boot, in a volatile key beside the settings: a
// restart of the service (after a failure, or an administrator's stop and start) goes on with
// the capture that was running, appending to its file; only a boot starts afresh.

// True on the first call since the system started (it creates the volatile key); false after.
// Also false when the key cannot be had at all, so that a doubt never empties a capture file.
bool FirstStartSinceBoot(bool& known);
// Whether a lane's capture was running when the service last stopped or failed. Lane 1's mark
// keeps the name it had before lanes, so that a restart across an upgrade resumes it.
bool CaptureWasRunning(int lane = 1);
void SetCaptureRunning(bool running, int lane = 1);

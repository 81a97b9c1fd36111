#pragma once
// ICaptureClock: the one place a capture reads the time from and sleeps through, so that a test
// can move the time on (the clean minute, the back-off, a silence) instead of waiting for it.
// The waits for the port's own I/O stay on the system's tick: a driver keeps real time.
#include <windows.h>

class ICaptureClock {
public:
    virtual ~ICaptureClock() = default;
    // Milliseconds, wrapping as GetTickCount does: for intervals only.
    virtual DWORD Tick() = 0;
    // Now, as a FILETIME's 100-ns count: UTC for what status carries, local for opening hours.
    virtual unsigned long long UtcNow() = 0;
    virtual unsigned long long LocalNow() = 0;
    // Waits ms, or until stop is signalled; true on stop (a failed wait counts as one).
    virtual bool Wait(HANDLE stop, DWORD ms) = 0;
};

// The system's clock.
ICaptureClock& SystemClock();

// A FILETIME's 100-ns count in these units.
const unsigned long long kFileTimeMs = 10000ULL;
const unsigned long long kFileTimeMinute = 60ULL * 1000 * kFileTimeMs;

#include "capture/CaptureClock.h"

namespace {

unsigned long long Count(const FILETIME& t)
{
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

class CSystemClock final : public ICaptureClock {
public:
    DWORD Tick() override { return ::GetTickCount(); }
    unsigned long long UtcNow() override
    {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        return Count(now);
    }
    unsigned long long LocalNow() override
    {
        // The local time as the clock on the wall shows it, daylight saving included.
        SYSTEMTIME local;
        ::GetLocalTime(&local);
        FILETIME now;
        return ::SystemTimeToFileTime(&local, &now) ? Count(now) : 0;
    }
    bool Wait(HANDLE stop, DWORD ms) override { return ::WaitForSingleObject(stop, ms) != WAIT_TIMEOUT; }
};

} // namespace

ICaptureClock& SystemClock()
{
    static CSystemClock clock;
    return clock;
}

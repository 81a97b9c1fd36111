#pragma once
// ICaptureSink: everything a running capture tells its owner. The capture calls nothing else of
// it; the owner decides who hears of it (a window, the service's lanes, a test).
#include "capture/CaptureTypes.h"
#include "platform/String.h"

class ICaptureSink {
public:
    virtual ~ICaptureSink() = default;
    virtual void State(CaptureState state, CaptureEnd end) = 0;
    // A message for the user, its text complete (the lane's name included).
    virtual void Message(const CString& text, const char* caption) = 0;
    // A read brought count bytes, at this time (UTC, a FILETIME's count).
    virtual void Captured(unsigned count, unsigned long long atUtc) = 0;
    // The silence alert went up (since: the last byte, or the start) or down.
    virtual void Silence(bool silent, unsigned long long since) = 0;
};

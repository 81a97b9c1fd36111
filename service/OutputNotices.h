#pragma once
// What the outputs of one lane have to say: their events, waiting for the service to take
// them, and the service's change event, set when an event waits or a state changes.
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "service/NetworkOutput.h"

class COutputNotices {
public:
    // Nobody may take them for a long time: the oldest give way.
    static const size_t kMaxWaiting = 256;

    void SetNotifyEvent(HANDLE event);
    void Say(const OutputEvent& event);
    void Changed();
    std::vector<OutputEvent> Take();

private:
    mutable CCriticalSection m_lock;
    std::deque<OutputEvent> m_events;
    HANDLE m_notify = nullptr;
};

// When one recorder is said lost and back: once per outage. A connection that ends within a
// clean minute of coming back belongs to the outage before it (the serial port's rule), so a
// recorder that connects and drops over and over is said lost once, not every time.
class COutageWatch {
public:
    static const unsigned long long kCleanMs = 60000;

    // missed: the count of bytes this recorder did not get, so far: Back says how many of them
    // fell into the outage. True with the event to say, if any.
    bool Up(unsigned long long now, unsigned long long missed, OutputEvent& event);
    bool Down(unsigned long long now, unsigned long long missed, OutputEvent::Kind kind, const std::string& why,
              OutputEvent& event);
    bool IsDown() const { return m_down; }

private:
    bool m_seen = false;      // Connected was said
    bool m_down = false;
    bool m_said = false;      // this outage was said (Lost or Unusable)
    bool m_probation = false; // back less than a clean minute ago
    unsigned long long m_upAt = 0;
    unsigned long long m_downAt = 0;
    unsigned long long m_missedAt = 0;
};

// When a peer is tried again after a failure: 1, 2, 4 ... 30 s, and 1 s again after a try that
// stayed up a clean minute.
class CBackOff {
public:
    static const DWORD kFirstMs = 1000;
    static const DWORD kMaxMs = 30000;

    // upSince: when the try that failed came up, 0 when it never did.
    void Failed(unsigned long long now, unsigned long long upSince)
    {
        if (upSince && now - upSince >= COutageWatch::kCleanMs) m_nextMs = kFirstMs;
        m_at = now + m_nextMs;
        m_nextMs = m_nextMs * 2 < kMaxMs ? m_nextMs * 2 : kMaxMs;
    }
    bool Due(unsigned long long now) const { return now >= m_at; }
    DWORD Wait(unsigned long long now) const { return m_at > now ? static_cast<DWORD>(m_at - now) : 0; }

private:
    DWORD m_nextMs = kFirstMs;
    unsigned long long m_at = 0;
};

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

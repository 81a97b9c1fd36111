#pragma once
// CSilenceWatch: when a capture has gone without a byte for its silence minutes inside the
// opening hours, counted from the later of the last byte and the opening. Only the time the port is open counts: a capture waiting for its port waits,
// it is not silent. Times are FILETIME counts, UTC and local side by side.
#include "capture/OpenHours.h"

class CSilenceWatch {
public:
    CSilenceWatch(unsigned minutes, const COpenHours& hours) : m_minutes(minutes), m_hours(hours) {}

    bool On() const { return m_minutes > 0; }
    unsigned Minutes() const { return m_minutes; }
    // The port has opened now; the first call is the capture's start.
    void PortOpened(unsigned long long utc, unsigned long long local);
    // The port went; false when no alert was up.
    bool PortClosed();
    // Bytes came now. True when that ended an alert; lasted is then the silence, since the last
    // byte (or the start), in 100-ns units.
    bool Heard(unsigned long long utc, unsigned long long local, unsigned long long& lasted);
    // True once a silence, at the first call after it has lasted the minutes inside the hours.
    bool Due(unsigned long long utc, unsigned long long local);

    bool Silent() const { return m_silent; }
    bool AnyByte() const { return m_anyByte; }
    // The last byte, or the start when none came.
    unsigned long long SinceUtc() const { return m_anyByte ? m_lastUtc : m_startUtc; }
    unsigned long long SinceLocal() const { return m_anyByte ? m_lastLocal : m_startLocal; }

private:
    unsigned m_minutes;
    COpenHours m_hours;
    bool m_started = false;
    bool m_anyByte = false;
    bool m_silent = false;
    unsigned long long m_startUtc = 0, m_startLocal = 0;
    unsigned long long m_lastUtc = 0, m_lastLocal = 0;
    // The silence counts from here: the last byte, or the port's opening when that was later.
    unsigned long long m_fromUtc = 0, m_fromLocal = 0;
};

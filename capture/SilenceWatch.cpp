#include "capture/SilenceWatch.h"

#include "capture/CaptureClock.h"

void CSilenceWatch::PortOpened(unsigned long long utc, unsigned long long local)
{
    if (!m_started) {
        m_started = true;
        m_startUtc = utc;
        m_startLocal = local;
    }
    m_fromUtc = utc;
    m_fromLocal = local;
}

bool CSilenceWatch::PortClosed()
{
    const bool was = m_silent;
    m_silent = false;
    return was;
}

bool CSilenceWatch::Heard(unsigned long long utc, unsigned long long local, unsigned long long& lasted)
{
    const bool was = m_silent;
    lasted = utc > SinceUtc() ? utc - SinceUtc() : 0;
    m_anyByte = true;
    m_silent = false;
    m_lastUtc = m_fromUtc = utc;
    m_lastLocal = m_fromLocal = local;
    return was;
}

bool CSilenceWatch::Due(unsigned long long utc, unsigned long long local)
{
    if (!On() || m_silent || !m_started) return false;
    const unsigned long long needed = m_minutes * kFileTimeMinute;
    // Inside the hours or not, a silence is never longer than the time gone by: the cheap test
    // first, since this runs at every read of an idle line.
    if (utc < m_fromUtc + needed) return false;
    unsigned long long openedAt = 0;
    if (!m_hours.OpenAt(local, openedAt)) return false;
    const unsigned long long from = openedAt > m_fromLocal ? openedAt : m_fromLocal;
    if (local < from + needed) return false;
    m_silent = true;
    return true;
}

#include "service/OutputNotices.h"

void COutputNotices::SetNotifyEvent(HANDLE event)
{
    CSingleLock guard(&m_lock, true);
    m_notify = event;
}

void COutputNotices::Say(const OutputEvent& event)
{
    CSingleLock guard(&m_lock, true);
    if (m_events.size() >= kMaxWaiting) m_events.pop_front();
    m_events.push_back(event);
    if (m_notify) ::SetEvent(m_notify);
}

void COutputNotices::Changed()
{
    CSingleLock guard(&m_lock, true);
    if (m_notify) ::SetEvent(m_notify);
}

std::vector<OutputEvent> COutputNotices::Take()
{
    CSingleLock guard(&m_lock, true);
    std::vector<OutputEvent> taken(m_events.begin(), m_events.end());
    m_events.clear();
    return taken;
}

bool COutageWatch::Up(unsigned long long now, unsigned long long missed, OutputEvent& event)
{
    const bool wasDown = m_down;
    m_down = false;
    m_upAt = now;
    if (!m_seen) {
        m_seen = true;
        m_said = false;
        event.kind = OutputEvent::Kind::Connected;
        return true;
    }
    if (!wasDown || !m_said) return false;
    m_said = false;
    m_probation = true;
    event.kind = OutputEvent::Kind::Back;
    event.outageMs = now - m_downAt;
    event.dropped = missed - m_missedAt;
    return true;
}

bool COutageWatch::Down(unsigned long long now, unsigned long long missed, OutputEvent::Kind kind,
                        const std::string& why, OutputEvent& event)
{
    if (m_down) return false;
    m_down = true;
    // Connected again, briefly, after an outage that was said: still that outage.
    if (m_probation && m_seen && now - m_upAt < kCleanMs) return false;
    m_probation = false;
    m_said = true;
    m_downAt = now;
    m_missedAt = missed;
    event.kind = kind;
    event.why = why;
    return true;
}

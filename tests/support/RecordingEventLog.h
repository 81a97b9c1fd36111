#pragma once
// An event log service for tests: records every event instead of logging it, and uninstalls
// itself when it goes out of scope.
#include "platform/EventLog.h"

#include <mutex>
#include <string>
#include <vector>

namespace testenv {

struct RecordedEvent {
    WORD type;
    DWORD id;
    std::vector<std::string> strings;
};

// Installed for exactly its lifetime; events may come from any thread meanwhile.
class RecordingEventLog final : public IEventLogService {
public:
    RecordingEventLog() { m_previous = SetEventLogService(this); }
    ~RecordingEventLog() override { SetEventLogService(m_previous); }
    RecordingEventLog(const RecordingEventLog&) = delete;
    RecordingEventLog& operator=(const RecordingEventLog&) = delete;

    void Report(WORD type, DWORD eventId, const std::vector<CString>& strings) override
    {
        RecordedEvent event{type, eventId, {}};
        for (const CString& s : strings) event.strings.emplace_back(s.GetString());
        std::lock_guard<std::mutex> guard(m_mutex);
        m_events.push_back(std::move(event));
    }

    std::vector<RecordedEvent> Events() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_events;
    }

private:
    IEventLogService* m_previous = nullptr;
    mutable std::mutex m_mutex;
    std::vector<RecordedEvent> m_events;
};

} // namespace testenv

#include "platform/EventLog.h"

#include <atomic>

const char kEventSourceName[] = "Orvane POS Collector";

namespace {

// ReportEvent's documented limit for one insertion string; a longer one fails the whole event.
const int kMaxInsertLength = 31839;

// A registered event source, deregistered when the owner goes.
class CEventSource {
public:
    explicit CEventSource(const char* name) : m_h(::RegisterEventSourceA(nullptr, name)) {}
    ~CEventSource()
    {
        if (m_h) ::DeregisterEventSource(m_h);
    }
    CEventSource(const CEventSource&) = delete;
    CEventSource& operator=(const CEventSource&) = delete;

    BOOL Report(WORD type, DWORD eventId, WORD count, const char** strings) const
    {
        if (!m_h) return FALSE;
        return ::ReportEventA(m_h, type, 0, eventId, nullptr, count, 0, strings, nullptr);
    }

private:
    HANDLE m_h;
};

class CSystemEventLog : public IEventLogService {
public:
    void Report(WORD type, DWORD eventId, const std::vector<CString>& strings) override
    {
        // Registered by the first report of any thread (a local static is initialised once,
        // the others wait for it) and kept for the rest of the process; nothing is opened by
        // a program that logs nothing.
        static const CEventSource source(kEventSourceName);
        std::vector<CString> bounded;
        std::vector<const char*> pointers;
        bounded.reserve(strings.size()); // no reallocation: the pointers below stay valid
        pointers.reserve(strings.size());
        for (const CString& s : strings) {
            bounded.push_back(s.GetLength() > kMaxInsertLength ? s.Left(kMaxInsertLength) : s);
            pointers.push_back(bounded.back().GetString());
        }
        // A failure to log has nobody to tell: the event is dropped.
        source.Report(type, eventId, static_cast<WORD>(pointers.size()), pointers.empty() ? nullptr : pointers.data());
    }
};

CSystemEventLog g_systemLog;
std::atomic<IEventLogService*> g_service{&g_systemLog};

} // namespace

void ReportCollectorEvent(WORD type, DWORD eventId, std::initializer_list<CString> strings) noexcept
{
    try {
        g_service.load()->Report(type, eventId, std::vector<CString>(strings));
    } catch (...) {
        // Out of memory, or a replaced service that threw: logging never ends the caller.
    }
}

IEventLogService* SetEventLogService(IEventLogService* service)
{
    IEventLogService* previous = g_service.exchange(service ? service : &g_systemLog);
    return previous == &g_systemLog ? nullptr : previous;
}

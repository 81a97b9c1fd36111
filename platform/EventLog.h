#pragma once
// Events go to the Windows Application log through a replaceable service: the program reports
// them under its registered event source, a test installs a recorder. The ids and their texts
// are in res/Messages.mc (Messages.h in the build).
#include <windows.h>

#include <initializer_list>
#include <vector>

#include "platform/String.h"

// The source the package registers, naming the exe as its message file.
extern const char kEventSourceName[];

class IEventLogService {
public:
    virtual ~IEventLogService() = default;
    virtual void Report(WORD type, DWORD eventId, const std::vector<CString>& strings) = 0;
};

// Reports an event through the installed service. type: EVENTLOG_INFORMATION_TYPE,
// EVENTLOG_WARNING_TYPE or EVENTLOG_ERROR_TYPE; eventId: an MSG_ id; strings: every insert its
// text names, %1 first (every event has at least one). Callable from any thread; never waits
// for anyone and never throws: an event that cannot be logged is dropped, the capture goes on.
void ReportCollectorEvent(WORD type, DWORD eventId, std::initializer_list<CString> strings) noexcept;

// Installs a service (null: the event log again) and returns the previous one.
IEventLogService* SetEventLogService(IEventLogService* service);

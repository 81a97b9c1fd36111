// Winsock's header before windows.h.
#include "service/Winsock.h"

#include "service/NetworkOutput.h"

#include <cstdint>

#include "service/OutputNotices.h"
#include "service/OutputRunner.h"
#include "service/Winsock.h"

// One output: its runner, stopped before it goes.
class CLaneOutputs::Output {
public:
    explicit Output(std::unique_ptr<COutputRunner> runner) : m_runner(std::move(runner)) {}
    ~Output() { m_runner->Join(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    COutputRunner& Runner() { return *m_runner; }
    const COutputRunner& Runner() const { return *m_runner; }

private:
    std::unique_ptr<COutputRunner> m_runner;
};

CLaneOutputs::CLaneOutputs() : m_winsock(std::make_unique<CWinsockUser>()), m_notices(std::make_unique<COutputNotices>())
{
}

CLaneOutputs::~CLaneOutputs()
{
    Stop();
}

void CLaneOutputs::SetNotifyEvent(HANDLE event)
{
    m_notices->SetNotifyEvent(event);
}

void CLaneOutputs::Configure(const std::vector<OutputDefinition>& outputs, unsigned codePage)
{
    CSingleLock configuring(&m_configure, true);
    // Only Configure and Stop change m_outputs, and they hold m_configure: it may be read here
    // without m_lock. New runners start before they join the list; kept ones never miss a byte.
    std::vector<bool> kept(m_outputs.size(), false);
    std::vector<size_t> keep(outputs.size(), SIZE_MAX);
    std::vector<std::unique_ptr<Output>> started(outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = 0; j < m_outputs.size(); ++j) {
            const COutputRunner& runner = m_outputs[j]->Runner();
            if (!kept[j] && runner.Definition() == outputs[i] && runner.CodePage() == codePage) {
                kept[j] = true;
                keep[i] = j;
                break;
            }
        }
        if (keep[i] != SIZE_MAX) continue;
        std::unique_ptr<COutputRunner> runner = MakeOutputRunner(outputs[i], codePage, *m_notices);
        if (runner && runner->Start()) started[i] = std::make_unique<Output>(std::move(runner));
    }
    std::vector<std::unique_ptr<Output>> next;
    next.reserve(outputs.size());
    std::vector<std::unique_ptr<Output>> old;
    {
        CSingleLock guard(&m_lock, true);
        for (size_t i = 0; i < outputs.size(); ++i) {
            if (keep[i] != SIZE_MAX)
                next.push_back(std::move(m_outputs[keep[i]]));
            else if (started[i])
                next.push_back(std::move(started[i]));
        }
        // The kept runners leave nulls behind in old.
        old.swap(m_outputs);
        m_outputs.swap(next);
    }
    // Those no longer wanted: all asked at once, so that stopping takes as long as the slowest.
    for (auto& o : old)
        if (o) o->Runner().RequestStop();
    old.clear();
    m_notices->Changed();
}

void CLaneOutputs::Stop()
{
    CSingleLock configuring(&m_configure, true);
    std::vector<std::unique_ptr<Output>> old;
    {
        CSingleLock guard(&m_lock, true);
        old.swap(m_outputs);
    }
    for (auto& o : old) o->Runner().RequestStop();
    old.clear();
    if (m_notices) m_notices->Changed();
}

void CLaneOutputs::Captured(const char* data, size_t size)
{
    CSingleLock guard(&m_lock, true);
    for (auto& o : m_outputs) o->Runner().Captured(data, size);
}

std::vector<OutputState> CLaneOutputs::States() const
{
    CSingleLock guard(&m_lock, true);
    std::vector<OutputState> states;
    for (const auto& o : m_outputs) states.push_back(o->Runner().State());
    return states;
}

std::vector<OutputEvent> CLaneOutputs::TakeEvents()
{
    return m_notices->Take();
}

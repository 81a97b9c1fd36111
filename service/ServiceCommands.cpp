#include "service/ServiceCommands.h"

namespace {
// A window cannot ask faster than the captures start and stop; more waiting is a client gone wrong.
const size_t kMaxWaiting = 16;
} // namespace

CServiceCommands::CServiceCommands(int captures)
    : m_captures(captures), m_event(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
}

bool CServiceCommands::Queue(Command command)
{
    if (command.captureId < 0 || command.captureId >= m_captures) return false;
    {
        CSingleLock guard(&m_lock, true);
        if (m_commands.size() >= kMaxWaiting) return false;
        m_commands.push_back(std::move(command));
    }
    ::SetEvent(m_event);
    return true;
}

bool CServiceCommands::Run(int captureId, const CollectorSettings& settings, const Requester& who)
{
    return Queue(Command{Command::Kind::Run, captureId, settings, who});
}

bool CServiceCommands::Stop(int captureId, const Requester& who)
{
    return Queue(Command{Command::Kind::Stop, captureId, CollectorSettings(), who});
}

bool CServiceCommands::Save(int captureId, const CollectorSettings& settings, const Requester& who)
{
    return Queue(Command{Command::Kind::Save, captureId, settings, who});
}

std::vector<CServiceCommands::Command> CServiceCommands::Take()
{
    CSingleLock guard(&m_lock, true);
    std::vector<Command> taken(m_commands.begin(), m_commands.end());
    m_commands.clear();
    return taken;
}

std::vector<channel::ChannelState> CServiceCommands::States() const
{
    CSingleLock guard(&m_lock, true);
    return m_states;
}

void CServiceCommands::SetStates(std::vector<channel::ChannelState> states)
{
    CSingleLock guard(&m_lock, true);
    m_states = std::move(states);
}

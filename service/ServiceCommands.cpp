#include "service/ServiceCommands.h"

namespace {
// A window cannot ask faster than the captures start and stop; more waiting is a client gone wrong.
const size_t kMaxWaiting = 16;
} // namespace

CServiceCommands::CServiceCommands() : m_event(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
}

ControlRefusal CServiceCommands::Queue(Command command)
{
    if (command.captureId < 1 || command.captureId > channel::kMaxLanes) return channel::Refusal::UnknownCapture;
    {
        CSingleLock guard(&m_lock, true);
        if (m_commands.size() >= kMaxWaiting) return channel::Refusal::NotAccepted;
        m_commands.push_back(std::move(command));
    }
    ::SetEvent(m_event);
    return std::nullopt;
}

bool CServiceCommands::PortTaken(int lane, int port) const
{
    CSingleLock guard(&m_lock, true);
    for (const channel::ChannelState& state : m_states)
        if (state.captureId != lane && state.settings.commPort == port) return true;
    return false;
}

ControlRefusal CServiceCommands::Run(int captureId, const CollectorSettings& settings, const Requester& who)
{
    if (PortTaken(captureId, settings.commPort)) return channel::Refusal::PortInUse;
    return Queue(Command{Command::Kind::Run, captureId, settings, who});
}

ControlRefusal CServiceCommands::Stop(int captureId, const Requester& who)
{
    return Queue(Command{Command::Kind::Stop, captureId, CollectorSettings(), who});
}

ControlRefusal CServiceCommands::Save(int captureId, const CollectorSettings& settings, const Requester& who)
{
    if (PortTaken(captureId, settings.commPort)) return channel::Refusal::PortInUse;
    return Queue(Command{Command::Kind::Save, captureId, settings, who});
}

ControlRefusal CServiceCommands::AddLane(int lane, const CollectorSettings& settings, const Requester& who)
{
    if (lane < 2 || lane > channel::kMaxLanes) return channel::Refusal::NoSuchLane;
    if (PortTaken(lane, settings.commPort)) return channel::Refusal::PortInUse;
    return Queue(Command{Command::Kind::AddLane, lane, settings, who});
}

ControlRefusal CServiceCommands::RemoveLane(int lane, const Requester& who)
{
    // Lane 1 is the service's own key: it can be stopped, not removed.
    if (lane == 1) return channel::Refusal::NoSuchLane;
    return Queue(Command{Command::Kind::RemoveLane, lane, CollectorSettings(), who});
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

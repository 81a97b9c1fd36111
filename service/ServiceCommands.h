#pragma once
// CServiceCommands: the windows' requests, as the control channel hands them over, queued for
// the service's own thread. The channel's thread serves every window and must never wait for
// a capture to stop; the service's thread may.
#include <windows.h>

#include <deque>
#include <vector>

#include "platform/Handle.h"
#include "platform/Sync.h"
#include "channel/CaptureControl.h"

class CServiceCommands : public ICaptureControl {
public:
    struct Command {
        enum class Kind { Run, Stop, Save, AddLane, RemoveLane };
        Kind kind = Kind::Stop;
        int captureId = 0;
        CollectorSettings settings;
        Requester who;
    };

    CServiceCommands();
    CServiceCommands(const CServiceCommands&) = delete;
    CServiceCommands& operator=(const CServiceCommands&) = delete;

    ControlRefusal Run(int lane, const CollectorSettings& settings, const Requester& who) override;
    ControlRefusal Stop(int lane, const Requester& who) override;
    ControlRefusal Save(int lane, const CollectorSettings& settings, const Requester& who) override;
    // Run, Save and AddLane are refused at once with PortInUse when another lane has the port,
    // as the states last published say; the service checks again when it acts.
    ControlRefusal AddLane(int lane, const CollectorSettings& settings, const Requester& who) override;
    ControlRefusal RemoveLane(int lane, const Requester& who) override;
    std::vector<channel::ChannelState> States() const override;

    // Set while commands wait.
    HANDLE Event() const { return m_event; }
    std::vector<Command> Take();
    // What States answers, kept current by the service's thread.
    void SetStates(std::vector<channel::ChannelState> states);

private:
    ControlRefusal Queue(Command command);
    bool PortTaken(int lane, int port) const;

    CHandle m_event;
    mutable CCriticalSection m_lock;
    std::deque<Command> m_commands;
    std::vector<channel::ChannelState> m_states;
};

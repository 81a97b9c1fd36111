#pragma once
// ICaptureControl: what the control channel asks of the service that runs the lanes' captures.
#include <optional>
#include <vector>

#include "channel/Protocol.h"
#include "capture/Requester.h"

// Why a request was not taken; empty when it was.
using ControlRefusal = std::optional<channel::Refusal>;

class ICaptureControl {
public:
    virtual ~ICaptureControl() = default;

    // Called on the channel's one thread, which serves every window: start or stop and return
    // at once, without waiting for the capture thread. A refusal is told to the window. The
    // channel passes Run, Stop, Save and RemoveLane only for lanes that States() lists, and
    // AddLane only for a number from 1 to 16 that it does not list.
    virtual ControlRefusal Run(int lane, const CollectorSettings& settings, const Requester& who) = 0;
    virtual ControlRefusal Stop(int lane, const Requester& who) = 0;
    // A change of the settings without a Run (the "Run Collector At Startup" box).
    virtual ControlRefusal Save(int lane, const CollectorSettings& settings, const Requester& who) = 0;
    // A new lane with these settings, not running yet; the lane's capture ends and it goes.
    virtual ControlRefusal AddLane(int lane, const CollectorSettings& settings, const Requester& who) = 0;
    virtual ControlRefusal RemoveLane(int lane, const Requester& who) = 0;
    // Every lane's current state, in rising order of lane. Update it before broadcasting a change,
    // so that a window connecting meanwhile gets the change one way or the other.
    virtual std::vector<channel::ChannelState> States() const = 0;
};

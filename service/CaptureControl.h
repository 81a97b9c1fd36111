#pragma once
// ICaptureControl: what the control channel asks of the service that runs the captures.
#include <vector>

#include "service/Protocol.h"
#include "service/Requester.h"

class ICaptureControl {
public:
    virtual ~ICaptureControl() = default;

    // Called on the channel's one thread, which serves every window: start or stop and return
    // at once, without waiting for the capture thread. False refuses the request (the window is
    // told). The channel passes only numbers that States() lists.
    virtual bool Run(int captureId, const CollectorSettings& settings, const Requester& who) = 0;
    virtual bool Stop(int captureId, const Requester& who) = 0;
    // A change of the settings without a Run (the "Run Collector At Startup" box).
    virtual bool Save(int captureId, const CollectorSettings& settings, const Requester& who) = 0;
    // Every capture's current state, numbered from 0. Update it before broadcasting a change,
    // so that a window connecting meanwhile gets the change one way or the other.
    virtual std::vector<channel::ChannelState> States() const = 0;
};

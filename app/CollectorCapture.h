#pragma once
// ICollectorCapture: the capture as the window drives it. One is chosen when the program starts:
// the window's own capture (no service, one port) or the service's lanes over the control
// channel. The window asks it what differs instead of asking which one it is.
#include <windows.h>

#include <vector>

#include "capture/CaptureTypes.h"
#include "channel/Protocol.h"
#include "platform/String.h"
#include "settings/SettingsStore.h"

// One lane as the window shows it: its number (1 to 16), state and settings.
struct LaneState {
    int lane = 1;
    CaptureStatus status;
    CollectorSettings settings;
    // The network outputs it runs (the service's lanes only).
    std::vector<channel::OutputView> outputs;
};

class ICollectorCapture {
public:
    virtual ~ICollectorCapture() = default;

    // Begins to follow the capture; the window is told (message, no parameters) of every change.
    virtual bool Start(HWND window, UINT message) = 0;
    // The window goes: a capture of the window's own ends (why names the reason for the log); the
    // service's goes on without it.
    virtual void Close(const char* why) = 0;
    // Takes in the capture's news; called on every notice before anything is read.
    virtual void Refresh() = 0;

    // The capture goes on without the window: closing the window only hides it in the tray.
    virtual bool ClosingHides() const = 0;
    // The window keeps the settings (loads them, saves them at close, starts "at startup");
    // otherwise the capture keeps them and the window shows its lanes' settings.
    virtual bool WindowKeepsSettings() const = 0;
    // Lanes can be added and removed.
    virtual bool HasLanes() const = 0;

    // False while the service cannot be reached.
    virtual bool Connected() const = 0;
    // Whether this window's Run, Stop and changes are taken, and the account the service sees.
    virtual bool MayControl() const = 0;
    virtual CString Account() const = 0;
    // The service told its windows to go.
    virtual bool Dismissed() const = 0;
    // The lanes there are, in rising order; empty while not connected.
    virtual std::vector<LaneState> Lanes() const = 0;
    // Messages for the user, every lane's, oldest first; and refusals in words for the user.
    virtual std::vector<CaptureMessage> TakeMessages() = 0;
    virtual std::vector<CString> TakeRefusals() = 0;

    // False when the request could not be made (the service cannot be reached).
    virtual bool Run(int lane, const CollectorSettings& settings) = 0;
    virtual bool Stop(int lane, const char* why) = 0;
    // A change of the settings without a Run ("Run Collector At Startup").
    virtual bool Save(int lane, const CollectorSettings& settings) = 0;
    // A new lane with these settings, not running; the lane's capture ends and it goes.
    virtual bool AddLane(int lane, const CollectorSettings& settings) = 0;
    virtual bool RemoveLane(int lane) = 0;
};

// A lane's state by number; null when there is no such lane.
const LaneState* FindLane(const std::vector<LaneState>& lanes, int lane);

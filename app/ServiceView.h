#pragma once
// CServiceView: the service's capture as one session's window sees it, over the control
// channel. The window is told of every change by a posted message and never waits on the pipe.
#include <windows.h>

#include <memory>
#include <vector>

#include "capture/CaptureWorker.h"
#include "channel/PipeClient.h"
#include "settings/SettingsStore.h"

class CServiceView {
public:
    CServiceView() = default;
    CServiceView(const CServiceView&) = delete;
    CServiceView& operator=(const CServiceView&) = delete;

    // Connects, and keeps connecting while the service is away; the window hears of every change.
    // expected null: the collector service is the server to believe.
    bool Start(HWND window, UINT message, const char* pipeName = nullptr,
               ExpectedServerSource expected = ExpectedServerSource());
    void Stop();

    // False while the service cannot be reached.
    bool Connected() const;
    // The capture's state; meaningful only while connected.
    CaptureStatus Status() const;
    // The settings the service's capture runs with; meaningful only while connected.
    CollectorSettings Settings() const;
    // A capture runs or waits for its port or file.
    bool Running() const;
    // Whether the service takes this window's Run, Stop and settings, and the account it sees.
    bool MayControl() const;
    CString Account() const;
    // The service told its windows to go.
    bool Dismissed() const;
    std::vector<CaptureMessage> TakeMessages();
    // The service's refusals of this window's requests, in words for the user.
    std::vector<CString> TakeRefusals();

    // Ask the service; false when it cannot be reached.
    bool Run(const CollectorSettings& settings);
    bool StopCapture();
    bool Save(const CollectorSettings& settings);

private:
    const channel::ChannelState* Find(const std::vector<channel::ChannelState>& states) const;

    std::unique_ptr<CPipeClient> m_client;
};

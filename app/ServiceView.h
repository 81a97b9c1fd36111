#pragma once
// CServiceView: the service's capture as one session's window sees it, over the control
// channel. The window is told of every change by a posted message and never waits on the pipe.
#include <windows.h>

#include <memory>
#include <vector>

#include "capture/CaptureWorker.h"
#include "service/PipeClient.h"
#include "settings/SettingsStore.h"

class CServiceView {
public:
    CServiceView() = default;
    CServiceView(const CServiceView&) = delete;
    CServiceView& operator=(const CServiceView&) = delete;

    // Connects, and keeps connecting while the service is away; the window hears of every change.
    bool Start(HWND window, UINT message, const char* pipeName = nullptr);
    void Stop();

    // False while the service cannot be reached.
    bool Connected() const;
    // The capture's state; meaningful only while connected.
    CaptureStatus Status() const;
    // A capture runs or waits for its port or file.
    bool Running() const;
    std::vector<CaptureMessage> TakeMessages();

    // Ask the service; false when it cannot be reached.
    bool Run(const CollectorSettings& settings);
    bool StopCapture();

private:
    std::unique_ptr<CPipeClient> m_client;
};

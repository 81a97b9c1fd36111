#pragma once
// CServiceView: the service's lanes as one session's window sees and drives them, over the
// control channel. The window is told of every change by a posted message and never waits on
// the pipe.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/CollectorCapture.h"
#include "channel/PipeClient.h"
#include "settings/SettingsStore.h"

class CServiceView : public ICollectorCapture {
public:
    // pipeName null: the service's channel; expected null: the collector service is the server
    // to believe. Tests serve the channel themselves.
    explicit CServiceView(const char* pipeName = nullptr, ExpectedServerSource expected = ExpectedServerSource());
    ~CServiceView() override;
    CServiceView(const CServiceView&) = delete;
    CServiceView& operator=(const CServiceView&) = delete;

    // Connects, and keeps connecting while the service is away.
    bool Start(HWND window, UINT message) override;
    // Disconnects; the service's capture goes on.
    void Close(const char* why) override;
    void Refresh() override {}
    bool ClosingHides() const override { return true; }
    bool WindowKeepsSettings() const override { return false; }
    bool HasLanes() const override { return true; }

    bool Connected() const override;
    bool MayControl() const override;
    CString Account() const override;
    bool Dismissed() const override;
    std::vector<LaneState> Lanes() const override;
    std::vector<CaptureMessage> TakeMessages() override;
    std::vector<CString> TakeRefusals() override;

    bool Run(int lane, const CollectorSettings& settings) override;
    bool Stop(int lane, const char* why) override;
    bool Save(int lane, const CollectorSettings& settings) override;
    bool AddLane(int lane, const CollectorSettings& settings) override;
    bool RemoveLane(int lane) override;

private:
    std::string m_pipeName;
    ExpectedServerSource m_expected;
    std::unique_ptr<CPipeClient> m_client;
};

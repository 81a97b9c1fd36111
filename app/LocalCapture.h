#pragma once
// CLocalCapture: the capture of a window without the service (the portable zip): one lane, one
// capture worker of its own, ended with the window.
#include <memory>
#include <vector>

#include "app/CollectorCapture.h"
#include "capture/CaptureWorker.h"

class CLocalCapture : public ICollectorCapture {
public:
    CLocalCapture() = default;
    ~CLocalCapture() override;
    CLocalCapture(const CLocalCapture&) = delete;
    CLocalCapture& operator=(const CLocalCapture&) = delete;

    bool Start(HWND window, UINT message) override;
    void Close(const char* why) override;
    void Refresh() override;
    bool ClosingHides() const override { return false; }
    bool WindowKeepsSettings() const override { return true; }
    bool HasLanes() const override { return false; }
    bool Connected() const override { return true; }
    bool MayControl() const override { return true; }
    CString Account() const override { return CString(); }
    bool Dismissed() const override { return false; }
    std::vector<LaneState> Lanes() const override;
    std::vector<CaptureMessage> TakeMessages() override;
    std::vector<CString> TakeRefusals() override { return {}; }
    bool Run(int lane, const CollectorSettings& settings) override;
    bool Stop(int lane, const char* why) override;
    // The window saves the settings when it closes: nothing to do now.
    bool Save(int, const CollectorSettings&) override { return true; }
    bool AddLane(int, const CollectorSettings&) override { return false; }
    bool RemoveLane(int) override { return false; }

private:
    // Stops the worker, keeping how it ended and its last messages: a Stop while bytes wait for
    // the file can cost them, and that is said, not dropped.
    void StopWorker(const char* why);

    HWND m_window = nullptr;
    UINT m_message = 0;
    std::unique_ptr<CCaptureWorker> m_worker;
    CollectorSettings m_settings;
    // The status of the last capture once its worker is gone.
    CaptureStatus m_last;
    std::vector<CaptureMessage> m_messages;
};

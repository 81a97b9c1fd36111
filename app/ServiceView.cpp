#include "app/ServiceView.h"

namespace {
// The one capture a service runs today.
const int kCapture = 0;
} // namespace

bool CServiceView::Start(HWND window, UINT message, const char* pipeName)
{
    m_client = std::make_unique<CPipeClient>(pipeName ? pipeName : channel::kPipeName);
    m_client->SetNotifyWindow(window, message);
    return m_client->Start();
}

void CServiceView::Stop()
{
    if (m_client) m_client->Stop();
    m_client.reset();
}

bool CServiceView::Connected() const { return m_client && m_client->IsConnected(); }

CaptureStatus CServiceView::Status() const
{
    CaptureStatus status;
    status.state = CaptureState::Ended;
    if (!m_client) return status;
    for (const channel::ChannelState& state : m_client->States())
        if (state.captureId == kCapture) status = state.status;
    return status;
}

bool CServiceView::Running() const { return Connected() && Status().state != CaptureState::Ended; }

std::vector<CaptureMessage> CServiceView::TakeMessages()
{
    std::vector<CaptureMessage> messages;
    if (!m_client) return messages;
    for (channel::UserMessage& m : m_client->TakeMessages())
        if (m.captureId == kCapture) messages.push_back(std::move(m.message));
    // A refusal is the service's answer to this window alone; it needs no box of its own, as
    // the state that follows shows what runs.
    m_client->TakeRefusals();
    return messages;
}

bool CServiceView::Run(const CollectorSettings& settings) { return m_client && m_client->Run(kCapture, settings); }

bool CServiceView::StopCapture() { return m_client && m_client->StopCapture(kCapture); }

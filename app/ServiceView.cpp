#include "app/ServiceView.h"

namespace {
// Lane 1: the capture a window shows until it picks another lane.
const int kCapture = 1;

CString RefusalText(channel::Refusal reason)
{
    switch (reason) {
    case channel::Refusal::NotAllowed:
        return "The service did not take the request: only administrators and the operators named for this PC "
               "can start, stop or change the capture.";
    case channel::Refusal::NotAccepted:
        return "The service did not take the request: it is busy or stopping.  Try again in a moment.";
    case channel::Refusal::UnknownCapture:
        return "The service did not take the request: it runs no such capture.";
    case channel::Refusal::PortInUse:
        return "The service did not take the request: another lane captures that COM port already.  Each lane "
               "needs a port of its own.";
    case channel::Refusal::NoSuchLane:
        return "The service did not take the request: there is no such lane, or no room for another (at most 16).";
    case channel::Refusal::UnsupportedVersion:
        return "The service did not take the request: it is of another version than this window.  Close the "
               "window and start Orvane POS Collector again.";
    }
    return "The service did not take the request.";
}
} // namespace

bool CServiceView::Start(HWND window, UINT message, const char* pipeName, ExpectedServerSource expected)
{
    m_client = std::make_unique<CPipeClient>(pipeName ? pipeName : channel::kPipeName);
    if (expected) m_client->SetExpectedServer(std::move(expected));
    m_client->SetNotifyWindow(window, message);
    return m_client->Start();
}

void CServiceView::Stop()
{
    if (m_client) m_client->Stop();
    m_client.reset();
}

bool CServiceView::Connected() const { return m_client && m_client->IsConnected(); }

const channel::ChannelState* CServiceView::Find(const std::vector<channel::ChannelState>& states) const
{
    for (const channel::ChannelState& state : states)
        if (state.captureId == kCapture) return &state;
    return nullptr;
}

CaptureStatus CServiceView::Status() const
{
    CaptureStatus status;
    status.state = CaptureState::Ended;
    if (!m_client) return status;
    const std::vector<channel::ChannelState> states = m_client->States();
    const channel::ChannelState* state = Find(states);
    return state ? state->status : status;
}

CollectorSettings CServiceView::Settings() const
{
    if (!m_client) return CollectorSettings();
    const std::vector<channel::ChannelState> states = m_client->States();
    const channel::ChannelState* state = Find(states);
    return state ? state->settings : CollectorSettings();
}

bool CServiceView::Running() const { return Connected() && Status().state != CaptureState::Ended; }

bool CServiceView::MayControl() const { return m_client && m_client->MayControl(); }

CString CServiceView::Account() const { return m_client ? m_client->Account() : CString(); }

bool CServiceView::Dismissed() const { return m_client && m_client->Dismissed(); }

std::vector<CaptureMessage> CServiceView::TakeMessages()
{
    std::vector<CaptureMessage> messages;
    if (!m_client) return messages;
    for (channel::UserMessage& m : m_client->TakeMessages())
        if (m.captureId == kCapture) messages.push_back(std::move(m.message));
    return messages;
}

std::vector<CString> CServiceView::TakeRefusals()
{
    std::vector<CString> texts;
    if (!m_client) return texts;
    for (const channel::Refused& r : m_client->TakeRefusals()) texts.push_back(RefusalText(r.reason));
    return texts;
}

bool CServiceView::Run(const CollectorSettings& settings) { return m_client && m_client->Run(kCapture, settings); }

bool CServiceView::StopCapture() { return m_client && m_client->StopCapture(kCapture); }

bool CServiceView::Save(const CollectorSettings& settings) { return m_client && m_client->Save(kCapture, settings); }

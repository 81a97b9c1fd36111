#include "app/ServiceView.h"

namespace {

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

CServiceView::CServiceView(const char* pipeName, ExpectedServerSource expected)
    : m_pipeName(pipeName ? pipeName : channel::kPipeName), m_expected(std::move(expected))
{
}

CServiceView::~CServiceView() { Close(nullptr); }

bool CServiceView::Start(HWND window, UINT message)
{
    m_client = std::make_unique<CPipeClient>(m_pipeName);
    if (m_expected) m_client->SetExpectedServer(m_expected);
    m_client->SetNotifyWindow(window, message);
    return m_client->Start();
}

void CServiceView::Close(const char*)
{
    if (m_client) m_client->Stop();
    m_client.reset();
}

bool CServiceView::Connected() const { return m_client && m_client->IsConnected(); }

std::vector<LaneState> CServiceView::Lanes() const
{
    std::vector<LaneState> lanes;
    if (!m_client) return lanes;
    for (const channel::ChannelState& state : m_client->States())
        lanes.push_back(LaneState{state.captureId, state.status, state.settings, state.outputs});
    return lanes;
}

bool CServiceView::MayControl() const { return m_client && m_client->MayControl(); }

CString CServiceView::Account() const { return m_client ? m_client->Account() : CString(); }

bool CServiceView::Dismissed() const { return m_client && m_client->Dismissed(); }

std::vector<CaptureMessage> CServiceView::TakeMessages()
{
    std::vector<CaptureMessage> messages;
    if (!m_client) return messages;
    // Every lane's: its texts name the lane and its port.
    for (channel::UserMessage& m : m_client->TakeMessages()) messages.push_back(std::move(m.message));
    return messages;
}

std::vector<CString> CServiceView::TakeRefusals()
{
    std::vector<CString> texts;
    if (!m_client) return texts;
    for (const channel::Refused& r : m_client->TakeRefusals()) texts.push_back(RefusalText(r.reason));
    return texts;
}

bool CServiceView::Run(int lane, const CollectorSettings& settings) { return m_client && m_client->Run(lane, settings); }

bool CServiceView::Stop(int lane, const char*) { return m_client && m_client->StopCapture(lane); }

bool CServiceView::Save(int lane, const CollectorSettings& settings) { return m_client && m_client->Save(lane, settings); }

bool CServiceView::AddLane(int lane, const CollectorSettings& settings)
{
    return m_client && m_client->AddLane(lane, settings);
}

bool CServiceView::RemoveLane(int lane) { return m_client && m_client->RemoveLane(lane); }

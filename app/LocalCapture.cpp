#include "app/LocalCapture.h"

#include "capture/CaptureRequest.h"

const LaneState* FindLane(const std::vector<LaneState>& lanes, int lane)
{
    for (const LaneState& state : lanes)
        if (state.lane == lane) return &state;
    return nullptr;
}

CLocalCapture::~CLocalCapture() { StopWorker("stopped"); }

bool CLocalCapture::Start(HWND window, UINT message)
{
    m_window = window;
    m_message = message;
    m_last.state = CaptureState::Ended;
    return true;
}

void CLocalCapture::Close(const char* why) { StopWorker(why); }

void CLocalCapture::Refresh()
{
    // Ended for good on its own: the window must not claim a capture any more.
    if (m_worker && m_worker->GetStatus().state == CaptureState::Ended) StopWorker("stopped");
}

std::vector<LaneState> CLocalCapture::Lanes() const
{
    LaneState lane;
    lane.status = m_worker ? m_worker->GetStatus() : m_last;
    lane.settings = m_settings;
    return {lane};
}

std::vector<CaptureMessage> CLocalCapture::TakeMessages()
{
    std::vector<CaptureMessage> messages;
    messages.swap(m_messages);
    if (m_worker)
        for (CaptureMessage& message : m_worker->TakeMessages()) messages.push_back(std::move(message));
    return messages;
}

bool CLocalCapture::Run(int, const CollectorSettings& settings)
{
    StopWorker("a new capture was started");
    m_settings = settings;
    m_worker = std::make_unique<CCaptureWorker>();
    m_worker->SetNotifyWindow(m_window, m_message);
    m_worker->Start(MakeCaptureRequest(settings, ThisProcess("a window")));
    return true;
}

bool CLocalCapture::Stop(int, const char* why)
{
    // A Stop after a capture ended on its own clears its reason: the user has seen it.
    if (!m_worker) m_last.end = CaptureEnd::None;
    StopWorker(why);
    return true;
}

void CLocalCapture::StopWorker(const char* why)
{
    // Out of m_worker first, so that nothing reached from here can stop it twice.
    std::unique_ptr<CCaptureWorker> worker(std::move(m_worker));
    if (!worker) return;
    worker->StopBecause(why);
    for (CaptureMessage& message : worker->TakeMessages()) m_messages.push_back(std::move(message));
    m_last = worker->GetStatus();
    m_last.state = CaptureState::Ended;
}

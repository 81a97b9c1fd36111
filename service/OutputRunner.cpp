#include "service/OutputRunner.h"

#include <process.h>

#include <algorithm>

COutputRunner::COutputRunner(const OutputDefinition& definition, unsigned codePage, COutputNotices& notices)
    : m_definition(definition), m_codePage(codePage), m_notices(notices), m_inbox(CLaneOutputs::kRecorderBuffer),
      m_text(codePage)
{
    m_batch.reserve(CLaneOutputs::kRecorderBuffer);
    m_ends.reserve(COutputInbox::kMaxPieces);
    m_state.name = definition.name;
    m_state.link = definition.kind == OutputKind::Listen ? OutputState::Link::Listening : OutputState::Link::Connecting;
}

COutputRunner::~COutputRunner()
{
    // The kind's part is gone by now: its owner stopped the thread first.
}

bool COutputRunner::Start()
{
    if (!m_stop.IsValid() || !m_wake.IsValid()) return false;
    // Nothing a kind begins with blocks (sockets are non-blocking, names are looked up on a
    // thread of their own), so it is done here: the state is true from the start.
    Begin(Now());
    Publish();
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, &COutputRunner::ThreadProc, this, 0, &id);
    if (thread == 0) return false;
    m_thread.Attach(reinterpret_cast<HANDLE>(thread));
    return true;
}

void COutputRunner::RequestStop()
{
    if (m_stop.IsValid()) ::SetEvent(m_stop);
}

void COutputRunner::Join()
{
    RequestStop();
    if (m_thread.IsValid()) ::WaitForSingleObject(m_thread, INFINITE);
    m_thread.Close();
}

void COutputRunner::Captured(const char* data, size_t size)
{
    m_inbox.Put(data, size);
    ::SetEvent(m_wake);
}

OutputState COutputRunner::State() const
{
    CSingleLock guard(&m_stateLock, true);
    return m_state;
}

void COutputRunner::Say(OutputEvent event, const std::string& peer)
{
    event.output = m_definition.name;
    event.peer = peer;
    m_notices.Say(event);
}

unsigned long long COutputRunner::Now()
{
    return ::GetTickCount64();
}

unsigned __stdcall COutputRunner::ThreadProc(void* param)
{
    static_cast<COutputRunner*>(param)->Run();
    return 0;
}

void COutputRunner::Run()
{
    std::vector<HANDLE> handles;
    std::vector<HANDLE> kind;
    for (;;) {
        const DWORD waitMs = Tick(Now());
        // A timer may have changed the state (a port had at last, a try begun).
        Publish();
        handles.assign({m_stop.Get(), m_wake.Get()});
        Handles(handles);
        const DWORD count = static_cast<DWORD>(std::min<size_t>(handles.size(), MAXIMUM_WAIT_OBJECTS));
        const DWORD r = ::WaitForMultipleObjects(count, handles.data(), FALSE, waitMs);
        if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) break;
        // Whatever woke us, every source is looked at: a steady stream of bytes must not
        // starve a recorder's close or a new connection.
        const unsigned long long now = Now();
        Drain(now);
        kind.clear();
        Handles(kind);
        // From the last: serving one may remove it, never one before it.
        for (size_t i = kind.size(); i-- > 0;)
            if (::WaitForSingleObject(kind[i], 0) == WAIT_OBJECT_0) Signalled(i, now);
    }
    End();
    Publish();
}

void COutputRunner::Drain(unsigned long long now)
{
    const size_t lost = m_inbox.Take(m_batch, m_ends);
    if (lost) Lost(lost);
    if (m_batch.empty()) {
        Deliver(m_batch, m_ends, now); // nothing new: what waits for a recorder may go now
        return;
    }
    if (!m_definition.text) {
        Deliver(m_batch, m_ends, now);
        return;
    }
    m_text.Feed(m_batch.data(), m_batch.size());
    const std::string text = WholeLines() ? m_text.TakeLines() : m_text.TakeAll();
    m_ends.clear();
    Deliver(text, m_ends, now);
}

void COutputRunner::Publish()
{
    OutputState now;
    now.name = m_definition.name;
    Report(now);
    bool changed = false;
    {
        CSingleLock guard(&m_stateLock, true);
        changed = now.link != m_state.link || now.peers != m_state.peers;
        m_state = now;
    }
    // Counts change with every byte: only a new link or peer is worth a look.
    if (changed) m_notices.Changed();
}

std::unique_ptr<COutputRunner> MakeOutputRunner(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices)
{
    switch (definition.kind) {
    case OutputKind::Listen:
        return MakeListenOutput(definition, codePage, notices);
    case OutputKind::Connect:
        return MakeConnectOutput(definition, codePage, notices);
    case OutputKind::Udp:
        return MakeUdpOutput(definition, codePage, notices);
    }
    return nullptr;
}

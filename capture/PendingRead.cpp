#include "capture/PendingRead.h"

#include <new>

#include "serial/SerialException.h"

std::unique_ptr<CPendingRead> CPendingRead::Create()
{
    std::unique_ptr<CPendingRead> read(new (std::nothrow) CPendingRead);
    if (!read) return nullptr;
    // Manual-reset: a completion seen by one wait stays seen until the next read starts.
    read->m_event.Attach(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!read->m_event.IsValid()) return nullptr;
    return read;
}

CPendingRead::Result CPendingRead::Completed(unsigned count)
{
    m_pending = false;
    m_count = count;
    m_error = 0;
    return Result::Done;
}

CPendingRead::Result CPendingRead::Failed(DWORD error)
{
    m_pending = false;
    m_count = 0;
    m_error = error;
    return Result::Failed;
}

CPendingRead::Result CPendingRead::Issue(ISerialDevice& port, unsigned size)
{
    // ReadFile resets the event as the read begins.
    ZeroMemory(&m_ov, sizeof m_ov);
    m_ov.hEvent = m_event.Get();
    m_issuedAt = ::GetTickCount();
    m_pending = true;
    unsigned count = 0;
    try {
        if (!port.Read(m_buffer, size < kBufferSize ? size : kBufferSize, &m_ov, &count)) return Result::Pending;
    } catch (CSerialException* e) {
        DWORD error = e->m_dwError;
        e->Delete();
        return Failed(error);
    }
    return Completed(count);
}

CPendingRead::Wait CPendingRead::WaitFor(HANDLE stop, DWORD untilTick) const
{
    const DWORD now = ::GetTickCount();
    const DWORD left = static_cast<LONG>(untilTick - now) > 0 ? untilTick - now : 0;
    HANDLE events[2] = {m_event.Get(), stop};
    DWORD waited = ::WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, left);
    if (waited == WAIT_OBJECT_0) return Wait::Completed;
    if (waited == WAIT_TIMEOUT) return Wait::TimedOut;
    // The stop event, or a wait that failed: either way, stop.
    return Wait::Stopped;
}

CPendingRead::Result CPendingRead::Finish(ISerialDevice& port)
{
    unsigned count = 0;
    try {
        if (!port.GetOverlappedResult(&m_ov, &count, false)) return Result::Pending;
    } catch (CSerialException* e) {
        DWORD error = e->m_dwError;
        e->Delete();
        return Failed(error);
    }
    return Completed(count);
}

bool CPendingRead::End(ISerialDevice& port, DWORD cancelEveryMs, DWORD giveUpMs)
{
    if (!m_pending) return true;
    const DWORD start = ::GetTickCount();
    bool ended = false;
    while (!ended) {
        try {
            port.CancelIo();
        } catch (CSerialException* e) {
            e->Delete();
        }
        // Wine lets a cancel slip past a read that is taking in bytes now and then: repeat it.
        ended = ::WaitForSingleObject(m_event, cancelEveryMs) == WAIT_OBJECT_0;
        if (!ended && ::GetTickCount() - start >= giveUpMs) break;
    }
    if (!ended) {
        port.Close();
        ended = ::WaitForSingleObject(m_event, cancelEveryMs) == WAIT_OBJECT_0;
        if (!ended) return false;
        // Whatever a read ended by a close reports is not to be trusted.
        m_pending = false;
        m_count = 0;
        return true;
    }
    // A read that succeeded before the cancel took hold keeps its bytes (Count()); one that
    // ended on the cancel lost them on Windows, where buffered I/O copies them only on success.
    Finish(port);
    m_pending = false;
    return true;
}

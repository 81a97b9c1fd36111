#include "service/OutputRecorder.h"

CRecorder::CRecorder(size_t capacity) : m_waiting(capacity) {}

bool CRecorder::Attach(CSocket socket, long events, int& error)
{
    if (!m_event.IsValid()) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    ::ResetEvent(m_event);
    // WSAEventSelect also makes the socket non-blocking.
    if (::WSAEventSelect(socket.Get(), m_event, events) != 0) {
        error = ::WSAGetLastError();
        return false;
    }
    // The system's own buffer for a recorder stays small: a recorder that stops reading then
    // leaves its backlog in m_waiting, where the newest bytes are kept and drops are counted,
    // instead of megabytes of stale bytes in a buffer the system grows by itself.
    int sendBuffer = static_cast<int>(kSystemBuffer);
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer), sizeof sendBuffer);
    BOOL noDelay = TRUE;
    ::setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    m_socket = std::move(socket);
    m_blocked = false;
    return true;
}

void CRecorder::Detach()
{
    m_socket.Close();
    m_blocked = false;
}

bool CRecorder::Queue(const char* data, size_t size, unsigned long long now)
{
    const size_t dropped = m_waiting.Put(data, size);
    if (dropped == 0) return false;
    m_dropped += dropped;
    const bool newSpell = !m_dropping || now - m_lastDropAt >= kDropSpellMs;
    m_dropping = true;
    m_lastDropAt = now;
    return newSpell;
}

bool CRecorder::Send(int& error)
{
    while (Connected() && !m_blocked && !m_waiting.Empty()) {
        size_t size = 0;
        const char* front = m_waiting.Front(size);
        const int chunk = size > 0x10000 ? 0x10000 : static_cast<int>(size);
        const int n = ::send(m_socket.Get(), front, chunk, 0);
        if (n == SOCKET_ERROR) {
            error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK) return false;
            m_blocked = true;
            break;
        }
        m_waiting.Pop(static_cast<size_t>(n));
        m_sent += static_cast<unsigned long long>(n);
    }
    return true;
}

bool CRecorder::Serve(int& error, bool& connected)
{
    connected = false;
    WSANETWORKEVENTS events = {};
    if (::WSAEnumNetworkEvents(m_socket.Get(), m_event, &events) != 0) {
        error = ::WSAGetLastError();
        return false;
    }
    if (events.lNetworkEvents & FD_CONNECT) {
        error = events.iErrorCode[FD_CONNECT_BIT];
        if (error != 0) return false;
        connected = true;
    }
    if (events.lNetworkEvents & FD_READ) {
        // A recorder has nothing to say to us: what it sends is read and let go.
        // Bounded, so that a recorder that floods us cannot hold the thread: FD_READ comes again.
        char discard[4096];
        for (int i = 0; i < 16 && ::recv(m_socket.Get(), discard, sizeof discard, 0) > 0; ++i) {
        }
    }
    if (events.lNetworkEvents & FD_WRITE) m_blocked = false;
    if (events.lNetworkEvents & FD_CLOSE) {
        error = events.iErrorCode[FD_CLOSE_BIT];
        return false;
    }
    return Send(error);
}

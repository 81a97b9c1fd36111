#pragma once
// CRecorder: one TCP recorder of an output: the bytes waiting for it (at most a fixed amount,
// the newest), and while connected its socket, fed as fast as it reads and never waited on.
#include "service/Winsock.h"

#include <string>

#include "platform/Handle.h"
#include "service/ByteRing.h"

class CRecorder {
public:
    // A recorder that falls behind again within this long of its last drop is still the same
    // slow spell: Dropping is said once for it.
    static const unsigned long long kDropSpellMs = 60000;
    // What the system may hold for a recorder besides the bytes waiting here.
    static const size_t kSystemBuffer = 64 * 1024;

    explicit CRecorder(size_t capacity);
    CRecorder(const CRecorder&) = delete;
    CRecorder& operator=(const CRecorder&) = delete;

    // A connected socket, or one connecting, to watch with Event(): made non-blocking, and
    // sent to without delay (no Nagle). False with the Winsock error when it cannot be watched.
    bool Attach(CSocket socket, long events, int& error);
    void Detach();
    bool Connected() const { return m_socket.IsValid(); }
    SOCKET Socket() const { return m_socket.Get(); }
    HANDLE Event() const { return m_event; }
    const std::string& Peer() const { return m_peer; }
    void SetPeer(const std::string& peer) { m_peer = peer; }

    // Queues bytes; true when this started a spell of drops (say Dropping).
    bool Queue(const char* data, size_t size, unsigned long long now);
    // Counts bytes lost before they reached the queue as this recorder's drops.
    void Lost(size_t size) { m_dropped += size; }
    // Sends what the socket takes now. False with the Winsock error when the connection failed.
    bool Send(int& error);
    // The socket's events: reads and drops what the recorder sends, sends when it may again.
    // False with the Winsock error (0: the recorder closed it) when the connection has ended;
    // connected is set when a connect finished.
    bool Serve(int& error, bool& connected);
    bool Blocked() const { return m_blocked; }

    unsigned long long Sent() const { return m_sent; }
    unsigned long long Dropped() const { return m_dropped; }

private:
    CSocket m_socket;
    CHandle m_event{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CByteRing m_waiting;
    std::string m_peer;
    bool m_blocked = false; // the last send would have blocked: FD_WRITE says when to go on
    bool m_dropping = false;
    unsigned long long m_lastDropAt = 0;
    unsigned long long m_sent = 0;
    unsigned long long m_dropped = 0;
};

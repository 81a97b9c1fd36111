// udp HOST:PORT: datagrams to the recorder. Raw: what each capture piece brought, cut at
// kDatagram bytes; text: whole lines, as many as fit a datagram. Nothing waits for a recorder
// that is away: what cannot be sent now is dropped and counted.
#include "service/OutputRunner.h"

#include <algorithm>

#include "service/Ipv4.h"

namespace {

// Drops within this long of the last are one spell: Dropping is said once for it.
const unsigned long long kDropSpellMs = 60000;

class CUdpOutput : public COutputRunner {
public:
    CUdpOutput(const OutputDefinition& definition, unsigned codePage, COutputNotices& notices)
        : COutputRunner(definition, codePage, notices), m_peer(definition.host + ":" + std::to_string(definition.port))
    {
    }

private:
    enum class Phase { Waiting, Resolving, Sending };

    void Begin(unsigned long long now) override { Try(now); }
    void Handles(std::vector<HANDLE>& handles) override
    {
        if (m_phase == Phase::Resolving) handles.push_back(m_lookup->Done());
    }
    void Signalled(size_t index, unsigned long long now) override;
    DWORD Tick(unsigned long long now) override;
    void Deliver(const std::string& bytes, const std::vector<size_t>& ends, unsigned long long now) override;
    void Lost(size_t size) override { m_dropped += size; }
    void Report(OutputState& state) const override;
    bool WholeLines() const override { return true; }
    void End() override
    {
        m_socket.Close();
        m_lookup.reset();
    }

    void Try(unsigned long long now);
    void Ready(uint32_t address, unsigned long long now);
    void Fail(OutputEvent::Kind kind, const std::string& why, unsigned long long now);
    // False when the network refused it (the output waits and tries again).
    bool Send(const char* data, size_t size, unsigned long long now);

    const std::string m_peer;
    CSocket m_socket;
    std::unique_ptr<CNameLookup> m_lookup;
    Phase m_phase = Phase::Waiting;
    sockaddr_in m_target = {};
    COutageWatch m_outage;
    CBackOff m_backOff;
    unsigned long long m_readyAt = 0;
    unsigned long long m_sent = 0;
    unsigned long long m_dropped = 0;
    unsigned long long m_lastDropAt = 0;
    bool m_dropping = false;
};

void CUdpOutput::Try(unsigned long long now)
{
    uint32_t address = 0;
    if (ParseIpv4(m_definition.host, address)) {
        Ready(address, now);
        return;
    }
    m_lookup = std::make_unique<CNameLookup>(m_definition.host);
    m_phase = Phase::Resolving;
}

void CUdpOutput::Ready(uint32_t address, unsigned long long now)
{
    m_target = Ipv4Endpoint(address, m_definition.port);
    CSocket s(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    u_long nonBlocking = 1;
    if (!s.IsValid() || ::ioctlsocket(s.Get(), FIONBIO, &nonBlocking) != 0) {
        Fail(OutputEvent::Kind::Lost, SocketErrorText(::WSAGetLastError()), now);
        return;
    }
    m_socket = std::move(s);
    m_phase = Phase::Sending;
    m_readyAt = now;
    OutputEvent event;
    if (m_outage.Up(now, m_dropped, event)) Say(event, m_peer);
}

void CUdpOutput::Fail(OutputEvent::Kind kind, const std::string& why, unsigned long long now)
{
    m_backOff.Failed(now, m_phase == Phase::Sending ? m_readyAt : 0);
    m_socket.Close();
    m_lookup.reset();
    m_phase = Phase::Waiting;
    OutputEvent event;
    if (m_outage.Down(now, m_dropped, kind, why, event)) Say(event, m_peer);
}

void CUdpOutput::Signalled(size_t, unsigned long long now)
{
    uint32_t address = 0;
    int error = 0;
    if (m_lookup->Result(address, error)) {
        m_lookup.reset();
        Ready(address, now);
    } else {
        Fail(OutputEvent::Kind::Unusable,
             "the name " + m_definition.host + " does not resolve: " + SocketErrorText(error), now);
    }
}

DWORD CUdpOutput::Tick(unsigned long long now)
{
    if (m_phase == Phase::Waiting && m_backOff.Due(now)) Try(now);
    return m_phase == Phase::Waiting ? m_backOff.Wait(now) : INFINITE;
}

bool CUdpOutput::Send(const char* data, size_t size, unsigned long long now)
{
    if (::sendto(m_socket.Get(), data, static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&m_target),
                 sizeof m_target) != SOCKET_ERROR) {
        m_sent += size;
        return true;
    }
    const int error = ::WSAGetLastError();
    m_dropped += size;
    if (error == WSAEWOULDBLOCK || error == WSAENOBUFS) {
        // The system's buffer is full for a moment: this datagram is lost, the output goes on.
        if (!m_dropping || now - m_lastDropAt >= kDropSpellMs) {
            OutputEvent event;
            event.kind = OutputEvent::Kind::Dropping;
            Say(event, m_peer);
        }
        m_dropping = true;
        m_lastDropAt = now;
        return true;
    }
    Fail(OutputEvent::Kind::Lost, SocketErrorText(error), now);
    return false;
}

void CUdpOutput::Deliver(const std::string& bytes, const std::vector<size_t>& ends, unsigned long long now)
{
    if (bytes.empty()) return;
    if (m_phase != Phase::Sending) {
        m_dropped += bytes.size();
        return;
    }
    const char* data = bytes.data();
    size_t at = 0;
    if (!m_definition.text) {
        // Each capture piece on its own, cut where it is longer than a datagram.
        for (size_t end : ends) {
            while (at < end) {
                const size_t size = std::min(kDatagram, end - at);
                if (!Send(data + at, size, now)) {
                    m_dropped += bytes.size() - at - size;
                    return;
                }
                at += size;
            }
        }
        return;
    }
    // Whole lines, as many as fit; a line longer than a datagram is cut.
    while (at < bytes.size()) {
        size_t end = at;
        for (;;) {
            const size_t next = bytes.find("\r\n", end);
            const size_t lineEnd = next == std::string::npos ? bytes.size() : next + 2;
            if (lineEnd - at > kDatagram) break;
            end = lineEnd;
            if (end == bytes.size()) break;
        }
        if (end == at) end = at + kDatagram;
        if (!Send(data + at, end - at, now)) {
            m_dropped += bytes.size() - end;
            return;
        }
        at = end;
    }
}

void CUdpOutput::Report(OutputState& state) const
{
    switch (m_phase) {
    case Phase::Waiting:
        state.link = OutputState::Link::Waiting;
        break;
    case Phase::Resolving:
        state.link = OutputState::Link::Connecting;
        break;
    case Phase::Sending:
        state.link = OutputState::Link::Connected;
        state.peers.push_back(EndpointText(m_target));
        break;
    }
    state.sent = m_sent;
    state.dropped = m_dropped;
}

} // namespace

std::unique_ptr<COutputRunner> MakeUdpOutput(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices)
{
    return std::make_unique<CUdpOutput>(definition, codePage, notices);
}

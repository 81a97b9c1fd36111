// connect HOST:PORT: the collector connects to the recorder, and again after any failure or
// close, waiting 1, 2, 4 ... 30 s between tries and 1 s again after a connection that lasted a
// clean minute. While it is away, the newest kRecorderBuffer bytes wait for it.
#include "service/OutputRunner.h"

#include <algorithm>

#include "service/Ipv4.h"
#include "service/OutputRecorder.h"

namespace {

// A recorder that has not answered a connect by then is tried again later.
const unsigned long long kConnectTimeoutMs = 5000;

class CConnectOutput : public COutputRunner {
public:
    CConnectOutput(const OutputDefinition& definition, unsigned codePage, COutputNotices& notices)
        : COutputRunner(definition, codePage, notices), m_recorder(CLaneOutputs::kRecorderBuffer),
          m_peer(definition.host + ":" + std::to_string(definition.port))
    {
    }

private:
    enum class Phase { Waiting, Resolving, Connecting, Connected };

    void Begin(unsigned long long now) override { Try(now); }
    void Handles(std::vector<HANDLE>& handles) override
    {
        if (m_phase == Phase::Resolving) handles.push_back(m_lookup->Done());
        if (m_phase == Phase::Connecting || m_phase == Phase::Connected) handles.push_back(m_recorder.Event());
    }
    void Signalled(size_t index, unsigned long long now) override;
    DWORD Tick(unsigned long long now) override;
    void Deliver(const std::string& bytes, const std::vector<size_t>& ends, unsigned long long now) override;
    void Lost(size_t size) override { m_recorder.Lost(size); }
    void Report(OutputState& state) const override;
    void End() override
    {
        m_recorder.Detach();
        m_lookup.reset();
    }

    void Try(unsigned long long now);
    void Connect(uint32_t address, unsigned long long now);
    void Connected(unsigned long long now);
    void Fail(OutputEvent::Kind kind, const std::string& why, unsigned long long now);

    CRecorder m_recorder;
    const std::string m_peer; // as the output names it
    std::unique_ptr<CNameLookup> m_lookup;
    Phase m_phase = Phase::Waiting;
    sockaddr_in m_target = {};
    COutageWatch m_outage;
    CBackOff m_backOff;
    unsigned long long m_deadline = 0;
    unsigned long long m_connectedAt = 0;
};

void CConnectOutput::Try(unsigned long long now)
{
    uint32_t address = 0;
    if (ParseIpv4(m_definition.host, address)) {
        Connect(address, now);
        return;
    }
    // Looked up at every try: the recorder may have a new address.
    m_lookup = std::make_unique<CNameLookup>(m_definition.host);
    m_phase = Phase::Resolving;
}

void CConnectOutput::Connect(uint32_t address, unsigned long long now)
{
    m_target = Ipv4Endpoint(address, m_definition.port);
    CSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    int error = 0;
    if (!s.IsValid()) {
        Fail(OutputEvent::Kind::Lost, SocketErrorText(::WSAGetLastError()), now);
        return;
    }
    const SOCKET raw = s.Get();
    if (!m_recorder.Attach(std::move(s), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE, error)) {
        Fail(OutputEvent::Kind::Lost, SocketErrorText(error), now);
        return;
    }
    // Non-blocking: FD_CONNECT says how it went, and a peer that never answers costs only the
    // time-out.
    if (::connect(raw, reinterpret_cast<const sockaddr*>(&m_target), sizeof m_target) == 0) {
        Connected(now);
        return;
    }
    error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
        Fail(OutputEvent::Kind::Lost, SocketErrorText(error), now);
        return;
    }
    m_phase = Phase::Connecting;
    m_deadline = now + kConnectTimeoutMs;
}

void CConnectOutput::Connected(unsigned long long now)
{
    m_phase = Phase::Connected;
    m_connectedAt = now;
    OutputEvent event;
    if (m_outage.Up(now, m_recorder.Dropped(), event)) Say(event, m_peer);
    int error = 0;
    if (!m_recorder.Send(error)) Fail(OutputEvent::Kind::Lost, SocketErrorText(error), now);
}

void CConnectOutput::Fail(OutputEvent::Kind kind, const std::string& why, unsigned long long now)
{
    m_backOff.Failed(now, m_phase == Phase::Connected ? m_connectedAt : 0);
    m_recorder.Detach();
    m_lookup.reset();
    m_phase = Phase::Waiting;
    OutputEvent event;
    if (m_outage.Down(now, m_recorder.Dropped(), kind, why, event)) Say(event, m_peer);
}

void CConnectOutput::Signalled(size_t, unsigned long long now)
{
    if (m_phase == Phase::Resolving) {
        uint32_t address = 0;
        int error = 0;
        if (m_lookup->Result(address, error)) {
            m_lookup.reset();
            Connect(address, now);
        } else {
            Fail(OutputEvent::Kind::Unusable,
                 "the name " + m_definition.host + " does not resolve: " + SocketErrorText(error), now);
        }
        return;
    }
    int error = 0;
    bool connected = false;
    const bool ok = m_recorder.Serve(error, connected);
    if (connected && m_phase == Phase::Connecting) Connected(now);
    if (!ok) {
        const std::string why = error ? SocketErrorText(error) : std::string("the recorder closed the connection");
        Fail(OutputEvent::Kind::Lost, why, now);
    }
}

DWORD CConnectOutput::Tick(unsigned long long now)
{
    if (m_phase == Phase::Waiting && m_backOff.Due(now)) Try(now);
    if (m_phase == Phase::Connecting && now >= m_deadline)
        Fail(OutputEvent::Kind::Lost, "the recorder did not answer within 5 seconds", now);
    switch (m_phase) {
    case Phase::Waiting:
        return m_backOff.Wait(now);
    case Phase::Connecting:
        return static_cast<DWORD>(m_deadline - now);
    case Phase::Connected:
        return m_recorder.Blocked() ? kBlockedPollMs : INFINITE;
    default:
        return INFINITE;
    }
}

void CConnectOutput::Deliver(const std::string& bytes, const std::vector<size_t>&, unsigned long long now)
{
    // A recorder that is away was said lost: its drops are counted, and Back tells them.
    if (!bytes.empty() && m_recorder.Queue(bytes.data(), bytes.size(), now) && m_phase == Phase::Connected) {
        OutputEvent event;
        event.kind = OutputEvent::Kind::Dropping;
        Say(event, m_peer);
    }
    int error = 0;
    if (m_phase == Phase::Connected && !m_recorder.Send(error))
        Fail(OutputEvent::Kind::Lost, SocketErrorText(error), now);
}

void CConnectOutput::Report(OutputState& state) const
{
    switch (m_phase) {
    case Phase::Waiting:
        state.link = OutputState::Link::Waiting;
        break;
    case Phase::Resolving:
    case Phase::Connecting:
        state.link = OutputState::Link::Connecting;
        break;
    case Phase::Connected:
        state.link = OutputState::Link::Connected;
        state.peers.push_back(EndpointText(m_target));
        break;
    }
    state.sent = m_recorder.Sent();
    state.dropped = m_recorder.Dropped();
}

} // namespace

std::unique_ptr<COutputRunner> MakeConnectOutput(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices)
{
    return std::make_unique<CConnectOutput>(definition, codePage, notices);
}

// listen PORT: a TCP server on every IPv4 interface. Up to kMaxRecorders recorders at once,
// each getting what arrives from its connection on; a peer outside "from", or one more than
// that, is accepted and closed at once, unread.
#include "service/OutputRunner.h"

#include <algorithm>
#include <map>

#include "service/Ipv4.h"
#include "service/OutputRecorder.h"

namespace {

const size_t kMaxRecorders = 4;
// A port that cannot be had is tried again this often.
const unsigned long long kRetryListenMs = 5000;
// Addresses remembered for their outages; beyond this, those not connected are forgotten.
const size_t kMaxWatched = 64;

class CListenOutput : public COutputRunner {
public:
    using COutputRunner::COutputRunner;

private:
    struct Watch {
        COutageWatch outage;
        int connections = 0;
    };
    struct Peer {
        explicit Peer(uint32_t a) : address(a), recorder(CLaneOutputs::kRecorderBuffer) {}
        uint32_t address;
        CRecorder recorder;
    };

    void Begin(unsigned long long now) override { Listen(now); }
    void Handles(std::vector<HANDLE>& handles) override
    {
        if (m_listener.IsValid()) handles.push_back(m_listenEvent);
        for (const auto& p : m_peers) handles.push_back(p->recorder.Event());
    }
    void Signalled(size_t index, unsigned long long now) override;
    DWORD Tick(unsigned long long now) override;
    void Deliver(const std::string& bytes, const std::vector<size_t>& ends, unsigned long long now) override;
    void Lost(size_t size) override;
    void Report(OutputState& state) const override;
    void End() override
    {
        m_peers.clear();
        m_listener.Close();
    }

    void Listen(unsigned long long now);
    void Accept(unsigned long long now);
    void Drop(size_t index, int error, unsigned long long now);

    CSocket m_listener;
    CHandle m_listenEvent{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::unique_ptr<Peer>> m_peers;
    std::map<uint32_t, Watch> m_watches;
    bool m_unusable = false;
    unsigned long long m_unusableAt = 0;
    unsigned long long m_retryAt = 0;
    unsigned long long m_passed = 0;    // every byte that went through the output
    unsigned long long m_sentGone = 0;  // by recorders no longer connected
    unsigned long long m_droppedGone = 0;
};

void CListenOutput::Listen(unsigned long long now)
{
    int error = 0;
    CSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.IsValid()) error = ::WSAGetLastError();
    if (!error) {
        // No other program may take the port from under us, or share it.
        BOOL exclusive = TRUE;
        ::setsockopt(s.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                     sizeof exclusive);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_definition.port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(s.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(s.Get(), SOMAXCONN) != 0 || ::WSAEventSelect(s.Get(), m_listenEvent, FD_ACCEPT) != 0)
            error = ::WSAGetLastError();
    }
    if (error) {
        m_retryAt = now + kRetryListenMs;
        if (!m_unusable) {
            m_unusable = true;
            m_unusableAt = now;
            OutputEvent event;
            event.kind = OutputEvent::Kind::Unusable;
            event.why = "port " + std::to_string(m_definition.port) + " cannot be had: " + SocketErrorText(error);
            Say(event, std::string());
        }
        return;
    }
    m_listener = std::move(s);
    if (m_unusable) {
        m_unusable = false;
        OutputEvent event;
        event.kind = OutputEvent::Kind::Back;
        event.outageMs = now - m_unusableAt;
        Say(event, std::string());
    }
}

void CListenOutput::Accept(unsigned long long now)
{
    WSANETWORKEVENTS events = {};
    ::WSAEnumNetworkEvents(m_listener.Get(), m_listenEvent, &events);
    for (;;) {
        sockaddr_in from = {};
        int size = sizeof from;
        CSocket s(::accept(m_listener.Get(), reinterpret_cast<sockaddr*>(&from), &size));
        if (!s.IsValid()) return; // WSAEWOULDBLOCK: no more waiting
        const uint32_t address = from.sin_addr.s_addr;
        const std::vector<uint32_t>& allowedFrom = m_definition.from;
        const bool allowed = allowedFrom.empty() ||
                             std::find(allowedFrom.begin(), allowedFrom.end(), address) != allowedFrom.end();
        if (!allowed || m_peers.size() >= kMaxRecorders) continue; // closed here, unread
        auto peer = std::make_unique<Peer>(address);
        int error = 0;
        if (!peer->recorder.Attach(std::move(s), FD_READ | FD_WRITE | FD_CLOSE, error)) continue;
        peer->recorder.SetPeer(EndpointText(from));
        m_peers.push_back(std::move(peer));

        if (m_watches.size() >= kMaxWatched) {
            for (auto it = m_watches.begin(); it != m_watches.end();)
                it = it->second.connections == 0 ? m_watches.erase(it) : std::next(it);
        }
        Watch& watch = m_watches[address];
        if (watch.connections++ == 0) {
            OutputEvent event;
            if (watch.outage.Up(now, m_passed, event)) Say(event, Ipv4Text(address));
        }
    }
}

void CListenOutput::Drop(size_t index, int error, unsigned long long now)
{
    std::unique_ptr<Peer> peer = std::move(m_peers[index]);
    m_peers.erase(m_peers.begin() + static_cast<std::ptrdiff_t>(index));
    m_sentGone += peer->recorder.Sent();
    m_droppedGone += peer->recorder.Dropped();
    Watch& watch = m_watches[peer->address];
    if (--watch.connections > 0) return;
    OutputEvent event;
    const std::string why = error ? SocketErrorText(error) : std::string("the recorder closed the connection");
    if (watch.outage.Down(now, m_passed, OutputEvent::Kind::Lost, why, event)) Say(event, Ipv4Text(peer->address));
}

void CListenOutput::Signalled(size_t index, unsigned long long now)
{
    if (m_listener.IsValid()) {
        if (index == 0) {
            Accept(now);
            return;
        }
        --index;
    }
    if (index >= m_peers.size()) return;
    int error = 0;
    bool connected = false;
    if (!m_peers[index]->recorder.Serve(error, connected)) Drop(index, error, now);
}

DWORD CListenOutput::Tick(unsigned long long now)
{
    if (!m_listener.IsValid() && now >= m_retryAt) Listen(now);
    DWORD wait = INFINITE;
    if (!m_listener.IsValid()) wait = static_cast<DWORD>(m_retryAt > now ? m_retryAt - now : 0);
    for (const auto& p : m_peers)
        if (p->recorder.Blocked()) wait = std::min(wait, kBlockedPollMs);
    return wait;
}

void CListenOutput::Deliver(const std::string& bytes, const std::vector<size_t>&, unsigned long long now)
{
    m_passed += bytes.size();
    for (size_t i = m_peers.size(); i-- > 0;) {
        CRecorder& recorder = m_peers[i]->recorder;
        if (!bytes.empty() && recorder.Queue(bytes.data(), bytes.size(), now)) {
            OutputEvent event;
            event.kind = OutputEvent::Kind::Dropping;
            Say(event, Ipv4Text(m_peers[i]->address));
        }
        int error = 0;
        if (!recorder.Send(error)) Drop(i, error, now);
    }
}

void CListenOutput::Lost(size_t size)
{
    m_passed += size;
    for (auto& p : m_peers) p->recorder.Lost(size);
}

void CListenOutput::Report(OutputState& state) const
{
    state.link = m_listener.IsValid() ? OutputState::Link::Listening : OutputState::Link::Failed;
    state.sent = m_sentGone;
    state.dropped = m_droppedGone;
    for (const auto& p : m_peers) {
        state.peers.push_back(p->recorder.Peer());
        state.sent += p->recorder.Sent();
        state.dropped += p->recorder.Dropped();
    }
}

} // namespace

std::unique_ptr<COutputRunner> MakeListenOutput(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices)
{
    return std::make_unique<CListenOutput>(definition, codePage, notices);
}

#include "channel/Protocol.h"

#include <cstring>

namespace channel {
namespace {

enum : uint16_t {
    kHello = 0x0001,
    kRun = 0x0002,
    kStop = 0x0003,
    kSave = 0x0004,
    kAddLane = 0x0005,
    kRemoveLane = 0x0006,
    kWelcome = 0x0101,
    kState = 0x0102,
    kMessage = 0x0103,
    kRefused = 0x0104,
    kClose = 0x0105,
    kLanes = 0x0106,
    kOutputs = 0x0107,
};

// Wire values are fixed here, apart from the enums' order: a state added to the capture
// without a wire value fails the build (-Wswitch) instead of being sent as something else.
uint8_t WireState(CaptureState s)
{
    switch (s) {
    case CaptureState::Opening: return 0;
    case CaptureState::WaitingForPort: return 1;
    case CaptureState::Capturing: return 2;
    case CaptureState::Ended: return 3;
    case CaptureState::WaitingForFile: return 4;
    }
    return 0xFF;
}

uint8_t WireEnd(CaptureEnd e)
{
    switch (e) {
    case CaptureEnd::None: return 0;
    case CaptureEnd::SettingsInvalid: return 1;
    case CaptureEnd::SettingsRefused: return 2;
    case CaptureEnd::FileNotCreated: return 3;
    case CaptureEnd::FileNotWritten: return 4;
    }
    return 0xFF;
}

bool StateFromWire(uint8_t v, CaptureState& s)
{
    for (CaptureState c : {CaptureState::Opening, CaptureState::WaitingForPort, CaptureState::Capturing,
                           CaptureState::Ended, CaptureState::WaitingForFile}) {
        if (WireState(c) == v) {
            s = c;
            return true;
        }
    }
    return false;
}

bool EndFromWire(uint8_t v, CaptureEnd& e)
{
    for (CaptureEnd c : {CaptureEnd::None, CaptureEnd::SettingsInvalid, CaptureEnd::SettingsRefused,
                         CaptureEnd::FileNotCreated, CaptureEnd::FileNotWritten}) {
        if (WireEnd(c) == v) {
            e = c;
            return true;
        }
    }
    return false;
}

bool ValidRefusal(uint8_t v)
{
    return v >= static_cast<uint8_t>(Refusal::UnsupportedVersion) && v <= static_cast<uint8_t>(Refusal::NoSuchLane);
}

// Builds a body; any field that does not fit marks the whole body bad.
class Writer {
public:
    void U8(uint8_t v) { m_body += static_cast<char>(v); }
    void U16(uint16_t v) { Bytes(v, 2); }
    void U32(uint32_t v) { Bytes(v, 4); }
    void U64(uint64_t v) { Bytes(v, 8); }
    void I32(int v) { U32(static_cast<uint32_t>(v)); }
    void Capture(int id)
    {
        if (id < 0 || id > kMaxCaptureId) m_ok = false;
        U16(static_cast<uint16_t>(id));
    }
    void Settings(const CollectorSettings& s)
    {
        I32(s.commPort);
        I32(s.baudRate);
        U8(s.dataBits);
        I32(s.parity);
        I32(s.stopBits);
        Str(s.dataFile, kMaxPathLength);
        I32(s.runAtStartup);
    }
    void Str(const CString& s, size_t maxLength)
    {
        size_t n = static_cast<size_t>(s.GetLength());
        if (n > maxLength || std::memchr(s.GetString(), '\0', n)) m_ok = false;
        U16(static_cast<uint16_t>(n));
        m_body.append(s.GetString(), n);
    }
    bool Ok() const { return m_ok && m_body.size() <= kMaxBody; }
    const std::string& Body() const { return m_body; }

private:
    void Bytes(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i) m_body += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    std::string m_body;
    bool m_ok = true;
};

// Reads a body; any read past its end or out of range marks it bad, and later reads give zeros.
class Reader {
public:
    Reader(const char* p, size_t n) : m_p(reinterpret_cast<const unsigned char*>(p)), m_n(n) {}
    uint8_t U8() { return static_cast<uint8_t>(Bytes(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Bytes(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Bytes(4)); }
    uint64_t U64() { return Bytes(8); }
    int I32() { return static_cast<int>(static_cast<int32_t>(U32())); }
    CString Str(size_t maxLength)
    {
        size_t n = U16();
        if (n > maxLength || n > m_n - m_at) {
            m_ok = false;
            return CString();
        }
        const char* s = reinterpret_cast<const char*>(m_p + m_at);
        m_at += n;
        if (std::memchr(s, '\0', n)) m_ok = false;
        return CString(s, static_cast<int>(n));
    }
    CollectorSettings Settings()
    {
        CollectorSettings s;
        s.commPort = I32();
        s.baudRate = I32();
        s.dataBits = U8();
        s.parity = I32();
        s.stopBits = I32();
        s.dataFile = Str(kMaxPathLength);
        s.runAtStartup = I32();
        return s;
    }
    void Fail() { m_ok = false; }
    bool Failed() const { return !m_ok; }
    // Every field read and nothing left over.
    bool Done() const { return m_ok && m_at == m_n; }

private:
    uint64_t Bytes(int count)
    {
        if (!m_ok || m_n - m_at < static_cast<size_t>(count)) {
            m_ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < count; ++i) v |= static_cast<uint64_t>(m_p[m_at + i]) << (8 * i);
        m_at += static_cast<size_t>(count);
        return v;
    }
    const unsigned char* m_p;
    size_t m_n;
    size_t m_at = 0;
    bool m_ok = true;
};

struct EncodeBody {
    Writer& w;
    void operator()(const Hello& f)
    {
        w.U16(kHello);
        w.U16(f.version);
    }
    void operator()(const RunCapture& f)
    {
        w.U16(kRun);
        w.Capture(f.captureId);
        w.Settings(f.settings);
    }
    void operator()(const SaveSettings& f)
    {
        w.U16(kSave);
        w.Capture(f.captureId);
        w.Settings(f.settings);
    }
    void operator()(const StopCapture& f)
    {
        w.U16(kStop);
        w.Capture(f.captureId);
    }
    void operator()(const AddLane& f)
    {
        w.U16(kAddLane);
        w.Capture(f.captureId);
        w.Settings(f.settings);
    }
    void operator()(const RemoveLane& f)
    {
        w.U16(kRemoveLane);
        w.Capture(f.captureId);
    }
    void operator()(const LaneList& f)
    {
        w.U16(kLanes);
        w.Capture(static_cast<int>(f.lanes.size()));
        for (int lane : f.lanes) w.Capture(lane);
    }
    void operator()(const Welcome& f)
    {
        w.U16(kWelcome);
        w.U16(f.version);
        w.Capture(f.captureCount); // a count of 0..65535 fits where a number does
        w.U8(f.mayControl ? 1 : 0);
        w.Str(f.account, kMaxAccountLength);
    }
    void operator()(const ChannelState& f)
    {
        w.U16(kState);
        w.Capture(f.captureId);
        w.U8(WireState(f.status.state));
        w.U8(WireEnd(f.status.end));
        w.I32(f.status.port);
        w.U64(f.status.bytes);
        w.U32(f.status.reads);
        w.Settings(f.settings);
        w.U64(f.status.lastByteAt);
        w.U8(f.status.silent ? 1 : 0);
        w.U64(f.status.silentSince);
    }
    void operator()(const UserMessage& f)
    {
        w.U16(kMessage);
        w.Capture(f.captureId);
        w.Str(f.message.text, kMaxTextLength);
        w.Str(f.message.caption, kMaxCaptionLength);
    }
    void operator()(const Refused& f)
    {
        w.U16(kRefused);
        w.Capture(f.captureId);
        w.U8(static_cast<uint8_t>(f.reason));
    }
    void operator()(const Dismiss&) { w.U16(kClose); }
    void operator()(const LaneOutputs& f)
    {
        w.U16(kOutputs);
        w.Capture(f.captureId);
        if (f.outputs.size() > kMaxOutputs) w.Capture(-1); // marks the body bad
        w.U8(static_cast<uint8_t>(f.outputs.size()));
        for (const OutputView& o : f.outputs) {
            w.Str(o.name, kMaxOutputNameLength);
            w.U8(static_cast<uint8_t>(o.link));
            if (o.peers.size() > kMaxOutputPeers) w.Capture(-1);
            w.U8(static_cast<uint8_t>(o.peers.size()));
            for (const CString& peer : o.peers) w.Str(peer, kMaxPeerLength);
            w.U64(o.sent);
            w.U64(o.dropped);
        }
    }
};

bool DecodeBody(Reader& r, Frame& frame)
{
    switch (r.U16()) {
    case kHello: {
        Hello f;
        f.version = r.U16();
        frame = f;
        break;
    }
    case kRun: {
        RunCapture f;
        f.captureId = r.U16();
        f.settings = r.Settings();
        frame = f;
        break;
    }
    case kSave: {
        SaveSettings f;
        f.captureId = r.U16();
        f.settings = r.Settings();
        frame = f;
        break;
    }
    case kStop: {
        StopCapture f;
        f.captureId = r.U16();
        frame = f;
        break;
    }
    case kAddLane: {
        AddLane f;
        f.captureId = r.U16();
        f.settings = r.Settings();
        frame = f;
        break;
    }
    case kRemoveLane: {
        RemoveLane f;
        f.captureId = r.U16();
        frame = f;
        break;
    }
    case kLanes: {
        LaneList f;
        const uint16_t count = r.U16();
        // Each lane takes two bytes: a count the body cannot hold is malformed before any is read.
        if (count > kMaxBody / 2) r.Fail();
        else
            for (uint16_t i = 0; i < count; ++i) f.lanes.push_back(r.U16());
        frame = f;
        break;
    }
    case kWelcome: {
        Welcome f;
        f.version = r.U16();
        f.captureCount = r.U16();
        uint8_t may = r.U8();
        if (may > 1) r.Fail();
        f.mayControl = may == 1;
        f.account = r.Str(kMaxAccountLength);
        frame = f;
        break;
    }
    case kState: {
        ChannelState f;
        f.captureId = r.U16();
        if (!StateFromWire(r.U8(), f.status.state)) r.Fail();
        if (!EndFromWire(r.U8(), f.status.end)) r.Fail();
        f.status.port = r.I32();
        f.status.bytes = r.U64();
        f.status.reads = r.U32();
        f.settings = r.Settings();
        f.status.lastByteAt = r.U64();
        const uint8_t silent = r.U8();
        if (silent > 1) r.Fail();
        f.status.silent = silent == 1;
        f.status.silentSince = r.U64();
        frame = f;
        break;
    }
    case kMessage: {
        UserMessage f;
        f.captureId = r.U16();
        f.message.text = r.Str(kMaxTextLength);
        f.message.caption = r.Str(kMaxCaptionLength);
        frame = f;
        break;
    }
    case kRefused: {
        Refused f;
        f.captureId = r.U16();
        uint8_t reason = r.U8();
        if (!ValidRefusal(reason)) r.Fail();
        f.reason = static_cast<Refusal>(reason);
        frame = f;
        break;
    }
    case kClose:
        frame = Dismiss{};
        break;
    case kOutputs: {
        LaneOutputs f;
        f.captureId = r.U16();
        const uint8_t count = r.U8();
        if (count > kMaxOutputs) r.Fail();
        for (uint8_t i = 0; i < count && !r.Failed(); ++i) {
            OutputView o;
            o.name = r.Str(kMaxOutputNameLength);
            const uint8_t link = r.U8();
            if (link > static_cast<uint8_t>(OutputLink::Failed)) r.Fail();
            o.link = static_cast<OutputLink>(link);
            const uint8_t peers = r.U8();
            if (peers > kMaxOutputPeers) r.Fail();
            for (uint8_t p = 0; p < peers && !r.Failed(); ++p) o.peers.push_back(r.Str(kMaxPeerLength));
            o.sent = r.U64();
            o.dropped = r.U64();
            f.outputs.push_back(o);
        }
        frame = f;
        break;
    }
    default:
        return false;
    }
    return r.Done();
}

uint32_t LengthAt(const std::string& buffer)
{
    uint32_t n = 0;
    for (size_t i = 0; i < kLengthSize; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(buffer[i])) << (8 * i);
    return n;
}

} // namespace

bool operator==(const OutputView& a, const OutputView& b)
{
    return a.name == b.name && a.link == b.link && a.peers == b.peers && a.sent == b.sent && a.dropped == b.dropped;
}

bool Encode(const Frame& frame, std::string& out)
{
    Writer w;
    std::visit(EncodeBody{w}, frame);
    if (!w.Ok()) return false;
    std::string encoded;
    uint32_t n = static_cast<uint32_t>(w.Body().size());
    for (size_t i = 0; i < kLengthSize; ++i) encoded += static_cast<char>((n >> (8 * i)) & 0xFF);
    encoded += w.Body();
    // A state never travels without its outputs, so no reader sees one lane's without the other.
    if (const auto* state = std::get_if<ChannelState>(&frame))
        if (!Encode(LaneOutputs{state->captureId, state->outputs}, encoded)) return false;
    out += encoded;
    return true;
}

Decoded TakeFrame(std::string& buffer, Frame& frame)
{
    if (buffer.size() < kLengthSize) return Decoded::NeedMore;
    uint32_t n = LengthAt(buffer);
    if (n < 2 || n > kMaxBody) return Decoded::Malformed;
    if (buffer.size() - kLengthSize < n) return Decoded::NeedMore;
    Reader r(buffer.data() + kLengthSize, n);
    Frame decoded;
    if (!DecodeBody(r, decoded)) return Decoded::Malformed;
    frame = std::move(decoded);
    buffer.erase(0, kLengthSize + n);
    return Decoded::Frame;
}

} // namespace channel

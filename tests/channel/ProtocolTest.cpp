// The channel's frames: what one end encodes the other decodes to the same thing, and
// anything else a peer could send is refused without reading past what arrived.
#include "channel/Protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace channel;

namespace {

// Little-endian bytes for hand-built frames.
struct Bytes {
    std::string s;
    Bytes& u8(unsigned v) { s += static_cast<char>(v); return *this; }
    Bytes& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
    Bytes& str(const std::string& t) { u16(static_cast<unsigned>(t.size())); s += t; return *this; }
    Bytes& raw(const std::string& t) { s += t; return *this; }
    // The body with its length in front.
    std::string Framed() const { return Bytes().u32(static_cast<uint32_t>(s.size())).s + s; }
};

std::string Encoded(const Frame& f)
{
    std::string out;
    EXPECT_TRUE(Encode(f, out));
    return out;
}

RunCapture SampleRun()
{
    RunCapture r;
    r.captureId = 3;
    r.settings.commPort = 4096;
    r.settings.baudRate = -12; // the capture, not the channel, judges line settings
    r.settings.dataBits = 7;
    r.settings.parity = 4;
    r.settings.stopBits = 2;
    r.settings.dataFile = CString(std::string(kMaxPathLength, 'p').c_str());
    r.settings.runAtStartup = 1;
    return r;
}

ChannelState SampleState()
{
    ChannelState s;
    s.captureId = kMaxCaptureId;
    s.status = {CaptureState::WaitingForPort, CaptureEnd::FileNotWritten, 17};
    s.status.bytes = 0x123456789ABCull;
    s.status.reads = 0xFFFFFFFFu;
    s.status.lastByteAt = 0x01DB2C3D4E5F6071ull;
    s.status.silent = true;
    s.status.silentSince = 0x01DB2C3D4E5F6000ull;
    s.settings = SampleRun().settings;
    s.settings.dataFile = "C:\\ProgramData\\Orvane DVR\\POSCollector\\till.txt";
    return s;
}

LaneOutputs SampleOutputs()
{
    LaneOutputs o;
    o.captureId = 16;
    for (size_t i = 0; i < kMaxOutputs; ++i) {
        OutputView v;
        v.name = CString(std::string(kMaxOutputNameLength - i, static_cast<char>('a' + i)).c_str());
        v.link = static_cast<OutputLink>(i % 5);
        for (size_t p = 0; p < i % (kMaxOutputPeers + 1); ++p)
            v.peers.push_back(CString(std::string(kMaxPeerLength - p, static_cast<char>('0' + p)).c_str()));
        v.sent = 0x0102030405060708ull + i;
        v.dropped = 0x1112131415161718ull + i;
        o.outputs.push_back(v);
    }
    return o;
}

} // namespace

TEST(Protocol, EveryFrameComesBackAsItWasSentWholeOrInPieces)
{
    const std::vector<Frame> frames = {
        Hello{7},
        SampleRun(),
        StopCapture{kMaxCaptureId},
        SaveSettings{9, SampleRun().settings},
        Welcome{kProtocolVersion, 5, true, "SHOP-PC\\till"},
        Welcome{kProtocolVersion, 1, false, CString(std::string(kMaxAccountLength, 'a').c_str())},
        SampleState(),
        UserMessage{1, {CString(std::string(kMaxTextLength, 't').c_str()), "Serial Port"}},
        UserMessage{0, {"", ""}},
        Refused{2, Refusal::UnknownCapture},
        Refused{4, Refusal::NotAllowed},
        Refused{3, Refusal::NoSuchLane},
        Dismiss{},
        AddLane{16, SampleRun().settings},
        RemoveLane{15},
        LaneList{{1, 2, 16}},
        LaneList{},
        SampleOutputs(),
        LaneOutputs{3, {}},
    };
    for (const Frame& sent : frames) {
        SCOPED_TRACE(sent.index());
        std::string bytes = Encoded(sent);
        // A state is followed by its outputs' frame: taken apart below.
        if (std::holds_alternative<ChannelState>(sent)) bytes.resize(bytes.size() - Encoded(LaneOutputs{kMaxCaptureId, {}}).size());
        // Fed a byte at a time, it is incomplete until its last byte.
        std::string buffer;
        Frame got;
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            buffer += bytes[i];
            ASSERT_EQ(Decoded::NeedMore, TakeFrame(buffer, got)) << "after " << i + 1 << " bytes";
        }
        buffer += bytes.back();
        buffer += "next"; // the start of the following frame stays for later
        ASSERT_EQ(Decoded::Frame, TakeFrame(buffer, got));
        EXPECT_EQ(sent.index(), got.index());
        // Every field holds a distinct value, so a field read into the wrong place shows here.
        std::string again = Encoded(got);
        if (std::holds_alternative<ChannelState>(got)) again.resize(bytes.size());
        EXPECT_EQ(bytes, again);
        EXPECT_EQ("next", buffer);
    }
}

TEST(Protocol, AStateTravelsWithItsOutputsAsTwoFrames)
{
    ChannelState sent = SampleState();
    sent.outputs = SampleOutputs().outputs;
    std::string buffer = Encoded(sent);
    Frame state, outputs;
    ASSERT_EQ(Decoded::Frame, TakeFrame(buffer, state));
    ASSERT_EQ(Decoded::Frame, TakeFrame(buffer, outputs));
    EXPECT_TRUE(buffer.empty());
    ASSERT_TRUE(std::holds_alternative<ChannelState>(state));
    ASSERT_TRUE(std::holds_alternative<LaneOutputs>(outputs));
    EXPECT_EQ(kMaxCaptureId, std::get<LaneOutputs>(outputs).captureId);
    EXPECT_TRUE(std::get<LaneOutputs>(outputs).outputs == sent.outputs);
    // Outputs that do not fit a frame keep the state from being sent at all, not half of it.
    sent.outputs.push_back(OutputView{});
    std::string out = "kept";
    EXPECT_FALSE(Encode(sent, out));
    EXPECT_EQ("kept", out);
}

TEST(Protocol, NothingIsEncodedThatTheOtherEndWouldRefuse)
{
    RunCapture withNul = SampleRun();
    withNul.settings.dataFile = CString("C:\\a\0b.cap", 10);
    RunCapture longPath = SampleRun();
    longPath.settings.dataFile = CString(std::string(kMaxPathLength + 1, 'p').c_str());
    const std::vector<Frame> frames = {
        StopCapture{-1},
        StopCapture{kMaxCaptureId + 1},
        withNul,
        longPath,
        UserMessage{0, {"text", CString(std::string(kMaxCaptionLength + 1, 'c').c_str())}},
        Welcome{kProtocolVersion, 1, false, CString(std::string(kMaxAccountLength + 1, 'a').c_str())},
    };
    for (const Frame& f : frames) {
        SCOPED_TRACE(f.index());
        std::string out = "kept";
        EXPECT_FALSE(Encode(f, out));
        EXPECT_EQ("kept", out);
    }
}

TEST(Protocol, MalformedFramesAreRefused)
{
    const std::string state = Bytes().u16(0x0102).u16(0).s;
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"2 GB length, nothing after it", Bytes().u32(0x80000000u).s},
        {"length one past the maximum", Bytes().u32(kMaxBody + 1).s},
        {"length too short for a type", Bytes().u32(1).u8(1).s},
        {"empty body", Bytes().u32(0).s},
        {"unknown type", Bytes().u16(0x0007).u16(1).Framed()},
        {"type zero", Bytes().u16(0).Framed()},
        {"field cut short", Bytes().u16(0x0001).u8(1).Framed()},
        {"byte left over", Bytes().u16(0x0001).u16(1).u8(0).Framed()},
        {"state out of range", Bytes().raw(state).u8(5).u8(0).u32(5).u64(0).u32(0).Framed()},
        {"end out of range", Bytes().raw(state).u8(0).u8(5).u32(5).u64(0).u32(0).Framed()},
        {"refusal zero", Bytes().u16(0x0104).u16(0).u8(0).Framed()},
        {"refusal out of range", Bytes().u16(0x0104).u16(0).u8(7).Framed()},
        {"lane list longer than its body", Bytes().u16(0x0106).u16(3).u16(1).u16(2).Framed()},
        {"silent neither 0 nor 1",
         Bytes().raw(state).u8(2).u8(0).u32(5).u64(0).u32(0).u32(5).u32(9600).u8(8).u32(2).u32(0).str("f").u32(0)
             .u64(0).u8(2).u64(0).Framed()},
        {"may control neither 0 nor 1", Bytes().u16(0x0101).u16(2).u16(1).u8(2).str("PC\\u").Framed()},
        {"welcome without its account", Bytes().u16(0x0101).u16(2).u16(1).u8(1).Framed()},
        {"state without its settings", Bytes().raw(state).u8(2).u8(0).u32(5).u64(0).u32(0).Framed()},
        {"close with a byte over", Bytes().u16(0x0105).u8(0).Framed()},
        {"save without its file", Bytes().u16(0x0004).u16(0).u32(5).u32(9600).u8(8).u32(2).u32(0).Framed()},
        {"string past the body", Bytes().u16(0x0103).u16(0).u16(50).raw("short").Framed()},
        {"string with a NUL", Bytes().u16(0x0103).u16(0).str(std::string("a\0b", 3)).str("c").Framed()},
        {"text too long", Bytes().u16(0x0103).u16(0).str(std::string(kMaxTextLength + 1, 't')).str("c").Framed()},
        {"more outputs than a lane has", Bytes().u16(0x0107).u16(1).u8(kMaxOutputs + 1).Framed()},
        {"output link out of range",
         Bytes().u16(0x0107).u16(1).u8(1).str("listen 9001").u8(5).u8(0).u64(0).u64(0).Framed()},
        {"more peers than an output takes",
         Bytes().u16(0x0107).u16(1).u8(1).str("listen 9001").u8(0).u8(kMaxOutputPeers + 1).Framed()},
        {"outputs cut short", Bytes().u16(0x0107).u16(1).u8(2).str("udp a:1").u8(1).u8(0).u64(0).u64(0).Framed()},
        {"path too long",
         Bytes().u16(0x0002).u16(0).u32(5).u32(9600).u8(8).u32(2).u32(0).str(std::string(kMaxPathLength + 1, 'p'))
             .u32(0).Framed()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string buffer = c.bytes;
        Frame f;
        EXPECT_EQ(Decoded::Malformed, TakeFrame(buffer, f));
    }
}

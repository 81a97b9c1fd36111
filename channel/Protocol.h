#pragma once
// The control channel between the collector service and the collector windows of the
// logon sessions. Both ends include this file and nothing else defines the wire format.
//
// Protocol version 4. A frame is a 4-byte length, then that many bytes of body; the body is
// a 2-byte type, then the type's fields. Integers are little-endian; a string is a 2-byte
// length, then that many bytes in the system's ANSI code page (both ends run on one PC),
// without NUL. A body is at most kMaxBody bytes.
//
//   window -> service
//     0x0001 Hello    u16 version                   first frame, once
//     0x0002 Run      u16 lane, i32 port, i32 baud, u8 data bits, i32 parity,
//                     i32 stop bits, str capture file, i32 run at startup
//     0x0003 Stop     u16 lane
//     0x0004 Save     u16 lane, settings as Run     the settings, without a Run
//     0x0005 AddLane  u16 lane, settings as Run     a new lane with these settings, not running
//     0x0006 RemoveLane u16 lane                    the lane's capture ends and the lane goes
//   service -> window
//     0x0101 Welcome  u16 version, u16 lanes, u8 may control, str account
//                                                   answers Hello; Lanes and one State per lane
//                                                   follow. The account is the client's as the
//                                                   service sees it, for the window to name.
//     0x0102 State    u16 lane, u8 state, u8 end, i32 port, u64 bytes captured, u32 reads,
//                     settings as Run, u64 last byte, u8 silent, u64 silent since
//                                                   what the lane runs with; times are UTC
//                                                   FILETIME counts, 0 for none
//     0x0103 Message  u16 lane, str text, str caption
//     0x0104 Refused  u16 lane, u8 reason           a request the service did not take
//     0x0105 Close                                  the window ends, as a close ends it
//     0x0106 Lanes    u16 count, count x u16 lane   the lanes there are now, after Welcome and
//                                                   whenever one is added or removed
//     0x0107 Outputs  u16 lane, u8 count, count x (str output, u8 link, u8 peers,
//                     peers x str peer, u64 bytes sent, u64 bytes dropped)
//                                                   the lane's network outputs; follows every
//                                                   State (count 0: none running)
//
// Lanes are numbered 1 to 16, as in the registry (lane 1 is the service's Parameters key, lane N
// its LaneN subkey), one COM port each. A frame whose length, type, enum value or string is out
// of range, or whose fields do not fill its body exactly, is malformed: the service ends the
// connection of a client that sends one. Line settings travel as they are: the capture judges
// them and tells the user in its own words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "capture/CaptureTypes.h"
#include <vector>
#include "settings/SettingsStore.h"

namespace channel {

constexpr uint16_t kProtocolVersion = 4;
constexpr const char* kPipeName = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector";

constexpr size_t kLengthSize = 4;
constexpr size_t kMaxBody = 4096;
constexpr size_t kMaxFrame = kLengthSize + kMaxBody;
// Far above a usable ANSI path (MAX_PATH) and the longest user message with the system's reason.
constexpr size_t kMaxPathLength = 1024;
constexpr size_t kMaxTextLength = 2048;
constexpr size_t kMaxCaptionLength = 128;
// DOMAIN\user is at most 15 + 1 + 256 characters; a SID as text fits too.
constexpr size_t kMaxAccountLength = 512;
constexpr int kMaxCaptureId = 0xFFFF;
// The lanes one service runs, numbered 1 to kMaxLanes.
constexpr int kMaxLanes = 16;
// A lane's network outputs, each with its recorders connected now.
constexpr size_t kMaxOutputs = 8;
constexpr size_t kMaxOutputPeers = 4;
constexpr size_t kMaxOutputNameLength = 256;
constexpr size_t kMaxPeerLength = 64;

enum class OutputLink : uint8_t {
    Listening = 0, // waiting for recorders to connect (those connected are its peers)
    Connected = 1, // connected to the recorder, or sending datagrams
    Connecting = 2,
    Waiting = 3,   // until the next try after a failure
    Failed = 4,    // its port cannot be had; tried again
};
struct OutputView {
    CString name; // as the lane's Outputs value holds it
    OutputLink link = OutputLink::Connecting;
    std::vector<CString> peers;
    uint64_t sent = 0;
    uint64_t dropped = 0;
};
bool operator==(const OutputView& a, const OutputView& b);
// What a window shows of one capture.
struct ChannelState {
    int captureId = 1;
    // With the bytes captured so far and the reads that brought them (the progress bar's steps).
    CaptureStatus status;
    // The settings the service runs this capture with.
    CollectorSettings settings;
    // Its network outputs: sent as the Outputs frame that follows the State.
    std::vector<OutputView> outputs;
};

struct Hello {
    uint16_t version = kProtocolVersion;
};
struct RunCapture {
    int captureId = 0;
    CollectorSettings settings;
};
struct StopCapture {
    int captureId = 0;
};
struct SaveSettings {
    int captureId = 0;
    CollectorSettings settings;
};
struct AddLane {
    int captureId = 0;
    CollectorSettings settings;
};
struct RemoveLane {
    int captureId = 0;
};
struct Welcome {
    uint16_t version = kProtocolVersion;
    int captureCount = 0;
    // Whether the service takes this client's Run, Stop and Save.
    bool mayControl = false;
    CString account;
};
struct UserMessage {
    int captureId = 0;
    CaptureMessage message;
};
enum class Refusal : uint8_t {
    UnsupportedVersion = 1, // the service speaks another version; it closes the connection
    UnknownCapture = 2,     // no capture with that number
    NotAccepted = 3,        // the service cannot take the request now (it is stopping, say)
    NotAllowed = 4,         // the client's account may only look
    PortInUse = 5,          // another lane captures that port already
    NoSuchLane = 6,         // AddLane: the number is out of range or taken; others: no such lane
};
struct Refused {
    int captureId = 0;
    Refusal reason = Refusal::NotAccepted;
};

struct Dismiss {};

// The lanes there are, in rising order.
struct LaneList {
    std::vector<int> lanes;
};

struct LaneOutputs {
    int captureId = 1;
    std::vector<OutputView> outputs;
};

using Frame = std::variant<Hello, RunCapture, StopCapture, SaveSettings, AddLane, RemoveLane, Welcome, ChannelState,
                           UserMessage, Refused, Dismiss, LaneList, LaneOutputs>;

// Appends the encoded frame to out. False, with out unchanged, when a field does not fit the
// protocol (a capture number out of range, a string too long or holding a NUL).
bool Encode(const Frame& frame, std::string& out);

enum class Decoded { Frame, NeedMore, Malformed };
// Takes the first whole frame off the front of buffer into frame. NeedMore leaves buffer as it
// is; Malformed is final for the connection (a length out of range is seen as soon as its four
// bytes are there, so nobody can make a reader hold more than kMaxFrame bytes).
Decoded TakeFrame(std::string& buffer, Frame& frame);

} // namespace channel

#include "app/LaneText.h"

#include <string>

const char kTrayProduct[] = "Orvane POS Emulator";
const char kUnreachableText[] = "the service cannot be reached";

namespace {

// The groups a summary counts, in the order it names them, with a shorter word for a tight tip.
struct Group {
    const char* word;
    const char* shortWord;
};
enum GroupIndex { kCapturing, kSilent, kWaitingForPort, kWaitingForFile, kStopped, kGroups };
const Group kGroupWords[kGroups] = {
    {"capturing", "capturing"},
    {"silent", "silent"},
    {"waiting for the port", "no port"},
    {"waiting for the capture file", "no file"},
    {"stopped", "stopped"},
};

GroupIndex GroupOf(const CaptureStatus& status)
{
    if (status.state == CaptureState::Ended) return kStopped;
    if (status.silent) return kSilent;
    switch (status.state) {
    case CaptureState::Capturing:
        return kCapturing;
    case CaptureState::WaitingForFile:
        return kWaitingForFile;
    default:
        // Opening is a moment of waiting for the port too.
        return kWaitingForPort;
    }
}

std::string Summary(const int (&counts)[kGroups], int lanes, bool shortWords, bool withTotal)
{
    std::string text;
    if (withTotal) text = std::to_string(lanes) + " lanes: ";
    bool first = true;
    for (int g = 0; g < kGroups; ++g) {
        if (counts[g] == 0) continue;
        if (!first) text += ", ";
        first = false;
        text += std::to_string(counts[g]) + " " + (shortWords ? kGroupWords[g].shortWord : kGroupWords[g].word);
    }
    return text;
}

} // namespace

CString LocalClock(unsigned long long utc, const SYSTEMTIME& nowLocal)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(utc & 0xFFFFFFFFull);
    ft.dwHighDateTime = static_cast<DWORD>(utc >> 32);
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    // The zone's rule for that day, not today's bias: a silence can start before a clock change.
    if (!::FileTimeToSystemTime(&ft, &universal) || !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return CString();
    CString text;
    if (local.wYear == nowLocal.wYear && local.wMonth == nowLocal.wMonth && local.wDay == nowLocal.wDay)
        text.Format("%02u:%02u", local.wHour, local.wMinute);
    else
        text.Format("%04u-%02u-%02u %02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute);
    return text;
}

CString LaneStateText(const CaptureStatus& status, const SYSTEMTIME& nowLocal, bool withPort)
{
    if (status.state == CaptureState::Ended) {
        switch (status.end) {
        case CaptureEnd::SettingsInvalid:
            return "stopped: settings not valid";
        case CaptureEnd::SettingsRefused:
            return "stopped: line settings refused";
        case CaptureEnd::FileNotCreated:
            return "stopped: capture file cannot be created";
        case CaptureEnd::FileNotWritten:
            return "stopped: capture file cannot be written";
        case CaptureEnd::None:
            break;
        }
        return "stopped";
    }
    CString what;
    if (status.silent) {
        what = "silent";
        const CString since = status.silentSince ? LocalClock(status.silentSince, nowLocal) : CString();
        if (!since.IsEmpty()) what += " since " + since;
    } else if (status.state == CaptureState::Capturing) {
        what = "capturing";
    } else if (status.state == CaptureState::WaitingForPort) {
        what = "waiting for the port";
    } else if (status.state == CaptureState::WaitingForFile) {
        what = "waiting for the capture file";
    } else {
        what = "opening the port";
    }
    if (!withPort) return what;
    CString text;
    text.Format("COM%d: %s", status.port, what.GetString());
    return text;
}

CString TrayTipText(bool connected, const std::vector<CaptureStatus>& lanes, const SYSTEMTIME& nowLocal)
{
    std::string product = std::string(kTrayProduct) + "\n";
    std::string state;
    if (!connected)
        state = kUnreachableText;
    else if (lanes.size() == 1)
        state = LaneStateText(lanes[0], nowLocal).GetString();
    else if (lanes.empty())
        state = "stopped";
    if (lanes.size() < 2 || !connected) return (product + state).substr(0, kTrayTipMax).c_str();

    int counts[kGroups] = {};
    for (const CaptureStatus& status : lanes) ++counts[GroupOf(status)];
    const int total = static_cast<int>(lanes.size());
    // The full words with the product first; then shorter words; then without the product's line
    // and, last, without the total, which the counts add up to anyway.
    const std::string tries[] = {
        product + Summary(counts, total, false, true),
        product + Summary(counts, total, true, true),
        Summary(counts, total, true, true),
        Summary(counts, total, true, false),
    };
    for (const std::string& tip : tries)
        if (static_cast<int>(tip.size()) <= kTrayTipMax) return tip.c_str();
    return tries[3].substr(0, kTrayTipMax).c_str();
}

const char* OutputLinkWord(channel::OutputLink link)
{
    switch (link) {
    case channel::OutputLink::Listening: return "listening";
    case channel::OutputLink::Connected: return "connected";
    case channel::OutputLink::Connecting: return "connecting";
    case channel::OutputLink::Waiting: return "waiting";
    case channel::OutputLink::Failed: break;
    }
    return "failed";
}

CString OutputsText(const std::vector<channel::OutputView>& outputs)
{
    CString text;
    for (const channel::OutputView& o : outputs) {
        CString state;
        switch (o.link) {
        case channel::OutputLink::Listening:
            if (o.peers.empty())
                state = "no recorder connected";
            else if (o.peers.size() == 1)
                state = "1 recorder connected";
            else
                state.Format("%u recorders connected", static_cast<unsigned>(o.peers.size()));
            break;
        case channel::OutputLink::Connected:
            // A datagram output has no connection: it sends.
            state = ::lstrcmpiA(std::string(o.name.GetString()).substr(0, 4).c_str(), "udp ") == 0 ? "sending" : "connected";
            break;
        case channel::OutputLink::Connecting: state = "connecting"; break;
        case channel::OutputLink::Waiting: state = "not connected, trying again"; break;
        case channel::OutputLink::Failed: state = "cannot listen on its port"; break;
        }
        if (o.dropped) {
            CString dropped;
            dropped.Format(", %llu bytes left out", static_cast<unsigned long long>(o.dropped));
            state += dropped;
        }
        text += (text.IsEmpty() ? "Sends to: " : "; ") + o.name + " (" + state + ")";
    }
    return text;
}

#include "app/StatusCommand.h"

#include <windows.h>

#include <cstdio>

#include "app/LaneText.h"
#include "platform/Handle.h"

namespace {

// Generous: the answer takes milliseconds; this only bounds a service that hangs.
const DWORD kStatusTimeoutMs = 5000;

const char kProduct[] = "Orvane POS Collector";

std::string ServiceStateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_PAUSED: return "paused";
    default: return "not running";
    }
}

// Why there is no answer, in one line.
std::string Problem(const StatusAnswer& answer)
{
    std::string text = std::string(kProduct) + " service ";
    switch (answer.reach) {
    case StatusReach::NotInstalled:
        return text + "is not installed on this PC.";
    case StatusReach::NotRunning:
        return text + "is installed but not running (" + ServiceStateName(answer.serviceState) + ").";
    case StatusReach::Unreachable:
    case StatusReach::Answered:
        break;
    }
    text += "cannot be reached: " + answer.why;
    if (answer.error != 0 && answer.error != ERROR_TIMEOUT) text += " (error " + std::to_string(answer.error) + ")";
    return text + ".";
}

std::string PortName(const channel::ChannelState& lane) { return "COM" + std::to_string(lane.settings.commPort); }

std::string Utf8FromAnsi(const std::string& ansi) { return Narrow(Widen(ansi), CP_UTF8); }

std::string JsonString(const std::string& utf8)
{
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Writes to the program's standard output: a file or pipe a script or an agent reads, or the
// console it was typed in (a windowed program has none of its own and must attach to it).
void Write(const std::string& text, UINT codePage)
{
    const std::wstring wide = Widen(text, codePage);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CHandle console;
    if (!CHandle::IsValid(out) || GetFileType(out) == FILE_TYPE_UNKNOWN) {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
        console.Attach(CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        out = console.Get();
        if (!console.IsValid()) return;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    // A file or a pipe: JSON stays UTF-8; text takes the code page a console would show it in,
    // which is what cmd and PowerShell decode a program's output with.
    std::string bytes = text;
    if (codePage != CP_UTF8) bytes = Narrow(wide, GetConsoleOutputCP() ? GetConsoleOutputCP() : GetOEMCP());
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

} // namespace

const char* LaneStateWord(const CaptureStatus& status)
{
    switch (status.state) {
    case CaptureState::Opening:
    case CaptureState::WaitingForPort:
        return "waiting-for-port";
    case CaptureState::WaitingForFile:
        return "waiting-for-file";
    case CaptureState::Capturing:
        return status.silent ? "silent" : "capturing";
    case CaptureState::Ended:
        break;
    }
    return "stopped";
}

int StatusExitCode(const StatusAnswer& answer)
{
    if (answer.reach != StatusReach::Answered) return 3;
    int code = 0;
    for (const channel::ChannelState& lane : answer.lanes) {
        const std::string word = LaneStateWord(lane.status);
        if (word == "stopped") return 2;
        if (word != "capturing") code = 1;
    }
    return code;
}

std::string LocalIsoTime(unsigned long long utc)
{
    if (utc == 0) return "-";
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(utc);
    ft.dwHighDateTime = static_cast<DWORD>(utc >> 32);
    SYSTEMTIME universal;
    SYSTEMTIME local;
    // The zone's rule for that day, not today's: a byte from before a change of summer time.
    if (!FileTimeToSystemTime(&ft, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
                  local.wMinute, local.wSecond);
    return text;
}

std::string StatusText(const StatusAnswer& answer)
{
    if (answer.reach != StatusReach::Answered) return Problem(answer) + "\r\n";
    std::string text = "Lane\tPort\tState\tBytes\tLastByte\tFile\r\n";
    for (const channel::ChannelState& lane : answer.lanes) {
        text += std::to_string(lane.captureId) + "\t" + PortName(lane) + "\t" + LaneStateWord(lane.status) + "\t" +
                std::to_string(lane.status.bytes) + "\t" + LocalIsoTime(lane.status.lastByteAt) + "\t" +
                lane.settings.dataFile.GetString() + "\r\n";
    }
    // The outputs in a table of their own, after an empty line: a script that reads the lanes
    // stops there.
    std::string outputs;
    for (const channel::ChannelState& lane : answer.lanes)
        for (const channel::OutputView& o : lane.outputs) {
            std::string peers;
            for (const CString& peer : o.peers) peers += (peers.empty() ? "" : ",") + std::string(peer.GetString());
            outputs += std::to_string(lane.captureId) + "\t" + o.name.GetString() + "\t" + OutputLinkWord(o.link) +
                       "\t" + (peers.empty() ? "-" : peers) + "\t" + std::to_string(o.sent) + "\t" +
                       std::to_string(o.dropped) + "\r\n";
        }
    if (!outputs.empty()) text += "\r\nLane\tOutput\tState\tPeers\tSent\tDropped\r\n" + outputs;
    return text;
}

std::string StatusJson(const StatusAnswer& answer)
{
    if (answer.reach != StatusReach::Answered) {
        const char* service = answer.reach == StatusReach::NotInstalled ? "not-installed"
                              : answer.reach == StatusReach::NotRunning ? "not-running"
                                                                        : "unreachable";
        return std::string("{\"service\":\"") + service + "\",\"message\":" + JsonString(Utf8FromAnsi(Problem(answer))) +
               ",\"lanes\":[]}\r\n";
    }
    std::string json = "{\"service\":\"running\",\"lanes\":[";
    for (size_t i = 0; i < answer.lanes.size(); ++i) {
        const channel::ChannelState& lane = answer.lanes[i];
        const std::string last = LocalIsoTime(lane.status.lastByteAt);
        if (i) json += ",";
        json += "{\"lane\":" + std::to_string(lane.captureId) + ",\"port\":" + JsonString(PortName(lane)) +
                ",\"state\":" + JsonString(LaneStateWord(lane.status)) +
                ",\"bytes\":" + std::to_string(lane.status.bytes) +
                ",\"lastByte\":" + (last == "-" ? std::string("null") : JsonString(last)) +
                ",\"file\":" + JsonString(Utf8FromAnsi(lane.settings.dataFile.GetString())) + ",\"outputs\":[";
        for (size_t o = 0; o < lane.outputs.size(); ++o) {
            const channel::OutputView& out = lane.outputs[o];
            std::string peers;
            for (const CString& peer : out.peers) peers += (peers.empty() ? "" : ",") + JsonString(peer.GetString());
            json += std::string(o ? "," : "") + "{\"output\":" + JsonString(Utf8FromAnsi(out.name.GetString())) +
                    ",\"state\":" + JsonString(OutputLinkWord(out.link)) + ",\"peers\":[" + peers +
                    "],\"sent\":" + std::to_string(out.sent) + ",\"dropped\":" + std::to_string(out.dropped) + "}";
        }
        json += "]}";
    }
    return json + "]}\r\n";
}

int RunStatusCommand(bool json)
{
    const StatusAnswer answer = QueryCollectorStatus(kStatusTimeoutMs);
    if (json)
        Write(StatusJson(answer), CP_UTF8);
    else
        Write(StatusText(answer), CP_ACP);
    return StatusExitCode(answer);
}

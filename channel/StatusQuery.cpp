#include "channel/StatusQuery.h"

#include <algorithm>

#include "platform/Handle.h"
#include "service/ServiceHost.h"

namespace {

constexpr size_t kReadSize = 4096;
// A busy channel (every instance taken) is waited for in short steps, so the deadline holds.
constexpr DWORD kBusyStepMs = 100;

class Deadline {
public:
    explicit Deadline(DWORD ms) : m_start(::GetTickCount()), m_ms(ms) {}
    DWORD Left() const
    {
        const DWORD spent = ::GetTickCount() - m_start;
        return spent >= m_ms ? 0 : m_ms - spent;
    }

private:
    DWORD m_start;
    DWORD m_ms;
};

StatusAnswer Failed(StatusReach reach, DWORD error, std::string why)
{
    StatusAnswer answer;
    answer.reach = reach;
    answer.error = error;
    answer.why = std::move(why);
    return answer;
}

// Waits for one overlapped operation until the deadline; one still out then is cancelled and
// taken back before its buffer goes.
bool Finish(HANDLE pipe, OVERLAPPED& ov, BOOL started, const Deadline& deadline, DWORD& done, DWORD& error)
{
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        error = GetLastError();
        return false;
    }
    if (WaitForSingleObject(ov.hEvent, deadline.Left()) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &ov);
        GetOverlappedResult(pipe, &ov, &done, TRUE);
        error = ERROR_TIMEOUT;
        return false;
    }
    if (!GetOverlappedResult(pipe, &ov, &done, FALSE)) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool Open(const std::string& name, const Deadline& deadline, CHandle& pipe, DWORD& error)
{
    for (;;) {
        // Read and write data only, as a window does: the access list gives every account that.
        pipe.Attach(CreateFileA(name.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe.IsValid()) return true;
        error = GetLastError();
        if (error != ERROR_PIPE_BUSY || deadline.Left() == 0) return false;
        WaitNamedPipeA(name.c_str(), std::min(kBusyStepMs, deadline.Left()));
    }
}

} // namespace

StatusAnswer QueryStatusOverPipe(const std::string& pipeName, const ExpectedServerSource& expected, DWORD timeoutMs)
{
    const Deadline deadline(timeoutMs);
    CHandle pipe;
    DWORD error = 0;
    if (!Open(pipeName, deadline, pipe, error)) {
        if (error == ERROR_ACCESS_DENIED)
            return Failed(StatusReach::Unreachable, error, "the service's channel refused this account");
        if (error == ERROR_PIPE_BUSY)
            return Failed(StatusReach::Unreachable, error, "every connection to the service is in use");
        return Failed(StatusReach::Unreachable, error, "the service's channel is not open");
    }
    // Nothing is read from, or sent to, a server that is not the service.
    if (!IsTrustedPipe(pipe, expected))
        return Failed(StatusReach::Unreachable, 0, "the channel is served by a program that is not the service");

    CHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsValid()) return Failed(StatusReach::Unreachable, GetLastError(), "out of resources");
    std::string hello;
    channel::Encode(channel::Hello{}, hello);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD done = 0;
    if (!Finish(pipe, ov, WriteFile(pipe, hello.data(), static_cast<DWORD>(hello.size()), nullptr, &ov), deadline,
                done, error))
        return Failed(StatusReach::Unreachable, error, "the service did not take the request");

    StatusAnswer answer;
    bool welcomed = false;
    bool listed = false;
    std::vector<bool> have;
    std::string inbound;
    char buffer[kReadSize];
    for (;;) {
        ov = OVERLAPPED();
        ov.hEvent = event;
        if (!Finish(pipe, ov, ReadFile(pipe, buffer, sizeof buffer, nullptr, &ov), deadline, done, error))
            return Failed(StatusReach::Unreachable, error,
                          error == ERROR_TIMEOUT ? "the service did not answer in time" : "the service ended the connection");
        inbound.append(buffer, done);
        channel::Frame frame;
        channel::Decoded decoded;
        while ((decoded = channel::TakeFrame(inbound, frame)) == channel::Decoded::Frame) {
            if (const auto* welcome = std::get_if<channel::Welcome>(&frame)) {
                welcomed = welcome->version == channel::kProtocolVersion;
            } else if (const auto* refused = std::get_if<channel::Refused>(&frame)) {
                if (refused->reason == channel::Refusal::UnsupportedVersion)
                    return Failed(StatusReach::Unreachable, 0, "the service is of another version than this program");
            } else if (const auto* list = std::get_if<channel::LaneList>(&frame)) {
                answer.lanes.clear();
                for (int lane : list->lanes) {
                    channel::ChannelState state;
                    state.captureId = lane;
                    answer.lanes.push_back(state);
                }
                have.assign(answer.lanes.size(), false);
                listed = true;
            } else if (const auto* state = std::get_if<channel::ChannelState>(&frame)) {
                for (channel::ChannelState& lane : answer.lanes)
                    if (lane.captureId == state->captureId) lane = *state;
            } else if (const auto* outputs = std::get_if<channel::LaneOutputs>(&frame)) {
                // The last frame of a lane's state.
                for (size_t i = 0; i < answer.lanes.size(); ++i) {
                    if (answer.lanes[i].captureId != outputs->captureId) continue;
                    answer.lanes[i].outputs = outputs->outputs;
                    have[i] = true;
                }
            }
        }
        if (decoded == channel::Decoded::Malformed || (!welcomed && listed))
            return Failed(StatusReach::Unreachable, 0, "the service's answer could not be read");
        if (welcomed && listed && std::find(have.begin(), have.end(), false) == have.end()) break;
    }
    answer.reach = StatusReach::Answered;
    return answer;
}

StatusAnswer QueryCollectorStatus(DWORD timeoutMs)
{
    const Deadline deadline(timeoutMs);
    CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get()) return Failed(StatusReach::Unreachable, GetLastError(), "the service manager did not answer");
    // Every account that may log on holds this right on a service.
    CServiceHandle service(OpenServiceA(manager.Get(), kCollectorServiceName, SERVICE_QUERY_STATUS));
    if (!service.Get()) {
        const DWORD error = GetLastError();
        // One marked for deletion is on its way out: an uninstall under way.
        if (error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_SERVICE_MARKED_FOR_DELETE)
            return Failed(StatusReach::NotInstalled, error, std::string());
        return Failed(StatusReach::Unreachable, error, "the service manager did not say how the service is");
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        return Failed(StatusReach::Unreachable, GetLastError(), "the service manager did not say how the service is");
    if (status.dwCurrentState != SERVICE_RUNNING) {
        StatusAnswer answer = Failed(StatusReach::NotRunning, 0, std::string());
        answer.serviceState = status.dwCurrentState;
        return answer;
    }
    return QueryStatusOverPipe(channel::kPipeName, ExpectCollectorService, deadline.Left());
}

#include "channel/PipeClient.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <map>
#include <memory>

#include "service/ServiceHost.h"
#include "service/ServiceSid.h"

namespace {

constexpr DWORD kRetryMs = 500;
// Short: the thread cannot see Stop while it waits for a free instance.
constexpr DWORD kWaitForInstanceMs = 250;
constexpr size_t kReadSize = 1024;
constexpr size_t kMaxKept = 32;
constexpr size_t kMaxOutbox = 16 * 1024;

bool Pending(BOOL started)
{
    return started || GetLastError() == ERROR_IO_PENDING;
}

template <typename T>
void KeepBounded(T& queue)
{
    while (queue.size() > kMaxKept) queue.erase(queue.begin());
}

// The SID of the pipe's owner as text; "" when the system reports none.
bool PipeOwner(HANDLE pipe, std::string& owner)
{
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    // The window's GENERIC_READ includes READ_CONTROL, which reading the owner needs.
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return false;
    CLocalPtr<void> owned(sd);
    owner.clear();
    if (!sid) return true;
    CLocalPtr<char> text;
    if (!ConvertSidToStringSidA(sid, text.Receive())) return false;
    owner = text.Get();
    return true;
}

// The service manager's answer for one service. The handles are kept for the process's life, so
// that a connect costs one query, not three calls into the service manager; a handle that stops
// answering (the service was deleted and installed again) is opened anew.
bool QueryServiceProcess(const char* serviceName, SERVICE_STATUS_PROCESS& status)
{
    static CCriticalSection lock;
    static std::map<std::string, std::unique_ptr<CServiceHandle>> services;
    static std::unique_ptr<CServiceHandle> manager;
    CSingleLock guard(&lock, true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!manager || !manager->Get()) manager = std::make_unique<CServiceHandle>(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager->Get()) return false;
        std::unique_ptr<CServiceHandle>& service = services[serviceName];
        // Interactive users hold this right on every service.
        if (!service || !service->Get())
            service = std::make_unique<CServiceHandle>(OpenServiceA(manager->Get(), serviceName, SERVICE_QUERY_STATUS));
        DWORD needed = 0;
        if (service->Get() && QueryServiceStatusEx(service->Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                   sizeof status, &needed))
            return true;
        service.reset();
        if (attempt == 0 && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) continue;
        return false;
    }
    return false;
}

} // namespace

bool ExpectCollectorService(ExpectedServer& expected) { return ExpectService(kCollectorServiceName, expected); }

bool ExpectService(const char* serviceName, ExpectedServer& expected)
{
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryServiceProcess(serviceName, status) || status.dwProcessId == 0) return false;
    expected.processId = status.dwProcessId;
    // An object's owner comes from its creator's token: a standard user can make a pipe owned by
    // itself, never by LocalService or the service's SID. The process id pins the service;
    // the owner covers an id the service let go of and another program took in between.
    CLocalPtr<char> localService;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    expected.owners.clear();
    if (CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &size) && ConvertSidToStringSidA(sid, localService.Receive()))
        expected.owners.push_back(localService.Get());
    const CString serviceSid = CollectorServiceSidString();
    if (!serviceSid.IsEmpty()) expected.owners.push_back(serviceSid.GetString());
    // Whom the service's own token names as the owner of what it makes, where this window may
    // read that token: Windows lets administrators, not standard users, read a LocalService
    // process's token, and there it names LocalService again. Wine runs the service as the
    // PC's one user and owns its objects by that user's owner group.
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    HANDLE raw = nullptr;
    if (process.IsValid() && OpenProcessToken(process, TOKEN_QUERY, &raw)) {
        CHandle token(raw);
        BYTE buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
        DWORD got = 0;
        CLocalPtr<char> owner;
        if (GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &got) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, owner.Receive()))
            expected.owners.push_back(owner.Get());
    }
    return true;
}

bool IsExpectedServer(DWORD serverProcessId, const std::string& ownerSid, const ExpectedServer& expected)
{
    if (serverProcessId == 0 || serverProcessId != expected.processId) return false;
    for (const std::string& owner : expected.owners)
        if (_stricmp(owner.c_str(), ownerSid.c_str()) == 0) return true;
    return false;
}

CPipeClient::CPipeClient(std::string pipeName)
    : m_name(std::move(pipeName)),
      m_stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_sendEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
}

CPipeClient::~CPipeClient()
{
    Stop();
}

void CPipeClient::SetNotifyWindow(HWND window, UINT message)
{
    CSingleLock guard(&m_lock, true);
    m_notifyWindow = window;
    m_notifyMessage = message;
}

void CPipeClient::SetExpectedServer(ExpectedServerSource source) { m_expected = std::move(source); }

bool CPipeClient::Start()
{
    if (m_thread) return true;
    if (!m_stopEvent.IsValid() || !m_sendEvent.IsValid()) return false;
    ResetEvent(m_stopEvent);
    m_thread = AfxBeginThread(ThreadProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr);
    if (!m_thread) return false;
    // The object must outlive the thread: Stop waits on its handle.
    m_thread->m_bAutoDelete = false;
    m_thread->ResumeThread();
    return true;
}

void CPipeClient::Stop()
{
    if (!m_thread) return;
    SetEvent(m_stopEvent);
    // The thread waits on the stop event everywhere but in a bounded wait for a free instance.
    WaitForSingleObject(m_thread->m_hThread, INFINITE);
    delete m_thread;
    m_thread = nullptr;
}

bool CPipeClient::IsConnected() const
{
    CSingleLock guard(&m_lock, true);
    return m_connected;
}

std::vector<channel::ChannelState> CPipeClient::States() const
{
    CSingleLock guard(&m_lock, true);
    std::vector<channel::ChannelState> states;
    if (!m_connected) return states;
    // A lane just added is left out until its state comes.
    for (size_t i = 0; i < m_states.size(); ++i)
        if (m_haveState[i]) states.push_back(m_states[i]);
    return states;
}

std::vector<channel::UserMessage> CPipeClient::TakeMessages()
{
    CSingleLock guard(&m_lock, true);
    std::vector<channel::UserMessage> out(m_messages.begin(), m_messages.end());
    m_messages.clear();
    return out;
}

std::vector<channel::Refused> CPipeClient::TakeRefusals()
{
    CSingleLock guard(&m_lock, true);
    std::vector<channel::Refused> out;
    out.swap(m_refusals);
    return out;
}

bool CPipeClient::MayControl() const
{
    CSingleLock guard(&m_lock, true);
    return m_connected && m_mayControl;
}

CString CPipeClient::Account() const
{
    CSingleLock guard(&m_lock, true);
    return m_connected ? m_account : CString();
}

bool CPipeClient::Dismissed() const
{
    CSingleLock guard(&m_lock, true);
    return m_dismissed;
}

int CPipeClient::UntrustedServers() const
{
    CSingleLock guard(&m_lock, true);
    return m_untrusted;
}

bool CPipeClient::Save(int captureId, const CollectorSettings& settings)
{
    return Send(channel::SaveSettings{captureId, settings});
}

bool CPipeClient::Run(int captureId, const CollectorSettings& settings)
{
    return Send(channel::RunCapture{captureId, settings});
}

bool CPipeClient::StopCapture(int captureId)
{
    return Send(channel::StopCapture{captureId});
}

bool CPipeClient::AddLane(int lane, const CollectorSettings& settings)
{
    return Send(channel::AddLane{lane, settings});
}

bool CPipeClient::RemoveLane(int lane) { return Send(channel::RemoveLane{lane}); }

bool CPipeClient::Send(const channel::Frame& frame)
{
    std::string bytes;
    if (!channel::Encode(frame, bytes)) return false;
    {
        CSingleLock guard(&m_lock, true);
        if (!m_connected || m_outbox.size() + bytes.size() > kMaxOutbox) return false;
        m_outbox += bytes;
    }
    SetEvent(m_sendEvent);
    return true;
}

UINT __cdecl CPipeClient::ThreadProc(void* param)
{
    static_cast<CPipeClient*>(param)->Loop();
    return 0;
}

void CPipeClient::Loop()
{
    do {
        CHandle pipe;
        if (Open(pipe)) {
            if (Trusted(pipe)) {
                Converse(pipe);
                SetDisconnected();
            } else {
                CSingleLock guard(&m_lock, true);
                ++m_untrusted;
            }
        }
    } while (!Dismissed() && !WaitStop(kRetryMs));
}

bool CPipeClient::WaitStop(DWORD ms) const
{
    return WaitForSingleObject(m_stopEvent, ms) == WAIT_OBJECT_0;
}

bool CPipeClient::Open(CHandle& pipe)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Only read and write data: more would need rights the pipe's access list does not
        // give a session's user. Identification only: the server may not act as this user.
        pipe.Attach(CreateFileA(m_name.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe.IsValid()) return true;
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(m_name.c_str(), kWaitForInstanceMs)) return false;
    }
    return false;
}

bool IsTrustedPipe(HANDLE pipe, const ExpectedServerSource& source)
{
    ExpectedServer expected;
    if (!source || !source(expected)) return false;
    ULONG serverProcessId = 0;
    std::string owner;
    return GetNamedPipeServerProcessId(pipe, &serverProcessId) && PipeOwner(pipe, owner) &&
           IsExpectedServer(serverProcessId, owner, expected);
}

bool CPipeClient::Trusted(HANDLE pipe) const { return IsTrustedPipe(pipe, m_expected); }

void CPipeClient::Converse(HANDLE pipe)
{
    CHandle readEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    CHandle writeEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!readEvent.IsValid() || !writeEvent.IsValid()) return;
    OVERLAPPED readOv = {};
    OVERLAPPED writeOv = {};
    char buffer[kReadSize];
    std::string inbound;
    std::string sending;
    channel::Encode(channel::Hello{}, sending);
    bool reading = false;
    bool writing = false;

    for (;;) {
        if (!reading) {
            readOv = OVERLAPPED();
            readOv.hEvent = readEvent;
            if (!Pending(ReadFile(pipe, buffer, sizeof buffer, nullptr, &readOv))) break;
            reading = true;
        }
        if (!writing) {
            if (sending.empty()) {
                CSingleLock guard(&m_lock, true);
                sending.swap(m_outbox);
            }
            if (!sending.empty()) {
                writeOv = OVERLAPPED();
                writeOv.hEvent = writeEvent;
                if (!Pending(WriteFile(pipe, sending.data(), static_cast<DWORD>(sending.size()), nullptr, &writeOv)))
                    break;
                writing = true;
            }
        }
        HANDLE waits[] = {m_stopEvent, m_sendEvent, readEvent, writeEvent};
        DWORD r = WaitForMultipleObjects(writing ? 4 : 3, waits, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) break;

        DWORD n = 0;
        // Both may have finished; a busy reader must not starve the writer or the other way round.
        if (writing && HasOverlappedIoCompleted(&writeOv)) {
            writing = false;
            if (!GetOverlappedResult(pipe, &writeOv, &n, FALSE)) break;
            sending.clear();
        }
        if (reading && HasOverlappedIoCompleted(&readOv)) {
            reading = false;
            if (!GetOverlappedResult(pipe, &readOv, &n, FALSE)) break;
            inbound.append(buffer, n);
            bool broken = false;
            channel::Frame frame;
            for (;;) {
                channel::Decoded d = channel::TakeFrame(inbound, frame);
                if (d == channel::Decoded::NeedMore) break;
                if (d == channel::Decoded::Malformed || !Take(frame) || Dismissed()) {
                    // Told to go: the service need not wait for this window to close.
                    broken = true;
                    break;
                }
            }
            Notify();
            if (broken) break;
        }
    }
    // Take back the operations still out before their buffers go.
    DWORD n = 0;
    if (reading || writing) CancelIoEx(pipe, nullptr);
    if (reading) GetOverlappedResult(pipe, &readOv, &n, TRUE);
    if (writing) GetOverlappedResult(pipe, &writeOv, &n, TRUE);
}

bool CPipeClient::Take(const channel::Frame& frame)
{
    CSingleLock guard(&m_lock, true);
    if (const auto* welcome = std::get_if<channel::Welcome>(&frame)) {
        if (m_welcomed || welcome->version != channel::kProtocolVersion) return false;
        m_welcomed = true;
        m_mayControl = welcome->mayControl;
        m_account = welcome->account;
        m_states.clear();
        m_listed = false;
        return true;
    }
    if (const auto* refused = std::get_if<channel::Refused>(&frame)) {
        m_refusals.push_back(*refused);
        KeepBounded(m_refusals);
        return refused->reason != channel::Refusal::UnsupportedVersion;
    }
    if (!m_welcomed) return false;
    if (const auto* list = std::get_if<channel::LaneList>(&frame)) {
        std::vector<channel::ChannelState> states;
        std::vector<bool> have;
        for (int lane : list->lanes) {
            if (lane < 1 || lane > channel::kMaxLanes || (!states.empty() && lane <= states.back().captureId))
                return false;
            channel::ChannelState kept;
            kept.captureId = lane;
            bool known = false;
            for (size_t i = 0; i < m_states.size(); ++i) {
                if (m_states[i].captureId != lane) continue;
                kept = m_states[i];
                known = m_haveState[i];
            }
            states.push_back(kept);
            have.push_back(known);
        }
        m_states.swap(states);
        m_haveState.swap(have);
        m_listed = true;
        UpdateConnected();
        return true;
    }
    if (const auto* state = std::get_if<channel::ChannelState>(&frame)) {
        for (size_t i = 0; i < m_states.size(); ++i) {
            if (m_states[i].captureId != state->captureId) continue;
            // Its outputs come in the frame that follows.
            std::vector<channel::OutputView> outputs = std::move(m_states[i].outputs);
            m_states[i] = *state;
            m_states[i].outputs = std::move(outputs);
            m_haveState[i] = true;
            UpdateConnected();
            return true;
        }
        // A state of a lane just removed may still have been on its way: it is dropped.
        return m_listed;
    }
    if (const auto* outputs = std::get_if<channel::LaneOutputs>(&frame)) {
        for (channel::ChannelState& state : m_states)
            if (state.captureId == outputs->captureId) state.outputs = outputs->outputs;
        return m_listed;
    }
    if (const auto* message = std::get_if<channel::UserMessage>(&frame)) {
        m_messages.push_back(*message);
        KeepBounded(m_messages);
        return true;
    }
    if (std::holds_alternative<channel::Dismiss>(frame)) {
        m_dismissed = true;
        return true;
    }
    return false; // a frame only a window sends
}

void CPipeClient::SetDisconnected()
{
    bool was = false;
    {
        CSingleLock guard(&m_lock, true);
        was = m_connected;
        m_connected = false;
        m_welcomed = false;
        m_mayControl = false;
        m_account.Empty();
        m_listed = false;
        m_states.clear();
        m_haveState.clear();
        m_outbox.clear();
    }
    if (was) Notify();
}

void CPipeClient::UpdateConnected()
{
    if (m_connected || !m_listed) return;
    m_connected = std::find(m_haveState.begin(), m_haveState.end(), false) == m_haveState.end();
}

void CPipeClient::Notify() const
{
    CSingleLock guard(&m_lock, true);
    if (m_notifyWindow) PostMessageA(m_notifyWindow, m_notifyMessage, 0, 0);
}

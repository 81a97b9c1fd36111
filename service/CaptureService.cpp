#include "service/CaptureService.h"

#include <string>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "settings/BootMarks.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"

namespace {
// The service writes the file as its own account, not as the user who picked it.
const char kFileHint[] = "The capture runs in the Orvane POS Collector service, as NT SERVICE\\OrvanePOSCollector: "
                         "the file's folder must let that account write, as the collector's folder in ProgramData "
                         "(C:\\ProgramData\\Orvane DVR\\POSCollector) does.";

// A deployment tool writes the values one at a time: a change is taken in once the key has been
// quiet this long, so that the capture moves once, not once per value. Bounded, so that a key
// rewritten without end still acts within a few seconds.
const DWORD kSettleMs = 200;
const int kSettleRounds = 10;

// Everything but RunAtStartup, which matters only at the next boot.
bool SameCapture(const CollectorSettings& a, const CollectorSettings& b)
{
    CollectorSettings x = a;
    x.runAtStartup = b.runAtStartup;
    return x == b;
}

void NoteFailure(const char* what, LONG error)
{
    ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_COLLECTOR_NOTE,
                         {CString(what) + ": " + SystemErrorText(static_cast<DWORD>(error))});
}
} // namespace

CCaptureService::CCaptureService() : m_changed(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    m_last.state = CaptureState::Ended;
}

CCaptureService::~CCaptureService() { Shutdown(); }

void CCaptureService::Resume()
{
    CSingleLock commands(&m_commands, true);
    bool present = false;
    ServiceParameters stored = LoadServiceParameters(present);
    if (!present) {
        // The first start after an upgrade from a version that kept its settings in the family
        // key alone: the shop's settings are taken from there, once. Loading creates the family
        // keys, which must not come into being as the parents of the volatile key below.
        stored.settings = LoadCollectorSettings();
        const LONG rc = SaveServiceSettings(stored.settings);
        if (rc != ERROR_SUCCESS) NoteFailure("The settings could not be kept in the service's Parameters key", rc);
    } else if (LoadCollectorSettings() != stored.settings) {
        // Changed while the service did not run, or a stale window wrote over them: the recorder
        // reads the family key.
        CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
        SaveCollectorSettings(key, stored.settings);
    }
    // After the save: the watch hears of others' changes from here on.
    m_watch.Arm();
    {
        CSingleLock guard(&m_lock, true);
        m_settings = stored.settings;
        m_stored = stored;
    }
    bool known = false;
    const bool boot = FirstStartSinceBoot(known);
    if (boot) {
        // As the program did at its own start: a new capture, the file emptied.
        if (stored.settings.runAtStartup) Start(stored.settings, false, ThisProcess("the boot"));
    } else if (known && CaptureWasRunning()) {
        // A restart under a running capture: it goes on, appending.
        Start(stored.settings, true, ThisProcess("a restart"));
    }
}

bool CCaptureService::Run(int id, const CollectorSettings& settings, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (id < 1 || id > kCaptures) return false;
    Keep(settings, who);
    Start(settings, false, who);
    return true;
}

bool CCaptureService::Save(int id, const CollectorSettings& settings, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (id < 1 || id > kCaptures) return false;
    Keep(settings, who);
    ::SetEvent(m_changed);
    return true;
}

void CCaptureService::Keep(const CollectorSettings& settings, const Requester& who)
{
    ServiceParameters before = m_stored;
    before.settings = m_settings;
    ServiceParameters after = before;
    after.settings = settings;
    LogChange(before, after, who);
    // The service keeps the settings now, not the windows: every window and the next boot see
    // them. The family key too: the recorder and desktop mode read that one.
    const LONG rc = SaveServiceSettings(settings);
    if (rc == ERROR_SUCCESS)
        m_stored.settings = settings; // so that the watch does not take this write for someone else's
    else
        NoteFailure("The settings could not be kept in the service's Parameters key", rc);
    CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    SaveCollectorSettings(key, settings);
    CSingleLock guard(&m_lock, true);
    m_settings = settings;
}

void CCaptureService::OnParametersChanged()
{
    CSingleLock commands(&m_commands, true);
    // Armed again first: a change made while the key is read is heard next time.
    if (!m_watch.Arm()) return;
    bool present = false;
    ServiceParameters now = LoadServiceParameters(present);
    // Values deleted leave the capture as it is rather than falling back to the defaults. The
    // same values again (a policy refresh, the service's own write) cost no wait.
    if (!present || now == m_stored) return;
    for (int round = 0; round < kSettleRounds && ::WaitForSingleObject(m_watch.Event(), kSettleMs) == WAIT_OBJECT_0;
         ++round)
        m_watch.Arm();
    now = LoadServiceParameters(present);
    if (!present || now == m_stored) return;
    const Requester who = ThisProcess("a deployment");
    LogChange(m_stored, now, who);
    m_stored = now;
    const CollectorSettings before = m_settings;
    if (now.settings == before) return;
    CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    SaveCollectorSettings(key, now.settings);
    bool running = false;
    {
        CSingleLock guard(&m_lock, true);
        m_settings = now.settings;
        running = m_worker != nullptr;
    }
    // Nobody chose to empty the file: the capture goes on with the new settings, appending
    // (to the new file when it moved). A capture that does not run keeps them for its next Run.
    if (running && !SameCapture(before, now.settings))
        Start(now.settings, true, who, "its settings were changed");
    ::SetEvent(m_changed);
}

void CCaptureService::LogChange(const ServiceParameters& before, const ServiceParameters& after, const Requester& who)
{
    const CString changes = ParameterChangesText(before, after);
    if (changes.IsEmpty()) return;
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_SETTINGS_CHANGED,
                         {changes, who.account, CString(std::to_string(who.sessionId).c_str()), who.how});
}

bool CCaptureService::Stop(int id, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (id < 1 || id > kCaptures) return false;
    EndWorker(true, "stopped by the user", who);
    return true;
}

void CCaptureService::Shutdown()
{
    CSingleLock commands(&m_commands, true);
    EndWorker(false, "the service was stopped", ThisProcess("a stop of the service"));
}

void CCaptureService::Start(const CollectorSettings& settings, bool append, const Requester& who, const char* endWhy)
{
    EndWorker(false, endWhy, who);
    auto worker = std::make_unique<CCaptureWorker>();
    worker->SetNotifyEvent(m_changed);
    if (m_portFactory) worker->SetPortFactory(m_portFactory);
    SetCaptureRunning(true);
    CaptureRequest request = MakeCaptureRequest(settings, who);
    request.append = append;
    request.fileHint = kFileHint;
    worker->Start(request);
    CSingleLock guard(&m_lock, true);
    m_worker = std::move(worker);
    m_last = m_worker->GetStatus();
    ::SetEvent(m_changed);
}

void CCaptureService::EndWorker(bool forgetRunning, const char* why, const Requester& who)
{
    std::unique_ptr<CCaptureWorker> worker;
    {
        CSingleLock guard(&m_lock, true);
        worker = std::move(m_worker);
    }
    if (worker) {
        worker->StopBecause(why, who);
        CSingleLock guard(&m_lock, true);
        for (CaptureMessage& m : worker->TakeMessages()) m_messages.push_back(std::move(m));
        m_last = worker->GetStatus();
    }
    if (forgetRunning) SetCaptureRunning(false);
    ::SetEvent(m_changed);
}

void CCaptureService::Refresh()
{
    CSingleLock commands(&m_commands, true);
    bool ended = false;
    {
        CSingleLock guard(&m_lock, true);
        if (!m_worker) return;
        for (CaptureMessage& m : m_worker->TakeMessages()) m_messages.push_back(std::move(m));
        while (m_messages.size() > CCaptureWorker::kMaxWaitingMessages) m_messages.erase(m_messages.begin());
        m_last = m_worker->GetStatus();
        ended = m_last.state == CaptureState::Ended;
    }
    // Ended for good on its own (refused settings, a file that cannot be created): a restart
    // must not start it again.
    if (ended) EndWorker(true, "stopped", ThisProcess("the capture itself"));
}

std::vector<CaptureView> CCaptureService::States() const
{
    CSingleLock guard(&m_lock, true);
    CaptureView view;
    view.id = 1;
    view.running = m_worker != nullptr;
    view.status = m_worker ? m_worker->GetStatus() : m_last;
    view.settings = m_settings;
    return {view};
}

std::vector<CaptureMessage> CCaptureService::TakeMessages(int id)
{
    CSingleLock guard(&m_lock, true);
    std::vector<CaptureMessage> taken;
    if (id == 1) taken.swap(m_messages);
    return taken;
}

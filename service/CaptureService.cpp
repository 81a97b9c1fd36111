#include "service/CaptureService.h"

#include "settings/BootMarks.h"
#include "settings/RegistryKey.h"

namespace {
// The service writes the file as its own account, not as the user who picked it.
const char kFileHint[] = "The capture runs in the Orvane POS Collector service, as NT SERVICE\\OrvanePOSCollector: "
                         "the file's folder must let that account write, as the collector's folder in ProgramData "
                         "(C:\\ProgramData\\Orvane DVR\\POSCollector) does.";
} // namespace

CCaptureService::CCaptureService() : m_changed(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    m_last.state = CaptureState::Ended;
}

CCaptureService::~CCaptureService() { Shutdown(); }

void CCaptureService::Resume()
{
    CSingleLock commands(&m_commands, true);
    // The settings first: loading creates the keys, which must not come into being as the
    // parents of the volatile key below, and so be volatile too.
    CollectorSettings settings = LoadCollectorSettings();
    {
        CSingleLock guard(&m_lock, true);
        m_settings = settings;
    }
    bool known = false;
    const bool boot = FirstStartSinceBoot(known);
    if (boot) {
        // As the program did at its own start: a new capture, the file emptied.
        if (settings.runAtStartup) Start(settings, false);
    } else if (known && CaptureWasRunning()) {
        // A restart under a running capture: it goes on, appending.
        Start(settings, true);
    }
}

bool CCaptureService::Run(int id, const CollectorSettings& settings, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (id < 0 || id >= kCaptures) return false;
    if (!Save(id, settings, who)) return false;
    Start(settings, false);
    return true;
}

bool CCaptureService::Save(int id, const CollectorSettings& settings, const Requester&)
{
    CSingleLock commands(&m_commands, true);
    if (id < 0 || id >= kCaptures) return false;
    // The service keeps the settings now, not the windows: every window and the next boot see them.
    CRegistryKey key(0, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    SaveCollectorSettings(key, settings);
    CSingleLock guard(&m_lock, true);
    m_settings = settings;
    ::SetEvent(m_changed);
    return true;
}

bool CCaptureService::Stop(int id, const Requester&)
{
    CSingleLock commands(&m_commands, true);
    if (id < 0 || id >= kCaptures) return false;
    EndWorker(true, "stopped by the user");
    return true;
}

void CCaptureService::Shutdown()
{
    CSingleLock commands(&m_commands, true);
    EndWorker(false, "the service was stopped");
}

void CCaptureService::Start(const CollectorSettings& settings, bool append)
{
    EndWorker(false, "a new capture was started");
    auto worker = std::make_unique<CCaptureWorker>();
    worker->SetNotifyEvent(m_changed);
    worker->SetAppend(append);
    worker->SetFileHint(kFileHint);
    if (m_portFactory) worker->SetPortFactory(m_portFactory);
    SetCaptureRunning(true);
    worker->Start(settings, nullptr);
    CSingleLock guard(&m_lock, true);
    m_worker = std::move(worker);
    m_last = m_worker->GetStatus();
    ::SetEvent(m_changed);
}

void CCaptureService::EndWorker(bool forgetRunning, const char* why)
{
    std::unique_ptr<CCaptureWorker> worker;
    {
        CSingleLock guard(&m_lock, true);
        worker = std::move(m_worker);
    }
    if (worker) {
        worker->StopBecause(why);
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
    if (ended) EndWorker(true, "stopped");
}

std::vector<CaptureView> CCaptureService::States() const
{
    CSingleLock guard(&m_lock, true);
    CaptureView view;
    view.id = 0;
    view.running = m_worker != nullptr;
    view.status = m_worker ? m_worker->GetStatus() : m_last;
    view.settings = m_settings;
    return {view};
}

std::vector<CaptureMessage> CCaptureService::TakeMessages(int id)
{
    CSingleLock guard(&m_lock, true);
    std::vector<CaptureMessage> taken;
    if (id == 0) taken.swap(m_messages);
    return taken;
}

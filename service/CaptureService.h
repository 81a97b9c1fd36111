#pragma once
// CCaptureService: the captures the service runs for the machine, one per COM port in time;
// one today (id 0). At the service's start a capture that was running goes on in its file; at
// boot "Run Collector At Startup" starts one afresh. The sessions' windows run and stop them.
// The settings come from the service's Parameters key, which only administrators, SYSTEM and
// the service may change; a change made there by anyone else acts within a few seconds.
#include <windows.h>

#include <memory>
#include <vector>

#include "capture/CaptureWorker.h"
#include "platform/Handle.h"
#include "platform/Sync.h"
#include "capture/Requester.h"
#include "settings/ServiceParameters.h"
#include "settings/SettingsStore.h"

struct CaptureView {
    int id = 0;
    bool running = false; // a capture runs or waits; false once it has ended
    CaptureStatus status;
    // The settings it runs with, or would run with at the next Run.
    CollectorSettings settings;
};

class CCaptureService {
public:
    static const int kCaptures = 1;

    CCaptureService();
    ~CCaptureService();
    CCaptureService(const CCaptureService&) = delete;
    CCaptureService& operator=(const CCaptureService&) = delete;

    // The service has started: resume the capture a restart interrupted, or at boot start the
    // one the settings ask for, with the settings of the Parameters key (taken once from the
    // family key when it has none). Call it on the thread that serves: it arms the watch.
    void Resume();
    // Run from a window: the settings as the window saved them; the file is emptied.
    // Run and Save write the settings to the Parameters key and the family key.
    bool Run(int id, const CollectorSettings& settings, const Requester& who);
    // Stop from a window: the capture ends, and a restart of the service does not resume it.
    bool Stop(int id, const Requester& who);
    // The settings changed without a Run: kept for the next one (and the next boot).
    bool Save(int id, const CollectorSettings& settings, const Requester& who);
    // The service stops: captures end as Stop ends them, but a restart resumes them.
    void Shutdown();

    // Set when a value of the Parameters key may have changed; then call OnParametersChanged.
    HANDLE ParametersEvent() const { return m_watch.Event(); }
    // Takes in a change someone else made to the Parameters key: a real change of a line
    // setting or the file moves the capture to them, appending; rewriting the same values does
    // nothing. Logged as a change by "a deployment".
    void OnParametersChanged();

    // Set whenever a capture changes or has a message; then call Refresh.
    HANDLE ChangeEvent() const { return m_changed; }
    // Takes in what changed: a capture that ended on its own is not resumed after a restart.
    void Refresh();
    std::vector<CaptureView> States() const;
    std::vector<CaptureMessage> TakeMessages(int id);

    // How ports are made (tests).
    void SetPortFactory(CCaptureWorker::PortFactory factory) { m_portFactory = std::move(factory); }

private:
    void Start(const CollectorSettings& settings, bool append, const Requester& who,
               const char* endWhy = "a new capture was started");
    void EndWorker(bool forgetRunning, const char* why, const Requester& who);
    // Writes both keys and logs what changed.
    void Keep(const CollectorSettings& settings, const Requester& who);
    void LogChange(const ServiceParameters& before, const ServiceParameters& after, const Requester& who);

    // One command at a time: a Run from one window and a Stop from another do not interleave.
    CCriticalSection m_commands;
    mutable CCriticalSection m_lock;
    CHandle m_changed;
    std::unique_ptr<CCaptureWorker> m_worker;
    CaptureStatus m_last;
    CollectorSettings m_settings;
    // What the Parameters key held when last read or written: a change is a difference from it.
    ServiceParameters m_stored;
    CParametersWatch m_watch;
    std::vector<CaptureMessage> m_messages;
    CCaptureWorker::PortFactory m_portFactory;
};

#pragma once
// CCaptureService: the lanes the service captures for the machine, up to 16, one COM port and
// one capture file each, every lane with a capture of its own. Lane 1's settings are the
// service's Parameters key (and the family key, which the recorder reads); lane N's are the
// key Parameters\LaneN. At the service's start a lane that was running goes on in its file; at
// boot "Run Collector At Startup" starts it afresh. The sessions' windows run, stop, add and
// remove lanes; a change made in the keys by anyone else acts within a few seconds. What
// happens to one lane never touches another. A running lane also feeds its network outputs.
#include <windows.h>

#include <map>
#include <memory>
#include <vector>

#include "capture/CaptureWorker.h"
#include "capture/Requester.h"
#include "platform/Handle.h"
#include "platform/Sync.h"
#include "service/NetworkOutput.h"
#include "settings/ServiceParameters.h"
#include "settings/SettingsStore.h"

struct CaptureView {
    int id = 0;           // the lane
    bool running = false; // a capture runs or waits; false once it has ended
    CaptureStatus status;
    // The settings it runs with, or would run with at the next Run.
    CollectorSettings settings;
    // The lane's network outputs while its capture runs.
    std::vector<OutputState> outputs;
};

class CCaptureService {
public:
    CCaptureService();
    ~CCaptureService();
    CCaptureService(const CCaptureService&) = delete;
    CCaptureService& operator=(const CCaptureService&) = delete;

    // The service has started: resume the lanes a restart interrupted, or at boot start the ones
    // whose settings ask for it (lane 1's taken once from the family key when Parameters has
    // none). Call it on the thread that serves: it arms the watch.
    void Resume();
    // Run from a window: the settings as the window saved them; the file is emptied. Run and
    // Save write the lane's key (lane 1: the family key too). False when there is no such lane
    // or another lane has that port (the lane is then told why).
    bool Run(int lane, const CollectorSettings& settings, const Requester& who);
    // Stop from a window: the capture ends, and a restart of the service does not resume it.
    bool Stop(int lane, const Requester& who);
    // The settings changed without a Run: kept for the next one (and the next boot).
    bool Save(int lane, const CollectorSettings& settings, const Requester& who);
    // A new lane (2 to 16) with these settings, written to its key, not running.
    bool AddLane(int lane, const CollectorSettings& settings, const Requester& who);
    // Ends the lane's capture as Stop does and deletes its key; lane 1 stays.
    bool RemoveLane(int lane, const Requester& who);
    // The service stops: captures end as Stop ends them, but a restart resumes them.
    void Shutdown();

    // Set when a value of the keys may have changed; then call OnParametersChanged.
    HANDLE ParametersEvent() const { return m_watch.Event(); }
    // Takes in a change someone else made to the keys: a real change of a lane's line setting,
    // file or silence alert moves its capture to them, appending; a new LaneN key is a new lane
    // (started when RunAtStartup asks), a deleted one ends its lane; rewriting the same values
    // does nothing. Logged as a change by "a deployment".
    void OnParametersChanged();

    // Set whenever a capture changes or has a message; then call Refresh.
    HANDLE ChangeEvent() const { return m_changed; }
    // Takes in what changed: a capture that ended on its own is not resumed after a restart.
    void Refresh();
    // Every lane, in rising order.
    std::vector<CaptureView> States() const;
    std::vector<CaptureMessage> TakeMessages(int lane);

    // How ports are made (tests).
    void SetPortFactory(CCaptureWorker::PortFactory factory) { m_portFactory = std::move(factory); }

private:
    struct Lane {
        std::unique_ptr<CCaptureWorker> worker;
        CaptureStatus last;
        CollectorSettings settings;
        // What the lane's key held when last read or written: a change is a difference from it.
        ServiceParameters stored;
        std::vector<CaptureMessage> messages;
        // Another lane captures this lane's port: it does not run until the clash is gone.
        int blockedBy = 0;
        std::vector<CString> unreadableTold;
        // Runs while the capture runs; the capture's tap, so kept across restarts of the capture
        // (a change of line settings does not cost the recorders their connections).
        std::shared_ptr<CLaneOutputs> outputs;
        std::vector<CString> outputsTold;
        unsigned codePageTold = 0;
    };

    Lane* Find(int lane);
    // The other lane that holds port, or 0.
    int PortHolder(int lane, int port) const;
    void Start(int lane, bool append, const Requester& who, const char* endWhy = "a new capture was started");
    void EndWorker(int lane, bool forgetRunning, const char* why, const Requester& who);
    // Writes the lane's key (lane 1: the family key too) and logs what changed.
    void Keep(int lane, const CollectorSettings& settings, const Requester& who);
    void LogChange(int lane, const ServiceParameters& before, const ServiceParameters& after, const Requester& who);
    void TellPortTaken(int lane, int holder);
    void NoteUnreadable(int lane);
    // Runs the outputs the lane's key names, telling once of those that cannot be read.
    void StartOutputs(int lane);
    void LogOutputEvents(int lane, const std::vector<OutputEvent>& events);
    // After the keys changed: lanes that came to a port another lane holds stop, lanes whose
    // clash has gone are free again. Returns the lanes freed.
    std::vector<int> ResolvePorts(const std::vector<int>& moved);
    void Tell(int lane, const CString& text);

    // One command at a time: a Run from one window and a Stop from another do not interleave.
    CCriticalSection m_commands;
    // Guards m_lanes' set and what States and TakeMessages read.
    mutable CCriticalSection m_lock;
    CHandle m_changed;
    std::map<int, Lane> m_lanes;
    CParametersWatch m_watch;
    CCaptureWorker::PortFactory m_portFactory;
};

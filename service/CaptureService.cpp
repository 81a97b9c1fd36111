#include "service/CaptureService.h"

#include <algorithm>
#include <string>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "settings/BootMarks.h"
#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"
#include "service/ReceiptText.h"

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

// Everything the capture runs with but RunAtStartup, which matters only at the next boot.
bool SameCapture(const ServiceParameters& a, const ServiceParameters& b)
{
    CollectorSettings x = a.settings;
    x.runAtStartup = b.settings.runAtStartup;
    return x == b.settings && a.silenceMinutes == b.silenceMinutes && a.openHours == b.openHours;
}

void NoteFailure(const char* what, LONG error)
{
    ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_COLLECTOR_NOTE,
                         {CString(what) + ": " + SystemErrorText(static_cast<DWORD>(error))});
}

CString Prefix(int lane, int port) { return LaneName(lane, port) + ": "; }

CString Number(unsigned long value) { return CString(std::to_string(value).c_str()); }

// More would be a shop's whole recorder room on one till; each output has a thread.
const size_t kMaxOutputsPerLane = 8;

// The system's reasons end as sentences do; our own may not.
CString Sentence(const std::string& why)
{
    CString text(why.c_str());
    if (!text.IsEmpty() && text[text.GetLength() - 1] != '.') text += ".";
    return text;
}

void SaveFamily(const CollectorSettings& settings)
{
    CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    SaveCollectorSettings(key, settings);
}
} // namespace

CCaptureService::CCaptureService() : m_changed(::CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    // Lane 1 is always there, running or not.
    m_lanes[1].last.state = CaptureState::Ended;
}

CCaptureService::~CCaptureService() { Shutdown(); }

CCaptureService::Lane* CCaptureService::Find(int lane)
{
    auto found = m_lanes.find(lane);
    return found == m_lanes.end() ? nullptr : &found->second;
}

int CCaptureService::PortHolder(int lane, int port) const
{
    for (const auto& other : m_lanes)
        if (other.first != lane && other.second.blockedBy == 0 && other.second.settings.commPort == port)
            return other.first;
    return 0;
}

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
        SaveFamily(stored.settings);
    }
    std::map<int, ServiceParameters> lanes = LoadServiceLanes();
    lanes[1] = stored;
    // After the save: the watch hears of others' changes from here on.
    m_watch.Arm();
    std::vector<int> all;
    {
        CSingleLock guard(&m_lock, true);
        for (auto& entry : lanes) {
            Lane& lane = m_lanes[entry.first];
            lane.settings = entry.second.settings;
            lane.stored = entry.second;
            lane.last.state = CaptureState::Ended;
            lane.last.port = lane.settings.commPort;
            all.push_back(entry.first);
        }
    }
    // Before anything marks a lane: the first mark would make the boot's volatile key.
    bool known = false;
    const bool boot = FirstStartSinceBoot(known);
    for (int lane : all) NoteUnreadable(lane);
    // Lane by lane in rising order: of two on one port, the higher one is refused.
    ResolvePorts(all);
    for (auto& entry : m_lanes) {
        if (entry.second.blockedBy) continue;
        if (boot) {
            // As the program did at its own start: a new capture, the file emptied.
            if (entry.second.settings.runAtStartup) Start(entry.first, false, ThisProcess("the boot"));
        } else if (known && CaptureWasRunning(entry.first)) {
            // A restart under a running capture: it goes on, appending.
            Start(entry.first, true, ThisProcess("a restart"));
        }
    }
}

bool CCaptureService::Run(int lane, const CollectorSettings& settings, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    Lane* found = Find(lane);
    if (!found) return false;
    // Checked again here: two windows may each have asked for the same free port.
    if (const int holder = PortHolder(lane, settings.commPort)) {
        TellPortTaken(lane, holder);
        return false;
    }
    Keep(lane, settings, who);
    found->blockedBy = 0;
    Start(lane, false, who);
    return true;
}

bool CCaptureService::Save(int lane, const CollectorSettings& settings, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (!Find(lane)) return false;
    if (const int holder = PortHolder(lane, settings.commPort)) {
        TellPortTaken(lane, holder);
        return false;
    }
    Keep(lane, settings, who);
    ::SetEvent(m_changed);
    return true;
}

bool CCaptureService::AddLane(int lane, const CollectorSettings& settings, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (lane < 2 || lane > kMaxServiceLanes || Find(lane) || PortHolder(lane, settings.commPort)) return false;
    const LONG rc = SaveLaneSettings(lane, settings);
    if (rc != ERROR_SUCCESS) {
        NoteFailure(LaneName(lane, settings.commPort) + " could not be added to the service's Parameters key", rc);
        return false;
    }
    // What the key holds now, SilenceMinutes and OpenHours a deployment may have left there
    // included: the watch must not take this write for someone else's.
    ServiceParameters stored = LoadServiceLanes()[lane];
    stored.settings = settings;
    {
        CSingleLock guard(&m_lock, true);
        Lane& added = m_lanes[lane];
        added.settings = settings;
        added.stored = stored;
        added.last.state = CaptureState::Ended;
        added.last.port = settings.commPort;
    }
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_LANE_ADDED,
                             {Prefix(lane, settings.commPort), settings.dataFile, who.account,
                              Number(who.sessionId), who.how});
    ::SetEvent(m_changed);
    return true;
}

bool CCaptureService::RemoveLane(int lane, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    Lane* found = Find(lane);
    if (lane == 1 || !found) return false;
    const CollectorSettings settings = found->settings;
    EndWorker(lane, true, "the lane was removed", who);
    const LONG rc = DeleteLaneKey(lane);
    if (rc != ERROR_SUCCESS) {
        // Kept: a lane whose key stays would come back at the next start.
        NoteFailure(LaneName(lane, settings.commPort) + " could not be removed from the service's Parameters key", rc);
        return false;
    }
    {
        CSingleLock guard(&m_lock, true);
        m_lanes.erase(lane);
    }
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_LANE_REMOVED,
                         {Prefix(lane, settings.commPort), settings.dataFile, who.account, Number(who.sessionId),
                          who.how});
    // Another lane the removed one kept from its port may run now.
    for (int freed : ResolvePorts({})) {
        Lane* l = Find(freed);
        if (l && !l->worker && l->settings.runAtStartup) Start(freed, true, who);
    }
    ::SetEvent(m_changed);
    return true;
}

void CCaptureService::Keep(int lane, const CollectorSettings& settings, const Requester& who)
{
    Lane& l = m_lanes[lane];
    ServiceParameters before = l.stored;
    before.settings = l.settings;
    ServiceParameters after = before;
    after.settings = settings;
    LogChange(lane, before, after, who);
    // The service keeps the settings now, not the windows: every window and the next boot see
    // them. Lane 1's in the family key too: the recorder and desktop mode read that one.
    const LONG rc = SaveLaneSettings(lane, settings);
    if (rc == ERROR_SUCCESS)
        l.stored.settings = settings; // so that the watch does not take this write for someone else's
    else
        NoteFailure("The settings could not be kept in the service's Parameters key", rc);
    if (lane == 1) SaveFamily(settings);
    CSingleLock guard(&m_lock, true);
    l.settings = settings;
}

void CCaptureService::OnParametersChanged()
{
    CSingleLock commands(&m_commands, true);
    // Armed again first: a change made while the keys are read is heard next time.
    if (!m_watch.Arm()) return;
    auto load = [] {
        std::map<int, ServiceParameters> lanes = LoadServiceLanes();
        bool present = false;
        ServiceParameters first = LoadServiceParameters(present);
        // Lane 1's values deleted leave its capture as it is rather than falling back to the
        // defaults.
        if (present) lanes[1] = first;
        return lanes;
    };
    auto same = [this](const std::map<int, ServiceParameters>& now) {
        for (const auto& lane : m_lanes)
            if (lane.first != 1 && !now.count(lane.first)) return false;
        for (const auto& lane : now) {
            auto known = m_lanes.find(lane.first);
            if (known == m_lanes.end() || known->second.stored != lane.second) return false;
        }
        return true;
    };
    std::map<int, ServiceParameters> now = load();
    // The same values again (a policy refresh, the service's own write) cost no wait.
    if (same(now)) return;
    for (int round = 0; round < kSettleRounds && ::WaitForSingleObject(m_watch.Event(), kSettleMs) == WAIT_OBJECT_0;
         ++round)
        m_watch.Arm();
    now = load();
    if (same(now)) return;
    const Requester who = ThisProcess("a deployment");

    // Lanes whose key is gone end as a window's RemoveLane ends them.
    std::vector<int> gone;
    for (const auto& lane : m_lanes)
        if (lane.first != 1 && !now.count(lane.first)) gone.push_back(lane.first);
    for (int lane : gone) {
        const CollectorSettings settings = m_lanes[lane].settings;
        EndWorker(lane, true, "the lane was removed", who);
        {
            CSingleLock guard(&m_lock, true);
            m_lanes.erase(lane);
        }
        ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_LANE_REMOVED,
                             {Prefix(lane, settings.commPort), settings.dataFile, who.account, Number(who.sessionId),
                              who.how});
    }

    std::vector<int> moved;   // new lanes and lanes whose settings changed
    std::vector<int> restart; // running lanes whose capture changed
    std::vector<int> added;
    for (const auto& entry : now) {
        const int lane = entry.first;
        const ServiceParameters& next = entry.second;
        Lane* known = Find(lane);
        if (!known) {
            {
                CSingleLock guard(&m_lock, true);
                Lane& l = m_lanes[lane];
                l.settings = next.settings;
                l.stored = next;
                l.last.state = CaptureState::Ended;
                l.last.port = next.settings.commPort;
            }
            ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_LANE_ADDED,
                                 {Prefix(lane, next.settings.commPort), next.settings.dataFile, who.account,
                                  Number(who.sessionId), who.how});
            NoteUnreadable(lane);
            moved.push_back(lane);
            added.push_back(lane);
            continue;
        }
        if (known->stored == next) continue;
        ServiceParameters before = known->stored;
        before.settings = known->settings;
        LogChange(lane, known->stored, next, who);
        const bool outputsChanged = known->stored.outputs != next.outputs || known->stored.codePage != next.codePage;
        known->stored = next;
        NoteUnreadable(lane);
        // The recorders follow at once; the capture and its file are not touched for them.
        if (outputsChanged && known->worker && SameCapture(before, next)) StartOutputs(lane);
        if (next.settings == known->settings && SameCapture(before, next)) continue;
        if (lane == 1) SaveFamily(next.settings);
        bool running = false;
        {
            CSingleLock guard(&m_lock, true);
            known->settings = next.settings;
            running = known->worker != nullptr;
        }
        if (before.settings.commPort != next.settings.commPort || known->blockedBy) moved.push_back(lane);
        // Nobody chose to empty the file: the capture goes on with the new settings, appending
        // (to the new file when it moved). A capture that does not run keeps them for its next Run.
        if (running && !SameCapture(before, next)) restart.push_back(lane);
    }

    const std::vector<int> freed = ResolvePorts(moved);
    for (int lane : restart)
        if (Find(lane) && !Find(lane)->blockedBy) Start(lane, true, who, "its settings were changed");
    // A new lane, or one whose clash has gone, runs when its settings ask to.
    std::vector<int> starting = added;
    starting.insert(starting.end(), freed.begin(), freed.end());
    for (int lane : starting) {
        Lane* l = Find(lane);
        if (l && !l->blockedBy && !l->worker && l->settings.runAtStartup) Start(lane, true, who);
    }
    ::SetEvent(m_changed);
}

std::vector<int> CCaptureService::ResolvePorts(const std::vector<int>& moved)
{
    std::vector<int> freed;
    // A lane that stays where it was keeps its port; of the lanes that came to one, the lowest
    // number gets it when it is free.
    std::map<int, int> holders;
    auto isMoved = [&](int lane) { return std::find(moved.begin(), moved.end(), lane) != moved.end(); };
    for (const auto& lane : m_lanes)
        if (!lane.second.blockedBy && !isMoved(lane.first)) holders.emplace(lane.second.settings.commPort, lane.first);
    for (auto& entry : m_lanes) {
        Lane& lane = entry.second;
        if (!lane.blockedBy && !isMoved(entry.first)) continue;
        const int port = lane.settings.commPort;
        auto holder = holders.find(port);
        if (holder == holders.end() || holder->second == entry.first) {
            holders[port] = entry.first;
            if (lane.blockedBy) freed.push_back(entry.first);
            CSingleLock guard(&m_lock, true);
            lane.blockedBy = 0;
            continue;
        }
        if (lane.blockedBy == holder->second) continue; // told already
        {
            CSingleLock guard(&m_lock, true);
            lane.blockedBy = holder->second;
        }
        EndWorker(entry.first, true, "its port is another lane's", ThisProcess("a deployment"));
        {
            CSingleLock guard(&m_lock, true);
            lane.last = CaptureStatus();
            lane.last.state = CaptureState::Ended;
            lane.last.end = CaptureEnd::SettingsRefused;
            lane.last.port = port;
        }
        CString portName;
        portName.Format("COM%d", port);
        ReportCollectorEvent(EVENTLOG_ERROR_TYPE, MSG_LANE_PORT_TAKEN,
                             {Prefix(entry.first, port), portName, LaneName(holder->second, port)});
        TellPortTaken(entry.first, holder->second);
    }
    return freed;
}

void CCaptureService::TellPortTaken(int lane, int holder)
{
    const Lane* l = Find(lane);
    const Lane* h = Find(holder);
    if (!l || !h) return;
    CString port;
    port.Format("COM%d", h->settings.commPort);
    Tell(lane, port + " is the port of " + LaneName(holder, h->settings.commPort) +
                   " already, and one port can feed one lane only. Choose another port for this lane.");
}

void CCaptureService::Tell(int lane, const CString& text)
{
    Lane* l = Find(lane);
    if (!l) return;
    CaptureMessage message;
    message.text = Prefix(lane, l->settings.commPort) + text;
    message.caption = "Orvane POS Collector";
    {
        CSingleLock guard(&m_lock, true);
        l->messages.push_back(message);
        while (l->messages.size() > CCaptureWorker::kMaxWaitingMessages) l->messages.erase(l->messages.begin());
    }
    ::SetEvent(m_changed);
}

void CCaptureService::NoteUnreadable(int lane)
{
    Lane* l = Find(lane);
    if (!l || l->stored.unreadable == l->unreadableTold) return;
    l->unreadableTold = l->stored.unreadable;
    for (const CString& name : l->stored.unreadable)
        ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_COLLECTOR_NOTE,
                             {Prefix(lane, l->settings.commPort) + "The value " + name + " of " + LanePath(lane) +
                              " cannot be read (a value of another type); the lane runs as if it were not there."});
}

void CCaptureService::LogChange(int lane, const ServiceParameters& before, const ServiceParameters& after,
                                const Requester& who)
{
    const CString changes = ParameterChangesText(before, after);
    if (changes.IsEmpty()) return;
    ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_SETTINGS_CHANGED,
                         {changes, who.account, Number(who.sessionId), who.how,
                          Prefix(lane, after.settings.commPort)});
}

bool CCaptureService::Stop(int lane, const Requester& who)
{
    CSingleLock commands(&m_commands, true);
    if (!Find(lane)) return false;
    EndWorker(lane, true, "stopped by the user", who);
    return true;
}

void CCaptureService::Shutdown()
{
    CSingleLock commands(&m_commands, true);
    for (auto& lane : m_lanes) {
        EndWorker(lane.first, false, "the service was stopped", ThisProcess("a stop of the service"));
        if (lane.second.outputs) lane.second.outputs->Stop();
    }
}

void CCaptureService::Start(int lane, bool append, const Requester& who, const char* endWhy)
{
    Lane* l = Find(lane);
    if (!l) return;
    EndWorker(lane, false, endWhy, who);
    auto worker = std::make_unique<CCaptureWorker>();
    worker->SetNotifyEvent(m_changed);
    if (m_portFactory) worker->SetPortFactory(m_portFactory);
    SetCaptureRunning(true, lane);
    CaptureRequest request = MakeCaptureRequest(l->settings, who, lane);
    request.label = LaneName(lane, l->settings.commPort);
    request.append = append;
    request.fileHint = kFileHint;
    request.silenceMinutes = l->stored.silenceMinutes;
    request.openHours = l->stored.openHours;
    StartOutputs(lane);
    request.tap = l->outputs;
    worker->Start(request);
    CSingleLock guard(&m_lock, true);
    l->worker = std::move(worker);
    l->last = l->worker->GetStatus();
    ::SetEvent(m_changed);
}

void CCaptureService::EndWorker(int lane, bool forgetRunning, const char* why, const Requester& who)
{
    Lane* l = Find(lane);
    if (!l) return;
    std::unique_ptr<CCaptureWorker> worker;
    {
        CSingleLock guard(&m_lock, true);
        worker = std::move(l->worker);
    }
    if (worker) {
        worker->StopBecause(why, who);
        CSingleLock guard(&m_lock, true);
        for (CaptureMessage& m : worker->TakeMessages()) l->messages.push_back(std::move(m));
        while (l->messages.size() > CCaptureWorker::kMaxWaitingMessages) l->messages.erase(l->messages.begin());
        l->last = worker->GetStatus();
    }
    if (forgetRunning) {
        SetCaptureRunning(false, lane);
        if (l->outputs) l->outputs->Stop();
    }
    ::SetEvent(m_changed);
}

void CCaptureService::StartOutputs(int lane)
{
    Lane* l = Find(lane);
    if (!l) return;
    std::vector<OutputDefinition> definitions;
    std::vector<CString> refused;
    for (const CString& text : l->stored.outputs) {
        OutputDefinition definition;
        std::string why;
        if (definitions.size() >= kMaxOutputsPerLane)
            why = "a lane has at most 8 outputs; this one is left out.";
        else if (ParseOutput(text.GetString(), definition, why))
            definitions.push_back(definition);
        else
            why = Sentence(why).GetString() + std::string(" It is left out until the lane's Outputs value is corrected.");
        if (why.empty()) continue;
        refused.push_back(text);
        // Each said once, not again at every restart of the capture.
        if (std::find(l->outputsTold.begin(), l->outputsTold.end(), text) != l->outputsTold.end()) continue;
        ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_OUTPUT_UNUSABLE,
                             {Prefix(lane, l->settings.commPort), text, CString(why.c_str())});
        Tell(lane, "The output \"" + text + "\" cannot be used: " + CString(why.c_str()));
    }
    l->outputsTold = refused;
    unsigned codePage = l->stored.codePage;
    if (!CReceiptText::Supports(codePage)) {
        if (l->codePageTold != codePage)
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_COLLECTOR_NOTE,
                                 {Prefix(lane, l->settings.commPort) + "The code page " + Number(codePage) + " of " +
                                  LanePath(lane) + " is not one the text outputs know (437, 850, 858, 1252): " +
                                  "they read the text as 437."});
        l->codePageTold = codePage;
        codePage = 437;
    }
    if (!l->outputs) {
        auto outputs = std::make_shared<CLaneOutputs>();
        outputs->SetNotifyEvent(m_changed);
        CSingleLock guard(&m_lock, true);
        l->outputs = std::move(outputs);
    }
    l->outputs->Configure(definitions, codePage);
}

void CCaptureService::LogOutputEvents(int lane, const std::vector<OutputEvent>& events)
{
    const Lane* l = Find(lane);
    if (!l) return;
    const CString prefix = Prefix(lane, l->settings.commPort);
    for (const OutputEvent& e : events) {
        const CString output = e.output.c_str(), peer = e.peer.c_str();
        switch (e.kind) {
        case OutputEvent::Kind::Connected:
            ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_OUTPUT_CONNECTED, {prefix, output, peer});
            break;
        case OutputEvent::Kind::Lost:
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_OUTPUT_LOST, {prefix, output, peer, Sentence(e.why)});
            break;
        case OutputEvent::Kind::Back:
            // A listen output whose port was another program's has it now: no recorder came back.
            if (peer.IsEmpty()) {
                ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_COLLECTOR_NOTE,
                                     {prefix + "The output \"" + output + "\" listens on its port again, after " +
                                      DurationText(e.outageMs / 1000) + "."});
                break;
            }
            ReportCollectorEvent(EVENTLOG_INFORMATION_TYPE, MSG_OUTPUT_BACK,
                                 {prefix, output, peer, DurationText(e.outageMs / 1000),
                                  CString(std::to_string(e.dropped).c_str())});
            break;
        case OutputEvent::Kind::Dropping:
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_OUTPUT_DROPPING,
                                 {prefix, output, peer, Number(CLaneOutputs::kRecorderBuffer / 1024)});
            break;
        case OutputEvent::Kind::Unusable:
            ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_OUTPUT_UNUSABLE,
                                 {prefix, output, Sentence(e.why) + " It is tried again every few seconds."});
            break;
        }
    }
}

void CCaptureService::Refresh()
{
    CSingleLock commands(&m_commands, true);
    std::vector<int> ended;
    for (auto& entry : m_lanes)
        if (entry.second.outputs) LogOutputEvents(entry.first, entry.second.outputs->TakeEvents());
    {
        CSingleLock guard(&m_lock, true);
        for (auto& entry : m_lanes) {
            Lane& l = entry.second;
            if (!l.worker) continue;
            for (CaptureMessage& m : l.worker->TakeMessages()) l.messages.push_back(std::move(m));
            while (l.messages.size() > CCaptureWorker::kMaxWaitingMessages) l.messages.erase(l.messages.begin());
            l.last = l.worker->GetStatus();
            if (l.last.state == CaptureState::Ended) ended.push_back(entry.first);
        }
    }
    // Ended for good on its own (refused settings, a file that cannot be created): a restart
    // must not start it again.
    for (int lane : ended) EndWorker(lane, true, "stopped", ThisProcess("the capture itself"));
}

std::vector<CaptureView> CCaptureService::States() const
{
    CSingleLock guard(&m_lock, true);
    std::vector<CaptureView> views;
    for (const auto& entry : m_lanes) {
        const Lane& l = entry.second;
        CaptureView view;
        view.id = entry.first;
        view.running = l.worker != nullptr;
        view.status = l.worker ? l.worker->GetStatus() : l.last;
        view.settings = l.settings;
        if (l.worker && l.outputs) view.outputs = l.outputs->States();
        views.push_back(view);
    }
    return views;
}

std::vector<CaptureMessage> CCaptureService::TakeMessages(int lane)
{
    CSingleLock guard(&m_lock, true);
    std::vector<CaptureMessage> taken;
    auto found = m_lanes.find(lane);
    if (found != m_lanes.end()) taken.swap(found->second.messages);
    return taken;
}

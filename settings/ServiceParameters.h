#pragma once
// The settings the service runs from, in its own key under the service's registry key
// (HKLM\SYSTEM\CurrentControlSet\Services\OrvanePOSCollector\Parameters): the seven values of
// the family key with the same names, types and meanings, and Operators (REG_MULTI_SZ), the
// accounts and groups besides Administrators that may control the capture. Unlike the family
// key, which every account may write, only administrators, SYSTEM and the service may change it.
#include <windows.h>

#include <map>
#include <vector>

#include "platform/Handle.h"
#include "platform/String.h"
#include "settings/SettingsStore.h"

// Under HKEY_LOCAL_MACHINE. SYSTEM is shared by both views; the 64-bit view is named so that
// a 32-bit build never goes through redirection rules.
extern const char kServiceParametersPath[];
extern const char kServiceParametersCopyPath[];
const REGSAM kServiceParametersView = KEY_WOW64_64KEY;
// The copy an upgrade takes back lives in the family's tree, which is in the 32-bit view.
const REGSAM kServiceParametersCopyView = KEY_WOW64_32KEY;
// The view a path of this file is in (the copy and its LaneN keys, or the service's keys).
REGSAM ServiceParametersViewOf(const char* path);

// Lane 1 is the Parameters key itself; lane N (2 to kMaxServiceLanes) its subkey LaneN, with the
// same seven values and the silence alert's two. Operators lives in Parameters alone.
const int kMaxServiceLanes = 16;
// "...\Parameters\Lane3" under root; root itself for lane 1.
CString LanePath(int lane, const char* root = kServiceParametersPath);
// How texts and events name a lane: "Lane 2 (COM7)".
CString LaneName(int lane, int port);

struct ServiceParameters {
    CollectorSettings settings;
    std::vector<CString> operators;
    // Silence alert: SilenceMinutes (REG_DWORD, 0 = off) and OpenHours (REG_SZ, empty = always).
    unsigned silenceMinutes = 0;
    CString openHours;
    // Network outputs: Outputs (REG_MULTI_SZ, one output per string, as the lane's recorders
    // take it) and CodePage (REG_DWORD, the printer's code page for text outputs).
    std::vector<CString> outputs;
    unsigned codePage = 437;
    // Values that are there but cannot be read as their type: they count as absent, and the
    // service says so. Not part of the comparison: they change nothing the capture does.
    std::vector<CString> unreadable;
};
bool operator==(const ServiceParameters& a, const ServiceParameters& b);
inline bool operator!=(const ServiceParameters& a, const ServiceParameters& b) { return !(a == b); }

// The key's access list: Administrators and SYSTEM full access, the service's own SID
// (NT SERVICE\OrvanePOSCollector) query, set and notify, and create and delete LaneN keys, Users
// read; protected, so nothing inherited from the Services key widens it, and passed on to every
// subkey. lane: a LaneN key's list, the entries it would inherit from Parameters, protected.
// False when it cannot be built.
bool BuildServiceParametersSecurity(CLocalPtr<SECURITY_DESCRIPTOR>& sd, bool lane = false);

// Creates the key with that list, or gives an existing one the list (an earlier install, or a
// key someone made by hand), and every LaneN key there the lane list. For the package, which
// runs as SYSTEM. ERROR_SUCCESS or the error.
LONG CreateServiceParametersKey();

// Reads the values. present is false when none of the seven is there (the key missing too):
// the settings are then the defaults and the caller takes them from the family key.
ServiceParameters LoadServiceParameters(bool& present);
// Lanes 2 to 16 under root: a LaneN key with none of the seven values is no lane.
std::map<int, ServiceParameters> LoadServiceLanes(const char* root = kServiceParametersPath);

// Writes the seven values (not Operators), creating the key with its list when it is missing.
LONG SaveServiceSettings(const CollectorSettings& settings);
LONG SaveServiceOperators(const std::vector<CString>& operators);
// The seven values of one lane (lane 1: as SaveServiceSettings); a LaneN key is made with the
// lane list.
LONG SaveLaneSettings(int lane, const CollectorSettings& settings);
// The seven values and the silence alert's two.
LONG SaveLaneParameters(int lane, const ServiceParameters& parameters);
// Deletes LaneN (2 to 16); ERROR_SUCCESS when it is gone or was never there.
LONG DeleteLaneKey(int lane);

// Removing the service deletes its key, Parameters with it, and an upgrade removes the older
// version first: the package keeps a copy, with the same access list, under
// HKLM\SOFTWARE\Tarnwick\Orvane DVR\POSCollector Service (32-bit view) before it removes the
// service, for the install that follows to take back.
extern const char kServiceParametersCopyPath[];
// The copy holds the lanes too, as LaneN keys under it.
LONG CopyServiceParametersAside();
ServiceParameters LoadServiceParametersCopy(bool& present);
// Writes the copy's lanes 2 to 16 back under Parameters (an install taking back its settings).
LONG RestoreServiceLanesFromCopy();
// Only the Operators list (REG_MULTI_SZ); empty when absent, of another type or unreadable.
std::vector<CString> LoadServiceOperators();

// "CommPort: 3 -> 5; DataFile: C:\a.txt -> C:\b.txt": the values that differ, as an event names
// them; empty when none does.
CString ParameterChangesText(const ServiceParameters& before, const ServiceParameters& after);

// Tells of every change of a value in the key or its LaneN keys, and of a LaneN key made or
// deleted, from open to close. The registration belongs to
// the thread that arms it until Windows 8: arm it on a thread that lives as long as the watch.
class CParametersWatch {
public:
    CParametersWatch();
    ~CParametersWatch();
    CParametersWatch(const CParametersWatch&) = delete;
    CParametersWatch& operator=(const CParametersWatch&) = delete;

    // Opens the key and asks for the next change; again after each signal, since a
    // notification ends with the signal. False when the key cannot be watched.
    bool Arm();
    // Set on a change; never set while no watch is armed.
    HANDLE Event() const { return m_event; }

private:
    CHandle m_event;
    HKEY m_key = nullptr;
};

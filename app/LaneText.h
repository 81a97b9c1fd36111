#pragma once
// What the window and the tray icon's tip say of the lanes: one lane's state, and the tip that
// sums several up. Plain functions of the lanes' status, so that any number of lanes can be tried.
#include <windows.h>

#include <vector>

#include "capture/CaptureTypes.h"
#include "channel/Protocol.h"
#include "platform/String.h"

// The tip's first line, and the state while the service cannot be reached.
extern const char kTrayProduct[];
extern const char kUnreachableText[];
// The tip's room: NOTIFYICONDATAA's szTip holds 64 characters with the NUL.
constexpr int kTrayTipMax = 63;

// A local time of day, "14:02", with the date before it ("2026-12-07 14:02") when that is not
// today. utc is a FILETIME count; nowLocal is today as the PC's clock has it.
CString LocalClock(unsigned long long utc, const SYSTEMTIME& nowLocal);

// One lane's state: "COM5: capturing", "COM5: silent since 14:02", "stopped: line settings
// refused". withPort false leaves the port out where something beside it names the port.
CString LaneStateText(const CaptureStatus& status, const SYSTEMTIME& nowLocal, bool withPort = true);

// The tray icon's tip: the product, then one lane's state, or a count of the lanes by state
// ("3 lanes: 2 capturing, 1 waiting for the port") in words cut down until it fits.
// connected false: the service cannot be reached.
CString TrayTipText(bool connected, const std::vector<CaptureStatus>& lanes, const SYSTEMTIME& nowLocal);

// An output's state as /status prints it: "listening", "connected", "connecting", "waiting",
// "failed".
const char* OutputLinkWord(channel::OutputLink link);

// A lane's network outputs in a line a person reads: "Sends to: listen 9001 (2 recorders
// connected); connect 192.168.1.50:5000 (connected)"; empty when the lane has none running.
CString OutputsText(const std::vector<channel::OutputView>& outputs);

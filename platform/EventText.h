#pragma once
// Texts for the events' inserts.
#include <windows.h>

#include "platform/String.h"

// The line settings as an event names them, e.g. "9600 baud, 8 data bits, parity NONE, 1 stop
// bit". parity and stopBits are the stored setting values: parity 0..4 = EVEN, MARK, NONE, ODD,
// SPACE; stop bits 0..2 = 1, 1.5, 2. A value outside those is shown as the number it is.
CString LineSettingsText(DWORD baud, unsigned dataBits, int parity, int stopBits);

// How long something lasted, as an event says it: "45 seconds", "1 minute", "2 hours 5 minutes".
CString DurationText(unsigned long long seconds);

// The system's text for a Win32 error code, without its trailing line break ("Error N." when the
// system has none). The same text the capture's messages add as the reason.
CString SystemErrorText(DWORD error);

// text, a blank line, then the system's text for error: how a message gives its reason.
CString WithSystemText(const char* text, DWORD error);

// The account this process runs as, DOMAIN\user as Windows names it ("NT AUTHORITY\LOCAL
// SERVICE"), the SID as text when it has no name, empty when the token cannot be read.
CString ProcessAccountName();
// DOMAIN\user for a SID, the SID as text when the system has no name for it.
CString AccountName(PSID sid);
// The Windows session this process runs in (0 for a service).
DWORD ProcessSessionId();

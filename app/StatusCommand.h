#pragma once
// POSCollector.exe /status [json]: every lane of the service in one answer for scripts and
// remote-management tools, and an exit code they can act on.
#include <string>
#include <vector>

#include "channel/StatusQuery.h"

// What a script reads for a lane: capturing, waiting-for-port, waiting-for-file, silent, stopped.
const char* LaneStateWord(const CaptureStatus& status);
// 0 when every lane captures, 1 when one waits or is silent, 2 when one is stopped or ended, and
// 3 when the service is not installed or cannot be reached.
int StatusExitCode(const StatusAnswer& answer);
// A UTC FILETIME count as local time, "2026-12-08T14:02:11"; "-" for 0.
std::string LocalIsoTime(unsigned long long utc);

// The answer as text: a header line, then one tab-separated line per lane (ANSI, as the paths
// are); or the one line that says why there is no answer.
std::string StatusText(const StatusAnswer& answer);
// The same as one JSON document (UTF-8).
std::string StatusJson(const StatusAnswer& answer);

// Asks the service, writes the answer to standard output (or the console the program was started
// from) and returns the exit code.
int RunStatusCommand(bool json);

#pragma once
// What the package does to the service beyond the Windows Installer's service tables. The
// installed program runs these as deferred custom actions (as the system), with /configureservice
// after the service is installed and /stopservice before it is removed.
#include <windows.h>

#include <map>
#include <string>

#include "platform/Handle.h"

// Sets the service's recovery (restarted 5 s after a failure, three times; the count starts again
// after a day) and delayed automatic start, and makes the capture folder
// %ProgramData%\Orvane DVR\POSCollector with an entry granting the service's account
// (NT AUTHORITY\LocalService) modify rights, inherited by what is made in it. Every step may run
// again (upgrades do). A step the system does not support is noted in the event log and passed
// over; the result is non-zero only when the folder cannot be made. First of all the service's
// Parameters key, with the package's properties (ConfigureServiceParameters): a property that is
// not valid fails the install, with an Error event naming it, before anything else changes.
int ConfigureCollectorService(const std::map<std::string, std::string>& properties = {});

// The capture folder's access list with the service's account's modify entry added, inherited by
// files and folders; merged stays empty when nothing needs adding (the entry is there from an
// earlier install, or there is no list, which lets everyone in). Apart from the folder so that
// it can be checked where the file system keeps no access lists (Wine).
DWORD AddServiceAccountModify(PACL current, CLocalPtr<ACL>& merged);

// Stops the service and waits for its process to end, for at most timeoutMs. 0 when the service
// has stopped and its process is gone, or when it is not installed.
int StopCollectorService(DWORD timeoutMs);

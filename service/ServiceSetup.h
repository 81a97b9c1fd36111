#pragma once
// What the package does to the service beyond the Windows Installer's service tables. The
// installed program runs these as deferred custom actions (as the system), with /configureservice
// after the service is installed and /stopservice before it is removed.
#include <windows.h>

#include <map>
#include <string>

#include "platform/Handle.h"

// Sets the service's recovery (restarted 5 s after a failure, three times; the count starts again
// after a day), delayed automatic start, its own SID (NT SERVICE\OrvanePOSCollector) and the
// one privilege it needs (SeChangeNotifyPrivilege), and makes the capture folder
// %ProgramData%\Orvane DVR\POSCollector with its own access list (CaptureFolderAccessList).
// Every step may run again (upgrades do). A step the system does not support is noted in the
// event log and passed over; the result is non-zero only when the folder cannot be made. First
// of all the service's Parameters key, with the package's properties (ConfigureServiceParameters):
// a property that is not valid fails the install, with an Error event naming it, before anything
// else changes.
int ConfigureCollectorService(const std::map<std::string, std::string>& properties = {});

// The capture folder's own access list, in place of what ProgramData passes on: Administrators
// and SYSTEM full, the service's SID modify, Users read and execute; every entry inherited by
// the files and folders made inside. Apart from the folder so that it can be checked where the
// file system keeps no access lists (Wine).
DWORD CaptureFolderAccessList(CLocalPtr<ACL>& list);

// Starts the service when it is not running, without waiting for it to run. 0 when the start was
// asked for or the service runs already.
int StartCollectorService();

// Stops the service and waits for its process to end, for at most timeoutMs. 0 when the service
// has stopped and its process is gone, or when it is not installed.
int StopCollectorService(DWORD timeoutMs);

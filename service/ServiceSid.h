#pragma once
// The collector service's own SID (NT SERVICE\OrvanePOSCollector). With the unrestricted SID
// type the service's token carries it, so an access list can name this one service rather than
// every process running as LocalService.
#include "platform/String.h"

// The SID of NT SERVICE\<serviceName> as text (S-1-5-80-...): the SHA-1 of the upper-cased
// name in UTF-16LE, as five sub-authorities. Windows derives it the same way, also before the
// service exists, so access lists can name it during install. Empty when hashing fails.
CString ServiceSidString(const char* serviceName);

// The collector service's SID as text.
CString CollectorServiceSidString();

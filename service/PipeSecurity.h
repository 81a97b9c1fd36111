#pragma once
// The access list of the control channel's pipe.
#include <windows.h>

#include <string>

#include "platform/Handle.h"

// The pipe's security descriptor in SDDL: the users of the PC's sessions (Interactive) may read
// and write but not create instances of the pipe; SYSTEM, Administrators and the account the
// service runs under (LocalService: neither of the others) have full access; the Network group
// is denied everything. Empty when the process's own account cannot be read.
std::string PipeSecurityDescriptorString();

// The same as a self-relative security descriptor for SECURITY_ATTRIBUTES; false with the
// Win32 error when it cannot be built.
bool BuildPipeSecurityDescriptor(CLocalPtr<void>& descriptor, DWORD& error);

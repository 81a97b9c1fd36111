#pragma once
// The access list of the control channel's pipe.
#include <windows.h>

#include <string>

#include "platform/Handle.h"

// The SID the pipe's full-access entry names: the service's own SID when this process's token
// carries it (the service, once its SID type is applied), otherwise the process's own account
// (tests, or a service whose SID type is not applied yet, which still needs the right to create
// its own instances). Empty when neither can be read.
std::string PipeOwnerSid();

// The pipe's security descriptor in SDDL: the users of the PC's sessions (Interactive) may read
// and write but not create instances of the pipe; SYSTEM, Administrators and fullAccessSid have
// full access; the Network group is denied everything.
std::string PipeSecurityDescriptorString(const std::string& fullAccessSid);

// The same for PipeOwnerSid(), as a self-relative security descriptor for SECURITY_ATTRIBUTES;
// false with the Win32 error when it cannot be built.
bool BuildPipeSecurityDescriptor(CLocalPtr<void>& descriptor, DWORD& error);

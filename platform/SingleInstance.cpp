#include "platform/SingleInstance.h"

#include <sddl.h>

namespace {

// Everyone (WD) may wait on the mutex and release it once owned (SYNCHRONIZE |
// MUTEX_MODIFY_STATE) and nothing more: enough to see and wait for a copy of another account
// or session, not to change the name's access list.
const char kEveryoneMaySynchronize[] = "D:(A;;0x00100001;;;WD)";

// The security attributes of the mutex; without a descriptor, the creator's default.
class CMutexSecurity {
public:
    CMutexSecurity()
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(kEveryoneMaySynchronize, SDDL_REVISION_1,
                                                                  &descriptor, nullptr))
            m_descriptor.Reset(descriptor);
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.lpSecurityDescriptor = m_descriptor.Get();
        m_attributes.bInheritHandle = FALSE;
    }
    SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }

private:
    CLocalPtr<void> m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
};

} // namespace

bool CSingleInstance::Claim(const char* name)
{
    if (m_mutex.IsValid()) return true;
    CMutexSecurity security;
    HANDLE mutex = ::CreateMutexA(security.Attributes(), TRUE, name);
    DWORD error = ::GetLastError();
    // Denied: the mutex exists and its list lets us only wait on it (another copy made it),
    // or a copy running under another token made it without one. Any other failure (an event
    // or a section squatting on the name) must not keep every copy from starting: run
    // unguarded.
    if (!mutex) return error != ERROR_ACCESS_DENIED;
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    m_mutex.Attach(mutex);
    return true;
}

bool CSingleInstance::WaitAndClaim(const char* name, DWORD timeoutMs)
{
    if (m_mutex.IsValid() || Claim(name)) return true;
    CHandle mutex(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name));
    // Gone meanwhile: claim it afresh.
    if (!mutex.IsValid()) return Claim(name);
    DWORD waited = ::WaitForSingleObject(mutex, timeoutMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return false;
    m_mutex.Attach(mutex.Detach());
    return true;
}

void CSingleInstance::Release()
{
    if (!m_mutex.IsValid()) return;
    ::ReleaseMutex(m_mutex);
    m_mutex.Close();
}

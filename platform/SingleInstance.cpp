#include "platform/SingleInstance.h"

bool CSingleInstance::Claim(const char* name)
{
    if (m_mutex.IsValid()) return true;
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name);
    DWORD error = ::GetLastError();
    // Denied: a copy running under another token (elevated, say) holds the mutex. Any other
    // failure (an event or a section squatting on the name) must not keep every copy from
    // starting: run unguarded.
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
    if (m_mutex.IsValid()) return true;
    CHandle mutex(::CreateMutexA(nullptr, TRUE, name));
    if (!mutex.IsValid()) return Claim(name);
    // Gone meanwhile: the mutex just made is ours.
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        m_mutex.Attach(mutex.Detach());
        return true;
    }
    DWORD waited = ::WaitForSingleObject(mutex, timeoutMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return false;
    m_mutex.Attach(mutex.Detach());
    return true;
}

#include "platform/SingleInstance.h"

bool CSingleInstance::Claim(const char* name)
{
    if (m_mutex.IsValid()) return true;
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name);
    DWORD error = ::GetLastError();
    if (!mutex) return false;
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    m_mutex.Attach(mutex);
    return true;
}

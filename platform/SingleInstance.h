#pragma once
// One running copy of a program per name: the first process to claim the name holds it until
// it ends. The holder's thread owns the mutex, so that a later copy can wait for the holder to
// end (the mutex is then abandoned to it). Every account may open the name to wait on it, so
// that a copy started by another user or in another session sees it held; only its creator
// may do more with it.
#include <windows.h>

#include "platform/Handle.h"

class CSingleInstance {
public:
    CSingleInstance() = default;
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    // true when this process now holds the name (or already did), or when the name cannot be
    // had for any reason but another holder (an object of another type squats on it); false
    // when another process holds it.
    bool Claim(const char* name);
    // Waits up to timeoutMs for the holder of the name to end, then holds it; false when the
    // holder is still there.
    bool WaitAndClaim(const char* name, DWORD timeoutMs);
    // Lets go of the name, for the next copy to claim.
    void Release();

private:
    CHandle m_mutex;
};

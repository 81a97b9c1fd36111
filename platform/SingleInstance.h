#pragma once
// One running copy of a program per session: the first process to claim the name holds
// it until it ends.
#include <windows.h>

#include "platform/Handle.h"

class CSingleInstance {
public:
    CSingleInstance() = default;
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    // true when this process now holds the name (or already did); false when another does.
    bool Claim(const char* name);

private:
    CHandle m_mutex;
};

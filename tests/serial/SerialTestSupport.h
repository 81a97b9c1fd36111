#pragma once
// Helpers shared by the serial tests.
#include "platform/Handle.h"
#include "serial/SerialPort.h"
#include "support/TestEnv.h"

#include <functional>

namespace serialtest {

// The system code of the CSerialException that call throws, or 0 when it throws none.
inline DWORD ThrownCode(const std::function<void()>& call)
{
    try {
        call();
    } catch (CSerialException* e) {
        DWORD code = e->m_dwError;
        e->Delete();
        return code;
    }
    return 0;
}

using testenv::PlugGuard;

// Gives the tests the event handle and the completions of ReadEx/WriteEx.
class CTestPort : public CSerialPort {
public:
    HANDLE GetEvent() const { return hEvent; }

    void OnCompletion(unsigned errorCode, unsigned count, OVERLAPPED* ov) override
    {
        ++completions;
        lastError = errorCode;
        lastCount = count;
        CSerialPort::OnCompletion(errorCode, count, ov);
    }

    int completions = 0;
    unsigned lastError = 0;
    unsigned lastCount = 0;
};

// Waits alertably, so that completion routines run, until done() or timeoutMs.
template <typename Pred>
bool WaitAlertably(Pred done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        SleepEx(10, TRUE);
    }
    return true;
}

} // namespace serialtest

#pragma once
// The one exception type of the program: a failing serial call and its system error code.
#include "platform/Object.h"

class CSerialException : public CException {
    DECLARE_DYNAMIC(CSerialException)
public:
    explicit CSerialException(DWORD dwError = 0) : m_dwError(dwError) {}

    // The system's text for m_dwError, truncated to maxChars - 1 characters.
    bool GetErrorMessage(char* buffer, unsigned maxChars, unsigned* pHelpContext = nullptr) const override;

    DWORD m_dwError;
};

// Throws a heap-allocated CSerialException; a zero code stands for GetLastError().
[[noreturn]] void ThrowSerialException(DWORD dwError = 0);

#include "serial/SerialException.h"

#include "platform/Handle.h"

#include <cstring>

IMPLEMENT_DYNAMIC(CSerialException, CException)

bool CSerialException::GetErrorMessage(char* buffer, unsigned maxChars, unsigned* pHelpContext) const
{
    if (pHelpContext) *pHelpContext = 0;

    CLocalPtr<char> text;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, m_dwError,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                                  reinterpret_cast<LPSTR>(text.Receive()), 0, nullptr);
    if (length == 0 || !text.Get()) {
        if (buffer && maxChars > 0) buffer[0] = '\0';
        return false;
    }
    if (buffer && maxChars > 0) {
        size_t n = length < maxChars - 1 ? length : maxChars - 1;
        std::memcpy(buffer, text.Get(), n);
        buffer[n] = '\0';
    }
    return true;
}

void ThrowSerialException(DWORD dwError)
{
    if (dwError == 0) dwError = GetLastError();
    throw new CSerialException(dwError);
}

#include "platform/EventText.h"

#include <sddl.h>

#include "platform/Handle.h"

CString LineSettingsText(DWORD baud, unsigned dataBits, int parity, int stopBits)
{
    static const char* const kParities[] = {"EVEN", "MARK", "NONE", "ODD", "SPACE"};
    static const char* const kStopBits[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    CString parityText;
    if (parity >= 0 && parity < 5)
        parityText.Format("parity %s", kParities[parity]);
    else
        parityText.Format("parity value %d", parity);
    CString stopText;
    if (stopBits >= 0 && stopBits < 3)
        stopText = kStopBits[stopBits];
    else
        stopText.Format("stop bits value %d", stopBits);
    CString text;
    text.Format("%lu baud, %u data bits, %s, %s", static_cast<unsigned long>(baud), dataBits,
                parityText.GetString(), stopText.GetString());
    return text;
}

CString DurationText(unsigned long long seconds)
{
    const unsigned long long minutes = seconds / 60;
    CString text;
    if (minutes == 0)
        text.Format("%llu second%s", seconds, seconds == 1 ? "" : "s");
    else if (minutes < 60)
        text.Format("%llu minute%s", minutes, minutes == 1 ? "" : "s");
    else
        text.Format("%llu hour%s %llu minute%s", minutes / 60, minutes / 60 == 1 ? "" : "s", minutes % 60,
                    minutes % 60 == 1 ? "" : "s");
    return text;
}

CString SystemErrorText(DWORD error)
{
    CLocalPtr<char> text;
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                                    reinterpret_cast<LPSTR>(text.Receive()), 0, nullptr);
    CString result;
    if (length == 0 || !text.Get()) {
        result.Format("Error %lu.", static_cast<unsigned long>(error));
        return result;
    }
    while (length > 0 && (text.Get()[length - 1] == '\r' || text.Get()[length - 1] == '\n' ||
                          text.Get()[length - 1] == ' '))
        --length;
    return CString(text.Get(), static_cast<int>(length));
}

CString WithSystemText(const char* text, DWORD error)
{
    CString result(text);
    result += "\n\n";
    result += SystemErrorText(error);
    return result;
}

CString ProcessAccountName()
{
    HANDLE opened = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return CString();
    CHandle token(opened);
    // A TOKEN_USER with its SID fits in this: the SID is at most SECURITY_MAX_SID_SIZE bytes.
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, &info, sizeof info, &size)) return CString();
    return AccountName(info.user.User.Sid);
}

CString AccountName(PSID sid)
{
    char name[256] = "", domain[256] = "";
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use = SidTypeUnknown;
    if (::LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return *domain ? CString(domain) + "\\" + name : CString(name);
    CLocalPtr<char> text;
    if (::ConvertSidToStringSidA(sid, text.Receive())) return CString(text.Get());
    return CString("an unknown account");
}

DWORD ProcessSessionId()
{
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return session;
}

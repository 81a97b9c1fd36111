#include "channel/PipeSecurity.h"

#include <sddl.h>

#include <vector>

#include "service/ServiceSid.h"

namespace {

// FILE_GENERIC_READ | FILE_WRITE_DATA: not FILE_GENERIC_WRITE, whose FILE_APPEND_DATA is also
// FILE_CREATE_PIPE_INSTANCE and would let a client serve the pipe's clients.
constexpr const char* kClientRights = "0x12008b";

std::string OwnAccountSid()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::string();
    CHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return std::string();
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::string();
    CLocalPtr<char> text;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.Receive()))
        return std::string();
    return text.Get();
}

// Whether this process's token holds the SID as an enabled group.
bool TokenCarries(const CString& sidText)
{
    CLocalPtr<void> sid;
    if (sidText.IsEmpty() || !ConvertStringSidToSidA(sidText, sid.Receive())) return false;
    BOOL member = FALSE;
    return CheckTokenMembership(nullptr, sid.Get(), &member) && member;
}

} // namespace

std::string PipeOwnerSid()
{
    // Hashed once: the service makes its pipe before it reports that it runs.
    static const CString service = CollectorServiceSidString();
    if (TokenCarries(service)) return service.GetString();
    return OwnAccountSid();
}

std::string PipeSecurityDescriptorString(const std::string& fullAccessSid)
{
    if (fullAccessSid.empty()) return std::string();
    // P: nothing inherited. Every account that has logged on may read and ask (the service decides
    // who may control), so that a script's status question is answered under any logon: a
    // scheduled task, an agent, a remote shell. Other computers never get in: the pipe rejects
    // remote clients.
    return std::string("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;") + fullAccessSid + ")(A;;" + kClientRights +
           ";;;AU)";
}

bool BuildPipeSecurityDescriptor(CLocalPtr<void>& descriptor, DWORD& error)
{
    std::string sddl = PipeSecurityDescriptorString(PipeOwnerSid());
    if (sddl.empty()) {
        error = GetLastError() ? GetLastError() : ERROR_NO_TOKEN;
        return false;
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
        error = GetLastError();
        return false;
    }
    descriptor.Reset(sd);
    error = ERROR_SUCCESS;
    return true;
}

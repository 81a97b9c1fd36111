#include "service/ClientIdentity.h"

#include <sddl.h>

#include <cstring>

#include "platform/Handle.h"
#include "platform/EventText.h"
#include "platform/Sync.h"
#include "settings/ServiceParameters.h"

namespace {

bool SameSid(const SidBytes& a, const SidBytes& b)
{
    return !a.empty() && a.size() == b.size() && ::EqualSid(const_cast<BYTE*>(a.data()), const_cast<BYTE*>(b.data()));
}

bool Listed(const SidBytes& sid, const std::vector<SidBytes>& list)
{
    for (const SidBytes& s : list)
        if (SameSid(sid, s)) return true;
    return false;
}

SidBytes WellKnown(WELL_KNOWN_SID_TYPE type)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!::CreateWellKnownSid(type, nullptr, sid, &size)) return SidBytes();
    return SidBytes(sid, sid + size);
}

template <typename T>
bool TokenInfo(HANDLE token, TOKEN_INFORMATION_CLASS what, std::vector<BYTE>& buffer)
{
    DWORD size = 0;
    ::GetTokenInformation(token, what, nullptr, 0, &size);
    if (size < sizeof(T)) return false;
    buffer.resize(size);
    return ::GetTokenInformation(token, what, buffer.data(), size, &size) != FALSE;
}

struct CCloseKey {
    void operator()(HKEY h) const { ::RegCloseKey(h); }
};
using CRegKeyHandle = CScopedHandle<HKEY, CCloseKey>;

// OpenThreadToken from advapi32, where Windows 7 has it: the import library would bind it to
// kernel32, which exports it only from Windows 8 on.
BOOL OpenThreadTokenFromAdvapi(HANDLE thread, DWORD access, BOOL asSelf, HANDLE* token)
{
    using OpenThreadTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, BOOL, HANDLE*);
    static const OpenThreadTokenFn open = reinterpret_cast<OpenThreadTokenFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("advapi32.dll"), "OpenThreadToken")));
    if (!open) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return open(thread, access, asSelf, token);
}

// Ends an impersonation on every path out.
class CRevertOnExit {
public:
    CRevertOnExit() = default;
    ~CRevertOnExit() { ::RevertToSelf(); }
    CRevertOnExit(const CRevertOnExit&) = delete;
    CRevertOnExit& operator=(const CRevertOnExit&) = delete;
};

// The Operators value, read at every connect so that a change counts for the next window; names
// are resolved again only when it changed, as resolving a domain's name may ask the network.
std::vector<SidBytes> CurrentOperators()
{
    static CCriticalSection lock;
    static std::vector<std::string> entries;
    static std::vector<SidBytes> sids;
    std::vector<std::string> now = ReadOperators();
    CSingleLock guard(&lock, true);
    if (now != entries) {
        sids = ResolveOperators(now);
        entries = std::move(now);
    }
    return sids;
}

} // namespace

SidBytes CopySid(PSID sid)
{
    if (!sid || !::IsValidSid(sid)) return SidBytes();
    const BYTE* p = static_cast<const BYTE*>(sid);
    return SidBytes(p, p + ::GetLengthSid(sid));
}

bool MayControl(const TokenFacts& token, const std::vector<SidBytes>& operators)
{
    const SidBytes admins = WellKnown(WinBuiltinAdministratorsSid);
    if (Listed(token.user, operators)) return true;
    for (const TokenFacts::Group& g : token.groups) {
        const bool enabled = (g.attributes & SE_GROUP_ENABLED) && !(g.attributes & SE_GROUP_USE_FOR_DENY_ONLY);
        const bool denyOnly = (g.attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0;
        if (SameSid(g.sid, admins) && (enabled || denyOnly)) return true;
        if (enabled && Listed(g.sid, operators)) return true;
    }
    return false;
}

std::vector<SidBytes> ResolveOperators(const std::vector<std::string>& entries)
{
    std::vector<SidBytes> sids;
    for (const std::string& entry : entries) {
        if (entry.empty()) continue;
        if ((entry[0] == 'S' || entry[0] == 's') && entry.size() > 1 && entry[1] == '-') {
            CLocalPtr<void> sid;
            if (::ConvertStringSidToSidA(entry.c_str(), sid.Receive())) sids.push_back(CopySid(sid.Get()));
            continue;
        }
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof sid;
        char domain[256];
        DWORD domainSize = sizeof domain;
        SID_NAME_USE use = SidTypeUnknown;
        if (::LookupAccountNameA(nullptr, entry.c_str(), sid, &sidSize, domain, &domainSize, &use))
            sids.push_back(CopySid(sid));
    }
    return sids;
}

std::vector<std::string> ReadOperators()
{
    std::vector<std::string> entries;
    for (const CString& entry : LoadServiceOperators()) entries.push_back(entry.GetString());
    return entries;
}

bool ReadTokenFacts(HANDLE token, TokenFacts& facts, DWORD& sessionId)
{
    std::vector<BYTE> user;
    std::vector<BYTE> groups;
    if (!TokenInfo<TOKEN_USER>(token, TokenUser, user) || !TokenInfo<TOKEN_GROUPS>(token, TokenGroups, groups))
        return false;
    DWORD session = 0;
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenSessionId, &session, sizeof session, &size)) return false;
    facts.user = CopySid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    facts.groups.clear();
    const TOKEN_GROUPS* g = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < g->GroupCount; ++i)
        facts.groups.push_back({CopySid(g->Groups[i].Sid), g->Groups[i].Attributes});
    sessionId = session;
    return !facts.user.empty();
}

bool IdentifyPipeClient(HANDLE pipe, Requester& who)
{
    CHandle token;
    {
        if (!::ImpersonateNamedPipeClient(pipe)) return false;
        CRevertOnExit revert;
        HANDLE raw = nullptr;
        // As self: the service's own token decides whether it may open the thread's token.
        if (!OpenThreadTokenFromAdvapi(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) return false;
        token.Attach(raw);
    }
    TokenFacts facts;
    DWORD session = 0;
    if (!ReadTokenFacts(token, facts, session)) return false;
    who.account = AccountName(facts.user.data());
    who.sessionId = session;
    who.how = "a window";
    who.mayControl = MayControl(facts, CurrentOperators());
    return true;
}

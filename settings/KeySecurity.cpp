#include "settings/KeySecurity.h"

namespace {

// Frees a SID from AllocateAndInitializeSid once the list holds its own copy.
class CSidOwner {
public:
    CSidOwner() = default;
    ~CSidOwner()
    {
        if (m_sid) FreeSid(m_sid);
    }
    CSidOwner(const CSidOwner&) = delete;
    CSidOwner& operator=(const CSidOwner&) = delete;
    PSID* Receive() { return &m_sid; }
    PSID Get() const { return m_sid; }

private:
    PSID m_sid = nullptr;
};

// The security calls exist from Windows 2000 (major version 5) on. GetVersionExA is looked up
// at run time: newer SDKs deprecate calling it directly.
bool SystemHasKeySecurity()
{
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (!kernel) return false;
    FARPROC proc = GetProcAddress(kernel, "GetVersionExA");
    if (!proc) return false;
    using GetVersionExFn = BOOL(WINAPI*)(OSVERSIONINFOA*);
    // Through void(*)(): the one function pointer type a cast may pass through without notice.
    auto getVersionEx = reinterpret_cast<GetVersionExFn>(reinterpret_cast<void (*)()>(proc));
    OSVERSIONINFOA info = {};
    // A record whose size field is not set is refused by the call.
    info.dwOSVersionInfoSize = sizeof(info);
    return getVersionEx(&info) && info.dwMajorVersion >= 5;
}

} // namespace

const KeySecurityCalls& SystemKeySecurityCalls()
{
    static const KeySecurityCalls calls = {AllocateAndInitializeSid, SetEntriesInAclA};
    return calls;
}

CKeySecurity::CKeySecurity(const KeySecurityCalls& calls)
{
    if (!SystemHasKeySecurity()) return;

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    CSidOwner everyone;
    if (!calls.allocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.Receive()))
        return;

    EXPLICIT_ACCESS_A entry = {};
    entry.grfAccessPermissions = 0x1FFFFF; // every standard and specific right
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(everyone.Get());
    if (calls.setEntriesInAcl(1, &entry, nullptr, pAcl.Receive()) != ERROR_SUCCESS) return;

    pSD.Reset(static_cast<SECURITY_DESCRIPTOR*>(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH)));
    if (!pSD.Get()) return;
    if (!InitializeSecurityDescriptor(pSD.Get(), SECURITY_DESCRIPTOR_REVISION)) return;
    if (!SetSecurityDescriptorDacl(pSD.Get(), TRUE, pAcl.Get(), FALSE)) return;

    pSA = std::make_unique<SECURITY_ATTRIBUTES>();
    pSA->nLength = sizeof(SECURITY_ATTRIBUTES);
    pSA->lpSecurityDescriptor = pSD.Get();
    pSA->bInheritHandle = TRUE;
}

bool CKeySecurity::Apply(HKEY key) const
{
    if (!IsValid()) return false;
    return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, pSD.Get()) == ERROR_SUCCESS;
}

#pragma once
// The access list every key this program creates gets: one entry granting Everyone full
// access, so that any user of the machine (and the family's other programs) can use the key.
#include "platform/Handle.h"

#include <windows.h>

#include <aclapi.h>

#include <memory>

// The two system calls that build the Everyone entry. Production uses the system's own;
// tests substitute failing ones to reach the paths where the entry cannot be built.
struct KeySecurityCalls {
    BOOL(WINAPI* allocateAndInitializeSid)(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD sub0,
                                           DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                           DWORD sub6, DWORD sub7, PSID* sid);
    DWORD(WINAPI* setEntriesInAcl)(ULONG count, PEXPLICIT_ACCESS_A entries, PACL oldAcl, PACL* newAcl);
};

const KeySecurityCalls& SystemKeySecurityCalls();

class CKeySecurity {
public:
    CKeySecurity() : CKeySecurity(SystemKeySecurityCalls()) {}
    explicit CKeySecurity(const KeySecurityCalls& calls);
    ~CKeySecurity() = default;
    CKeySecurity(const CKeySecurity&) = delete;
    CKeySecurity& operator=(const CKeySecurity&) = delete;

    // True only when the Everyone entry was built completely: a half-built record would give
    // keys a missing or unfinished descriptor, so without it keys keep the default security.
    bool IsValid() const { return pSA != nullptr; }
    SECURITY_ATTRIBUTES* Attributes() const { return pSA.get(); }
    // Sets the Everyone list as the key's discretionary list.
    bool Apply(HKEY key) const;

private:
    CLocalPtr<ACL> pAcl;                  // from SetEntriesInAcl, freed with LocalFree
    CLocalPtr<SECURITY_DESCRIPTOR> pSD;   // SECURITY_DESCRIPTOR_MIN_LENGTH bytes, zeroed
    std::unique_ptr<SECURITY_ATTRIBUTES> pSA;
};

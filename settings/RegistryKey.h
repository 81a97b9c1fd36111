#pragma once
// A key of the product family's key table, opened or created under a root key, with typed
// value access. Every key it creates gets the Everyone access list of CKeySecurity.
#include "platform/String.h"
#include "settings/KeySecurity.h"

#include <windows.h>

class CRegistryKey {
public:
    // Creates or opens the table row under root; a key created here gets the Everyone list.
    CRegistryKey(int keyIndex, REGSAM sam, HKEY root);
    // The same, building the access list through the given calls (tests).
    CRegistryKey(int keyIndex, REGSAM sam, HKEY root, const KeySecurityCalls& calls);
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // The table row, or the empty path outside the table.
    static CString KeyPath(int keyIndex);

    // The result of closing the key, or ERROR_INVALID_HANDLE when none is open.
    long Close();
    // Closes this key and creates or opens row keyIndex + suffix under HKEY_LOCAL_MACHINE.
    // Virtual so that tests can refuse an access the way Windows does for a standard account.
    virtual bool Reopen(int keyIndex, SECURITY_ATTRIBUTES* sa, CString suffix, unsigned options, REGSAM sam);
    // Reopens path under HKEY_LOCAL_MACHINE and gives it the Everyone list; false, with the
    // key left as it was, when there is no such list.
    bool ApplySecurity(const char* path);

    long WriteDword(const char* name, unsigned value);
    // REG_BINARY of the characters when rawData, else REG_SZ with its terminator.
    long WriteString(const char* name, CString value, bool rawData);
    // The stored type is not examined: any value of at most 4 bytes reads as a little-endian number.
    unsigned ReadDword(const char* name, unsigned defaultValue);
    // The stored type is not examined: the bytes up to the first NUL, whether or not there is one.
    CString ReadString(const char* name, const char* defaultValue);

    HKEY Handle() const { return hKey; }
    const CKeySecurity& Security() const { return security; }

private:
    void Create(int keyIndex, REGSAM sam, HKEY root);

    HKEY hKey = nullptr;
    CKeySecurity security;
};

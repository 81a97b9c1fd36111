#include "settings/RegistryKey.h"

#include "settings/RegistryKeyTable.h"

#include <vector>

namespace {
// The product family's tree lives in the 32-bit view of a 64-bit system; a 64-bit build must
// read and write the same keys. 32-bit Windows ignores the flag.
REGSAM InProductView(REGSAM sam) { return sam | KEY_WOW64_32KEY; }
} // namespace

CRegistryKey::CRegistryKey(int keyIndex, REGSAM sam, HKEY root)
{
    Create(keyIndex, sam, root);
}

CRegistryKey::CRegistryKey(int keyIndex, REGSAM sam, HKEY root, const KeySecurityCalls& calls)
    : security(calls)
{
    Create(keyIndex, sam, root);
}

CRegistryKey::~CRegistryKey()
{
    Close();
}

void CRegistryKey::Create(int keyIndex, REGSAM sam, HKEY root)
{
    CString path = KeyPath(keyIndex);
    SECURITY_ATTRIBUTES* sa = security.IsValid() ? security.Attributes() : nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, InProductView(sam), sa, &hKey,
                        &disposition) !=
        ERROR_SUCCESS) {
        hKey = nullptr;
        return;
    }
    if (disposition == REG_CREATED_NEW_KEY) ApplySecurity(path);
}

CString CRegistryKey::KeyPath(int keyIndex)
{
    if (keyIndex < 0 || keyIndex >= kRegistryKeyCount) return CString();
    return CString(kRegistryKeyTable[static_cast<size_t>(keyIndex)]);
}

long CRegistryKey::Close()
{
    if (!hKey) return ERROR_INVALID_HANDLE;
    long result = RegCloseKey(hKey);
    hKey = nullptr;
    return result;
}

bool CRegistryKey::Reopen(int keyIndex, SECURITY_ATTRIBUTES* sa, CString suffix, unsigned options, REGSAM sam)
{
    Close();
    CString path = KeyPath(keyIndex) + suffix;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, InProductView(sam), sa, &hKey,
                        &disposition) !=
        ERROR_SUCCESS) {
        hKey = nullptr;
        return false;
    }
    if (disposition == REG_CREATED_NEW_KEY) ApplySecurity(path);
    return true;
}

bool CRegistryKey::ApplySecurity(const char* path)
{
    if (!security.IsValid()) return false;
    Close();
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        InProductView(KEY_ALL_ACCESS), security.Attributes(), &hKey, nullptr) != ERROR_SUCCESS) {
        hKey = nullptr;
        return false;
    }
    return security.Apply(hKey);
}

long CRegistryKey::WriteDword(const char* name, unsigned value)
{
    if (!hKey) return ERROR_INVALID_HANDLE;
    DWORD data = value;
    return RegSetValueExA(hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

long CRegistryKey::WriteString(const char* name, CString value, bool rawData)
{
    if (!hKey) return ERROR_INVALID_HANDLE;
    DWORD size = static_cast<DWORD>(value.GetLength()) + (rawData ? 0 : 1);
    return RegSetValueExA(hKey, name, 0, rawData ? REG_BINARY : REG_SZ,
                          reinterpret_cast<const BYTE*>(value.GetString()), size);
}

unsigned CRegistryKey::ReadDword(const char* name, unsigned defaultValue)
{
    if (!hKey) return defaultValue;
    // Zeroed, so that a value shorter than 4 bytes reads as its bytes, little-endian.
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExA(hKey, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return defaultValue;
    return data;
}

CString CRegistryKey::ReadString(const char* name, const char* defaultValue)
{
    CString result(defaultValue);
    if (!hKey) return result;
    DWORD size = 0;
    if (RegQueryValueExA(hKey, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return result;
    // The value may carry no terminator (a REG_SZ written without one, REG_BINARY), so the
    // buffer has one byte more for ours. Another program may change the value between the
    // two calls: a value that grew is asked for again, a few times at most.
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
        DWORD got = size;
        LONG rc = RegQueryValueExA(hKey, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (rc == ERROR_SUCCESS && got <= size) {
            buffer[got] = '\0';
            return CString(buffer.data());
        }
        if (rc != ERROR_MORE_DATA) return result;
        size = got;
    }
    return result;
}

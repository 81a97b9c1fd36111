#include "service/ServiceSid.h"

#include <windows.h>

#include <wincrypt.h>

#include <string>

#include "service/ServiceHost.h"

namespace {

struct CryptProvider {
    HCRYPTPROV h = 0;
    ~CryptProvider()
    {
        if (h) CryptReleaseContext(h, 0);
    }
};
struct CryptHash {
    HCRYPTHASH h = 0;
    ~CryptHash()
    {
        if (h) CryptDestroyHash(h);
    }
};

} // namespace

CString ServiceSidString(const char* serviceName)
{
    // Service names are ASCII; the hash is taken over the UTF-16LE bytes of the upper-cased name.
    std::string bytes;
    for (const char* p = serviceName; *p; ++p) {
        char c = *p;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    CryptProvider provider;
    CryptHash hash;
    BYTE digest[20] = {};
    DWORD size = sizeof digest;
    if (!CryptAcquireContextA(&provider.h, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(provider.h, CALG_SHA1, 0, 0, &hash.h) ||
        !CryptHashData(hash.h, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) ||
        !CryptGetHashParam(hash.h, HP_HASHVAL, digest, &size, 0) || size != sizeof digest)
        return CString();
    std::string text = "S-1-5-80";
    for (int i = 0; i < 5; ++i) {
        DWORD part = static_cast<DWORD>(digest[i * 4]) | static_cast<DWORD>(digest[i * 4 + 1]) << 8 |
                     static_cast<DWORD>(digest[i * 4 + 2]) << 16 | static_cast<DWORD>(digest[i * 4 + 3]) << 24;
        text += "-" + std::to_string(part);
    }
    return CString(text.c_str());
}

CString CollectorServiceSidString() { return ServiceSidString(kCollectorServiceName); }

#pragma once
// Looking at the product's keys from outside, the way the family's other programs and
// installers see them: raw values, access lists and the whole tree under SOFTWARE.
#include <windows.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace regtest {

// The 32-bit view, where the product's keys live.
constexpr REGSAM kProductView = KEY_WOW64_32KEY;

constexpr const char* kVendorPath = "SOFTWARE\\Tarnwick";
constexpr const char* kProductPath = "SOFTWARE\\Tarnwick\\Orvane DVR";
constexpr const char* kCollectorPath = "SOFTWARE\\Tarnwick\\Orvane DVR\\POSCollector";

// An open key of the tests, closed on scope exit.
class CTestKey {
public:
    CTestKey() = default;
    ~CTestKey() { Close(); }
    CTestKey(const CTestKey&) = delete;
    CTestKey& operator=(const CTestKey&) = delete;
    // Opens an existing key under HKEY_LOCAL_MACHINE; false when it does not exist.
    bool Open(const char* path, REGSAM sam, REGSAM view = kProductView);
    // Creates the key (and its parents); sddl, when given, is its security descriptor.
    bool Create(const char* path, const char* sddl = nullptr, REGSAM view = kProductView);
    void Close();
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// Deletes the vendor's tree (32-bit view) when constructed and again when destroyed, so that
// every test starts without the product's keys and leaves none behind.
class CProductTreeGuard {
public:
    CProductTreeGuard() { DeleteTree(); }
    ~CProductTreeGuard() { DeleteTree(); }
    CProductTreeGuard(const CProductTreeGuard&) = delete;
    CProductTreeGuard& operator=(const CProductTreeGuard&) = delete;
    static void DeleteTree();
};

bool KeyExists(const char* path, REGSAM view = kProductView);

struct RawValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::string data;
};
RawValue ReadRaw(const char* path, const char* name);
bool WriteRaw(const char* path, const char* name, DWORD type, const std::string& data);

struct Ace {
    BYTE type = 0;
    BYTE flags = 0;
    DWORD mask = 0;
    std::string sid; // S-1-...
    bool operator==(const Ace& o) const
    {
        return type == o.type && flags == o.flags && mask == o.mask && sid == o.sid;
    }
};
// The key's discretionary list as read back through RegGetKeySecurity.
struct Dacl {
    bool read = false;    // the security could be read
    bool present = false; // the descriptor has a discretionary list
    std::vector<Ace> aces;
};
inline bool operator==(const Dacl& a, const Dacl& b)
{
    return a.read == b.read && a.present == b.present && a.aces == b.aces;
}
inline bool operator!=(const Dacl& a, const Dacl& b) { return !(a == b); }
std::string DaclText(const Dacl& dacl);
inline void PrintTo(const Dacl& dacl, std::ostream* os) { *os << DaclText(dacl); }

Dacl ReadDacl(const char* path, REGSAM view = kProductView);
Dacl ReadDacl(HKEY key);
Dacl DaclOf(PSECURITY_DESCRIPTOR sd);
// The list every key the product creates must carry: Everyone, full access, inherited by
// subkeys and values.
Dacl EveryoneFullAccess();

// Every key, value and access list under HKLM\SOFTWARE in the 64-bit view (which holds the
// 32-bit view under WOW6432Node), keyed by lower-case path; the Classes subtrees count as one
// entry each.
using Tree = std::map<std::string, std::string>;
Tree SnapshotSoftware();
// Entries added, removed or changed between two snapshots.
std::vector<std::string> TreeDifferences(const Tree& before, const Tree& after);

// The entries a snapshot gains when the product creates its keys (and, withValues, saves the
// seven settings), sorted as TreeDifferences gives them.
std::vector<std::string> ProductTreeAdditions(bool withValues);

// True for a 32-bit program on 64-bit Windows (or Wine), where the 32-bit view is separate.
bool RunsUnderWow64();

} // namespace regtest

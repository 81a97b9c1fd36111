#include "RegistryTestSupport.h"

#include "platform/Handle.h"

#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace regtest {

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Hex(const std::string& bytes)
{
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof(two), "%02x", c);
        out += two;
    }
    return out;
}

// Reused by every level of the walk: the tree has tens of thousands of keys.
struct WalkBuffers {
    std::vector<BYTE> sd = std::vector<BYTE>(4096);
    std::vector<char> name = std::vector<char>(16384);
    std::vector<BYTE> data = std::vector<BYTE>(1 << 16);
};

void Walk(HKEY key, const std::string& path, Tree& tree, WalkBuffers& buffers)
{
    std::vector<BYTE>& sd = buffers.sd;
    // The descriptor's bytes: any change to the key's security shows.
    DWORD sdSize = static_cast<DWORD>(sd.size());
    LONG rc = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &sdSize);
    if (rc == ERROR_INSUFFICIENT_BUFFER) {
        sd.resize(sdSize);
        rc = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &sdSize);
    }
    tree[Lower(path)] =
        rc == ERROR_SUCCESS ? "key " + Hex(std::string(reinterpret_cast<const char*>(sd.data()), sdSize)) : "key ?";

    std::vector<char>& name = buffers.name;
    std::vector<BYTE>& data = buffers.data;
    for (DWORD i = 0;;) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG rc = RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
        if (rc == ERROR_MORE_DATA && dataSize > data.size()) {
            data.resize(dataSize); // the same index again, with room
            continue;
        }
        if (rc != ERROR_SUCCESS) break;
        std::string bytes(reinterpret_cast<const char*>(data.data()), dataSize);
        tree[Lower(path + "\\:" + std::string(name.data(), nameSize))] = std::to_string(type) + " " + Hex(bytes);
        ++i;
    }

    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(key, i, name.data(), &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.emplace_back(name.data(), nameSize);
    }
    for (const std::string& child : children) {
        // The class registrations are most of the tree and no settings code goes near them;
        // walking them made each snapshot take many seconds under Wine.
        if (lstrcmpiA(child.c_str(), "Classes") == 0) {
            tree[Lower(path + "\\" + child)] = "skipped";
            continue;
        }
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &sub) != ERROR_SUCCESS) {
            tree[Lower(path + "\\" + child)] = "unopenable";
            continue;
        }
        Walk(sub, path + "\\" + child, tree, buffers);
        RegCloseKey(sub);
    }
}

} // namespace

std::string DaclText(const Dacl& dacl)
{
    if (!dacl.read) return "unreadable";
    if (!dacl.present) return "no-dacl";
    std::string out;
    char line[64];
    for (const Ace& a : dacl.aces) {
        std::snprintf(line, sizeof(line), "(%u;%u;%lx;", a.type, a.flags, static_cast<unsigned long>(a.mask));
        out += line + a.sid + ")";
    }
    return out;
}

bool CTestKey::Open(const char* path, REGSAM sam, REGSAM view)
{
    Close();
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam | view, &m_key) != ERROR_SUCCESS) m_key = nullptr;
    return m_key != nullptr;
}

bool CTestKey::Create(const char* path, const char* sddl, REGSAM view)
{
    Close();
    CLocalPtr<void> descriptor;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
    if (sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor.Receive(),
                                                                  nullptr))
            return false;
        sa.lpSecurityDescriptor = descriptor.Get();
    }
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view,
                        sddl ? &sa : nullptr, &m_key, nullptr) != ERROR_SUCCESS)
        m_key = nullptr;
    return m_key != nullptr;
}

void CTestKey::Close()
{
    if (m_key) RegCloseKey(m_key);
    m_key = nullptr;
}

void CProductTreeGuard::DeleteTree()
{
    CTestKey software;
    if (software.Open("SOFTWARE", KEY_ALL_ACCESS)) RegDeleteTreeA(software.Get(), "Tarnwick");
}

bool KeyExists(const char* path, REGSAM view)
{
    CTestKey key;
    return key.Open(path, KEY_READ, view);
}

RawValue ReadRaw(const char* path, const char* name)
{
    RawValue value;
    CTestKey key;
    if (!key.Open(path, KEY_READ)) return value;
    DWORD size = 0;
    if (RegQueryValueExA(key.Get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    std::vector<BYTE> data(size + 1);
    if (RegQueryValueExA(key.Get(), name, nullptr, &value.type, data.data(), &size) != ERROR_SUCCESS) return value;
    value.present = true;
    value.data.assign(reinterpret_cast<const char*>(data.data()), size);
    return value;
}

bool WriteRaw(const char* path, const char* name, DWORD type, const std::string& data)
{
    CTestKey key;
    if (!key.Create(path)) return false;
    return RegSetValueExA(key.Get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

Dacl ReadDacl(const char* path, REGSAM view)
{
    CTestKey key;
    if (!key.Open(path, READ_CONTROL, view)) return Dacl();
    return ReadDacl(key.Get());
}

Dacl ReadDacl(HKEY key)
{
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (size == 0) return Dacl();
    std::vector<BYTE> sd(size);
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS) return Dacl();
    Dacl dacl = DaclOf(sd.data());
    dacl.read = true;
    return dacl;
}

Dacl DaclOf(PSECURITY_DESCRIPTOR sd)
{
    Dacl dacl;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!sd || !GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted)) return dacl;
    dacl.read = true;
    dacl.present = present && acl;
    if (!dacl.present) return dacl;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw)) break;
        auto* header = static_cast<ACE_HEADER*>(raw);
        Ace ace;
        ace.type = header->AceType;
        ace.flags = header->AceFlags;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // Allowed and denied entries share one layout.
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            ace.mask = allowed->Mask;
            CLocalPtr<char> text;
            if (ConvertSidToStringSidA(&allowed->SidStart, text.Receive())) ace.sid = text.Get();
        }
        dacl.aces.push_back(ace);
    }
    return dacl;
}

Dacl EveryoneFullAccess()
{
    Dacl dacl;
    dacl.read = dacl.present = true;
    Ace ace;
    ace.type = ACCESS_ALLOWED_ACE_TYPE;
    ace.flags = CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE;
    ace.mask = 0x1FFFFF;
    ace.sid = "S-1-1-0";
    dacl.aces.push_back(ace);
    return dacl;
}

Tree SnapshotSoftware()
{
    Tree tree;
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ | KEY_WOW64_64KEY, &software) != ERROR_SUCCESS)
        return tree;
    WalkBuffers buffers;
    Walk(software, "SOFTWARE", tree, buffers);
    RegCloseKey(software);
    return tree;
}

std::vector<std::string> TreeDifferences(const Tree& before, const Tree& after)
{
    std::vector<std::string> diffs;
    for (const auto& [path, what] : before) {
        auto it = after.find(path);
        if (it == after.end())
            diffs.push_back("- " + path);
        else if (it->second != what)
            diffs.push_back("~ " + path);
    }
    for (const auto& [path, what] : after)
        if (!before.count(path)) diffs.push_back("+ " + path);
    std::sort(diffs.begin(), diffs.end());
    return diffs;
}

std::vector<std::string> ProductTreeAdditions(bool withValues)
{
    const std::string collector = "+ software\\wow6432node\\tarnwick\\orvane dvr\\poscollector";
    std::vector<std::string> entries = {"+ software\\wow6432node\\tarnwick",
                                        "+ software\\wow6432node\\tarnwick\\orvane dvr", collector};
    if (withValues)
        for (const char* name : {"baudrate", "commport", "databits", "datafile", "parity", "runatstartup", "stopbits"})
            entries.push_back(collector + "\\:" + name);
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool RunsUnderWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

} // namespace regtest

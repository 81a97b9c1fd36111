#include "capture/CaptureFilePath.h"

#include "platform/Handle.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

char Upper(char c)
{
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool IsDriveLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "X:\" (a drive path) at the start of s.
bool StartsWithDrive(const std::string& s)
{
    return s.size() >= 3 && IsDriveLetter(s[0]) && s[1] == ':' && s[2] == '\\';
}

bool IsReservedName(const std::string& component)
{
    // The system ignores what follows the first dot (an extension) or colon (a stream),
    // and trailing spaces.
    std::string base = component.substr(0, component.find_first_of(".:"));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = Upper(c);

    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : kNames)
        if (base == name) return true;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
        char d = base[3];
        // Windows also takes the superscript digits 1, 2 and 3 of code page 1252.
        return (d >= '1' && d <= '9') || d == '\xB9' || d == '\xB2' || d == '\xB3';
    }
    return false;
}

} // namespace

bool IsDevicePath(const char* path)
{
    if (!path) return false;
    std::string p(path);
    for (char& c : p)
        if (c == '/') c = '\\';

    // "\\.\", "\\?\" and "\??\" hand the rest to the object manager unchanged.
    auto hasPrefix = [&](const char* prefix) {
        size_t n = std::strlen(prefix);
        return p.compare(0, n, prefix) == 0 && (p.size() == n || p[n] == '\\');
    };
    if (hasPrefix("\\\\.")) return true;
    if (hasPrefix("\\\\?") || hasPrefix("\\??")) {
        std::string rest = p.size() > 4 ? p.substr(4) : std::string();
        if (!StartsWithDrive(rest)) return true;
        p = rest;
    }

    size_t slash = p.find_last_of('\\');
    std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
    // "C:NUL" names the device as surely as "C:\NUL".
    if (slash == std::string::npos && last.size() >= 2 && IsDriveLetter(last[0]) && last[1] == ':')
        last = last.substr(2);
    return IsReservedName(last);
}

namespace {

std::string UpperCase(std::string s)
{
    if (!s.empty()) ::CharUpperBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

std::string WithoutTrailingSlash(std::string s)
{
    while (s.size() > 3 && s.back() == '\\') s.pop_back();
    return s;
}

// The absolute form of path as the system would open it, without a "\\?\" prefix; empty when
// it cannot be had.
std::string FullPath(const char* path)
{
    char buffer[MAX_PATH];
    DWORD length = ::GetFullPathNameA(path, MAX_PATH, buffer, nullptr);
    std::string full;
    if (length == 0) return full;
    if (length < MAX_PATH) {
        full.assign(buffer, length);
    } else {
        full.resize(length);
        length = ::GetFullPathNameA(path, length, &full[0], nullptr);
        if (length == 0 || length >= full.size()) return std::string();
        full.resize(length);
    }
    if (full.compare(0, 4, "\\\\?\\") == 0) full.erase(0, 4);
    for (char& c : full)
        if (c == '/') c = '\\';
    return WithoutTrailingSlash(full);
}

struct FolderId {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool operator==(const FolderId& o) const
    {
        return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow;
    }
};

// The identity of an existing file or folder (no access to its contents is asked for).
bool IdentityOf(const std::string& path, FolderId& id)
{
    CHandle h(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.IsValid()) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) return false;
    id = FolderId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

struct ProtectedFolder {
    std::string upperPath;
    // Where the folder itself leads: C:\Windows may be reached through another name.
    std::string upperFinal;
    bool exists;
    FolderId id;
};

// The final path of an existing file or folder, as FinalPathOf gives it.
std::string FinalPathOfPath(const std::string& path)
{
    CHandle h(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h.IsValid() ? FinalPathOf(h) : std::string();
}

std::vector<ProtectedFolder> ProtectedFolders()
{
    std::vector<std::string> paths;
    char buffer[MAX_PATH];
    typedef UINT(WINAPI * FolderCall)(LPSTR, UINT);
    // GetWindowsDirectoryA can be a per-user folder on a terminal server; the shared one too.
    for (FolderCall call : {FolderCall(::GetWindowsDirectoryA), FolderCall(::GetSystemWindowsDirectoryA),
                            FolderCall(::GetSystemDirectoryA), FolderCall(::GetSystemWow64DirectoryA)}) {
        UINT length = call(buffer, MAX_PATH);
        if (length > 0 && length < MAX_PATH) paths.emplace_back(buffer, length);
    }
    for (const char* name : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"}) {
        DWORD length = ::GetEnvironmentVariableA(name, buffer, MAX_PATH);
        if (length > 0 && length < MAX_PATH) paths.emplace_back(buffer, length);
    }
    std::vector<ProtectedFolder> folders;
    for (const std::string& p : paths) {
        std::string full = FullPath(p.c_str());
        // A root is no folder of its own: everything would be protected.
        if (full.size() <= 3) continue;
        ProtectedFolder folder{UpperCase(full), UpperCase(WithoutTrailingSlash(FinalPathOfPath(full))), false, {}};
        folder.exists = IdentityOf(full, folder.id);
        folders.push_back(folder);
    }
    return folders;
}

// "C:\Windows" holds "C:\Windows\x" but not "C:\Windows2\x".
bool IsInside(const std::string& upperPath, const std::string& upperFolder)
{
    return upperPath.compare(0, upperFolder.size(), upperFolder) == 0 &&
           (upperPath.size() == upperFolder.size() || upperPath[upperFolder.size()] == '\\');
}

bool HasExecutableExtension(const std::string& fullPath)
{
    size_t slash = fullPath.find_last_of('\\');
    std::string name = fullPath.substr(slash == std::string::npos ? 0 : slash + 1);
    // "run.exe::$DATA" is run.exe itself; the system drops trailing dots and spaces.
    name = name.substr(0, name.find(':'));
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    const std::string ext = UpperCase(name.substr(dot + 1));
    static const char* const kExecutable[] = {"EXE", "DLL", "SYS", "COM", "BAT", "CMD", "PS1", "MSI", "SCR"};
    for (const char* e : kExecutable)
        if (ext == e) return true;
    return false;
}

} // namespace

bool IsProtectedPath(const char* path)
{
    if (!path || !*path) return false;
    const std::string full = FullPath(path);
    // A path the system cannot even make absolute is refused rather than guessed at.
    if (full.empty()) return true;
    if (HasExecutableExtension(full)) return true;

    DWORD attributes = ::GetFileAttributesA(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_SYSTEM)) return true;

    const std::vector<ProtectedFolder> folders = ProtectedFolders();
    const std::string upper = UpperCase(full);
    for (const ProtectedFolder& f : folders)
        if (IsInside(upper, f.upperPath) || (f.upperFinal.size() > 3 && IsInside(upper, f.upperFinal))) return true;

    // The same folders reached under another name: a short name, a junction, a symbolic link,
    // an administrative share. Each folder on the way that exists is compared by identity.
    for (std::string ancestor = full;;) {
        FolderId id;
        if (IdentityOf(ancestor, id))
            for (const ProtectedFolder& f : folders)
                if (f.exists && f.id == id) return true;
        size_t slash = ancestor.find_last_of('\\');
        if (slash == std::string::npos || slash < 3) break;
        ancestor.resize(slash);
    }
    return false;
}

namespace {

// The file's existing folder followed through links: checked before the open, so that
// normally nothing is created in a refused folder at all.
bool LeadsIntoProtectedFolder(const char* path)
{
    const std::string full = FullPath(path);
    const size_t slash = full.find_last_of('\\');
    if (slash == std::string::npos || slash < 2) return false;
    const std::string folder = full.substr(0, slash < 3 ? 3 : slash);
    std::string finalFolder = FinalPathOfPath(folder);
    // A folder that cannot be opened is left to the open, whose own check follows.
    if (finalFolder.empty()) return false;
    if (finalFolder.back() == '\\') finalFolder.pop_back();
    return IsProtectedPath((finalFolder + full.substr(slash)).c_str());
}

} // namespace

bool IsRefusedCapturePath(const char* path)
{
    return IsDevicePath(path) || IsProtectedPath(path) || LeadsIntoProtectedFolder(path);
}

std::string FinalPathOf(HANDLE file)
{
    std::string path(MAX_PATH, '\0');
    DWORD length = ::GetFinalPathNameByHandleA(file, &path[0], static_cast<DWORD>(path.size()),
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= path.size()) {
        // Too small: the length needed, with the terminator on Windows, without it on Wine.
        path.assign(length + 1, '\0');
        length = ::GetFinalPathNameByHandleA(file, &path[0], static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length >= path.size()) length = 0;
    }
    path.resize(length);
    if (path.compare(0, 8, "\\\\?\\UNC\\") == 0)
        path.replace(0, 8, "\\\\");
    else if (path.compare(0, 4, "\\\\?\\") == 0)
        path.erase(0, 4);
    return path;
}

bool IsRefusedOpenedFile(HANDLE file)
{
    const std::string path = FinalPathOf(file);
    // Where the file really is must be known before a byte goes into it.
    return path.empty() || IsRefusedCapturePath(path.c_str());
}

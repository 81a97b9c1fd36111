#include "capture/CaptureFilePath.h"

#include <cctype>
#include <cstring>
#include <string>

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

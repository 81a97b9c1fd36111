#include "app/CommandLine.h"

#include <windows.h>

#include <cctype>
#include <string>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// Skips the program name the way the system splits it: a quoted name may hold spaces (and
// "/tray" in a folder name), an unquoted one ends at the first blank.
const char* SkipProgramName(const char* p)
{
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && !IsSpace(*p)) ++p;
    }
    return p;
}

} // namespace

CommandLineOptions ParseCommandLine(const char* commandLine)
{
    CommandLineOptions options;
    if (!commandLine) return options;
    const char* p = SkipProgramName(commandLine);
    while (*p) {
        while (IsSpace(*p)) ++p;
        const char* start = p;
        // A quoted part holds blanks: DATAFILE="C:\Shop Data\lane 1.txt".
        bool quoted = false;
        while (*p && (quoted || !IsSpace(*p))) quoted ^= *p++ == '"';
        std::string word(start, p);
        const size_t equals = word.find('=');
        if (options.configureService && equals != std::string::npos && equals > 0 && word[0] != '/' && word[0] != '-') {
            std::string name = word.substr(0, equals);
            for (char& c : name) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
            std::string value;
            for (char c : word.substr(equals + 1))
                if (c != '"') value += c;
            options.serviceProperties[name] = value;
            continue;
        }
        if (options.status && ::lstrcmpiA(word.c_str(), "json") == 0) {
            options.statusJson = true;
            continue;
        }
        if (word.size() < 2 || (word[0] != '/' && word[0] != '-')) continue;
        const char* name = word.c_str() + 1;
        if (::lstrcmpiA(name, "tray") == 0)
            options.tray = true;
        else if (::lstrcmpiA(name, "close") == 0)
            options.close = true;
        else if (::lstrcmpiA(name, "createkeys") == 0)
            options.createKeys = true;
        else if (::lstrcmpiA(name, "service") == 0)
            options.service = true;
        else if (::lstrcmpiA(name, "configureservice") == 0)
            options.configureService = true;
        else if (::lstrcmpiA(name, "stopservice") == 0)
            options.stopService = true;
        else if (::lstrcmpiA(name, "startservice") == 0)
            options.startService = true;
        else if (::lstrcmpiA(name, "addfirewallrule") == 0)
            options.addFirewallRule = true;
        else if (::lstrcmpiA(name, "removefirewallrule") == 0)
            options.removeFirewallRule = true;
        else if (::lstrcmpiA(name, "status") == 0)
            options.status = true;
    }
    return options;
}

#pragma once
// The collector's switches. Unknown words are ignored, as they always were.
#include <map>
#include <string>

struct CommandLineOptions {
    // /tray: start hidden with only the tray icon (the logon entry); a second start does nothing.
    bool tray = false;
    // /close: ask the running collector to close as a user would, and wait for it.
    bool close = false;
    // /createkeys: create the settings keys with their access list, write no value, and end.
    bool createKeys = false;
    // /service: run as the Windows service (the service manager's command line).
    bool service = false;
    // /configureservice: the package's settings of the service it installed (recovery, delayed
    // start) and the capture folder; then end.
    bool configureService = false;
    // NAME=value words after /configureservice (the value quoted when it may hold blanks): the
    // package's properties for the service's settings, names in upper case. An empty value was
    // not given.
    std::map<std::string, std::string> serviceProperties;
    // /stopservice: stop the service and wait for its process to end (before the package removes
    // the program).
    bool stopService = false;
    // /startservice: start the service and return without waiting for it (the package's
    // rollback of an uninstall or upgrade that had stopped it).
    bool startService = false;
    // /addfirewallrule, /removefirewallrule: the inbound Windows Firewall rule for the service's
    // network outputs (the package's install and uninstall, and the rollback of each).
    bool addFirewallRule = false;
    bool removeFirewallRule = false;
    // /status: print every lane's state for a script and end with an exit code that sums them up;
    // "/status json" prints the same as one JSON document.
    bool status = false;
    bool statusJson = false;
};

// commandLine is the whole line, program name first, as GetCommandLine gives it. Switches
// start with '/' or '-' and are matched without regard to case.
CommandLineOptions ParseCommandLine(const char* commandLine);

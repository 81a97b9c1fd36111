#include <gtest/gtest.h>

#include "app/CommandLine.h"

TEST(CommandLine, SwitchesMatchInAnyCaseWithSlashOrDash)
{
    CommandLineOptions options =
        ParseCommandLine("POSCollector.exe /TRAY -Close /createKeys -Service /ConfigureService -stopservice /StartService "
                         "/AddFirewallRule -removefirewallrule");
    EXPECT_TRUE(options.tray);
    EXPECT_TRUE(options.close);
    EXPECT_TRUE(options.createKeys);
    EXPECT_TRUE(options.service);
    EXPECT_TRUE(options.configureService);
    EXPECT_TRUE(options.stopService);
    EXPECT_TRUE(options.startService);
    EXPECT_TRUE(options.addFirewallRule);
    EXPECT_TRUE(options.removeFirewallRule);
}

TEST(CommandLine, StatusTakesJsonOnlyAfterIt)
{
    const struct {
        const char* line;
        bool status;
        bool json;
    } cases[] = {
        {"POSCollector.exe /status", true, false},
        {"POSCollector.exe -STATUS Json", true, true},
        {"POSCollector.exe json /status", true, false},
        {"POSCollector.exe /statusjson", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const CommandLineOptions options = ParseCommandLine(c.line);
        EXPECT_EQ(c.status, options.status);
        EXPECT_EQ(c.json, options.statusJson);
    }
}

TEST(CommandLine, TheProgramNameAndUnknownWordsSwitchNothingOn)
{
    // A quoted program name may hold blanks and look like a switch; installers quote it.
    CommandLineOptions quoted = ParseCommandLine("\"C:\\Shop /tray\\POSCollector.exe\" /trayicon tray /x -");
    EXPECT_FALSE(quoted.tray);
    EXPECT_FALSE(quoted.close);
    EXPECT_FALSE(quoted.createKeys);

    CommandLineOptions plain = ParseCommandLine("C:\\POS\\POSCollector.exe\t/close");
    EXPECT_FALSE(plain.tray);
    EXPECT_TRUE(plain.close);
}

TEST(CommandLine, ConfigureServiceTakesThePackagesPropertiesWithQuotedBlanksAndEmptyOnes)
{
    CommandLineOptions options = ParseCommandLine(
        "\"C:\\Program Files (x86)\\POSCollector.exe\" /configureservice commport=\"COM3\" "
        "DATAFILE=\"C:\\Shop Data\\lane 1.txt\" OPERATORS=\"\" BAUDRATE=9600");
    EXPECT_TRUE(options.configureService);
    EXPECT_EQ(options.serviceProperties, (std::map<std::string, std::string>{{"BAUDRATE", "9600"},
                                                                              {"COMMPORT", "COM3"},
                                                                              {"DATAFILE", "C:\\Shop Data\\lane 1.txt"},
                                                                              {"OPERATORS", ""}}));
    // Only after /configureservice: elsewhere such words mean nothing.
    EXPECT_TRUE(ParseCommandLine("POSCollector.exe COMMPORT=3 /tray").serviceProperties.empty());
}

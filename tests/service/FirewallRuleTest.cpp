// The firewall rule's decisions against a fake firewall: replace rather than duplicate, remove
// every copy and succeed when there is none, and a Warning that says why when the firewall
// cannot be configured. Wine's firewall takes rules and keeps none (its Item is not
// implemented), so the real one is only run through, at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Messages.h"
#include "service/FirewallRule.h"
#include "tests/support/RecordingEventLog.h"

namespace {

const wchar_t kProgram[] = L"C:\\Program Files (x86)\\Orvane DVR\\POSCollector\\POSCollector.exe";
const wchar_t kOtherRule[] = L"Shop back office";
const HRESULT kNotRunning = static_cast<HRESULT>(0x800706D9); // the firewall service stopped
const HRESULT kNotImplemented = E_NOTIMPL;                    // what Wine's Item answers

// A firewall holding rules in a list, with the failures a PC may show.
class CFakeFirewall final : public IFirewallRules {
public:
    HRESULT openResult = S_OK;
    HRESULT containsResult = S_OK; // a failure here is returned in place of the answer
    HRESULT removeResult = S_OK;
    HRESULT addResult = S_OK;
    bool removeKeepsRules = false; // a rule a group policy sets: Remove succeeds, the rule stays
    bool addKeepsNothing = false;  // Wine: Add succeeds, the rule is nowhere
    std::vector<FirewallRuleDefinition> rules;
    int removeCalls = 0;
    int addCalls = 0;
    bool opened = false;

    HRESULT Open() override
    {
        opened = SUCCEEDED(openResult);
        return openResult;
    }
    HRESULT Contains(const std::wstring& name) override
    {
        EXPECT_TRUE(opened);
        if (FAILED(containsResult)) return containsResult;
        return Count(name) > 0 ? S_OK : S_FALSE;
    }
    HRESULT Remove(const std::wstring& name) override
    {
        EXPECT_TRUE(opened);
        ++removeCalls;
        if (FAILED(removeResult)) return removeResult;
        auto it = std::find_if(rules.begin(), rules.end(), [&](const auto& r) { return r.name == name; });
        if (it != rules.end() && !removeKeepsRules) rules.erase(it);
        return S_OK;
    }
    HRESULT Add(const FirewallRuleDefinition& rule) override
    {
        EXPECT_TRUE(opened);
        ++addCalls;
        if (FAILED(addResult)) return addResult;
        if (!addKeepsNothing) rules.push_back(rule);
        return S_OK;
    }
    int Count(const std::wstring& name) const
    {
        return static_cast<int>(std::count_if(rules.begin(), rules.end(), [&](const auto& r) { return r.name == name; }));
    }
};

FirewallRuleDefinition Rule(const std::wstring& name, const std::wstring& application)
{
    return FirewallRuleDefinition{name, L"", application, L""};
}

std::string HexOf(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

} // namespace

TEST(FirewallRuleTest, AddingLeavesExactlyOneRuleOfTheNameWithTheNewPathAndOthersAlone)
{
    const std::wstring name = CollectorFirewallRule(kProgram).name;
    const struct {
        const char* what;
        int before; // rules of our name already there, from an older install
    } cases[] = {{"first install", 0}, {"upgrade or repair", 1}, {"duplicates someone made", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testenv::RecordingEventLog log;
        CFakeFirewall firewall;
        firewall.rules.push_back(Rule(kOtherRule, L"C:\\Other\\other.exe"));
        for (int i = 0; i < c.before; ++i) firewall.rules.push_back(Rule(name, L"C:\\Old place\\POSCollector.exe"));

        EXPECT_TRUE(AddCollectorFirewallRule(firewall, kProgram));

        EXPECT_EQ(firewall.Count(name), 1);
        EXPECT_EQ(firewall.Count(kOtherRule), 1);
        // For the service, in the program at its installed path.
        for (const auto& r : firewall.rules) {
            if (r.name == name) {
                EXPECT_EQ(r.application, kProgram);
                EXPECT_EQ(r.service, L"OrvanePOSCollector");
            }
        }
        EXPECT_TRUE(log.Events().empty());
    }
}

TEST(FirewallRuleTest, RemovingTakesEveryCopyAndSucceedsWhenThereIsNone)
{
    const std::wstring name = CollectorFirewallRule(kProgram).name;
    for (int before : {0, 1, 2, 5}) {
        SCOPED_TRACE(before);
        testenv::RecordingEventLog log;
        CFakeFirewall firewall;
        firewall.rules.push_back(Rule(kOtherRule, L"C:\\Other\\other.exe"));
        for (int i = 0; i < before; ++i) firewall.rules.push_back(Rule(name, kProgram));

        EXPECT_TRUE(RemoveCollectorFirewallRule(firewall));

        EXPECT_EQ(firewall.Count(name), 0);
        EXPECT_EQ(firewall.Count(kOtherRule), 1);
        EXPECT_TRUE(log.Events().empty());
    }
}

TEST(FirewallRuleTest, AFirewallThatCannotBeConfiguredIsAWarningNamingTheRuleAndWhy)
{
    const std::wstring name = CollectorFirewallRule(kProgram).name;
    enum Failure { NoPath, OpenFails, ContainsFails, RemoveFails, AddFails, RuleNotKept, RuleWontGo };
    const struct {
        const char* what;
        Failure failure;
        HRESULT reason; // shown in the event
    } cases[] = {
        {"the program's path is unknown", NoPath, HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME)},
        {"the firewall service is stopped", OpenFails, kNotRunning},
        {"the firewall cannot list rules (Wine)", ContainsFails, kNotImplemented},
        {"a rule of the name cannot be removed", RemoveFails, E_ACCESSDENIED},
        {"the rule is refused", AddFails, E_ACCESSDENIED},
        {"the rule is taken and not kept (Wine)", RuleNotKept, HRESULT_FROM_WIN32(ERROR_NOT_FOUND)},
        {"a rule of the name stays whatever is removed", RuleWontGo, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    };
    for (bool adding : {true, false}) {
        for (const auto& c : cases) {
            if (!adding && (c.failure == NoPath || c.failure == AddFails || c.failure == RuleNotKept)) continue;
            SCOPED_TRACE(std::string(adding ? "add: " : "remove: ") + c.what);
            testenv::RecordingEventLog log;
            CFakeFirewall firewall;
            // An older install's rule, so that removing has something to do.
            firewall.rules.push_back(Rule(name, L"C:\\Old place\\POSCollector.exe"));
            if (c.failure == OpenFails) firewall.openResult = c.reason;
            if (c.failure == ContainsFails) firewall.containsResult = c.reason;
            if (c.failure == RemoveFails) firewall.removeResult = c.reason;
            if (c.failure == AddFails) firewall.addResult = c.reason;
            firewall.addKeepsNothing = c.failure == RuleNotKept;
            firewall.removeKeepsRules = c.failure == RuleWontGo;

            const std::wstring path = c.failure == NoPath ? L"" : kProgram;
            const bool done = adding ? AddCollectorFirewallRule(firewall, path) : RemoveCollectorFirewallRule(firewall);

            EXPECT_FALSE(done);
            const auto events = log.Events();
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
            EXPECT_EQ(events[0].id, adding ? DWORD(MSG_FIREWALL_RULE_NOT_ADDED) : DWORD(MSG_FIREWALL_RULE_NOT_REMOVED));
            ASSERT_EQ(events[0].strings.size(), 2u);
            EXPECT_EQ(events[0].strings[0], "Orvane POS Collector (recorders)");
            EXPECT_NE(events[0].strings[1].find(HexOf(c.reason)), std::string::npos) << events[0].strings[1];
            // Bounded however the firewall answers.
            EXPECT_LE(firewall.removeCalls, 16);
            // Nothing is added on top of a rule that could not be taken away.
            if (c.failure != AddFails && c.failure != RuleNotKept) {
                EXPECT_EQ(firewall.addCalls, 0);
            }
        }
    }
}

// Through COM to whatever firewall the machine has. Under Wine: the Warning (Item is not
// implemented); on Windows without elevation: the Warning (access denied); elevated: the rule,
// then removed. Never a failed switch.
TEST(FirewallRuleTest, TheRealFirewallEitherTakesTheRuleOrAWarningSaysWhy)
{
    testenv::RecordingEventLog log;
    EXPECT_EQ(RunAddFirewallRuleSwitch(), 0);
    const auto added = log.Events();
    bool present = false;
    {
        CComInit com;
        ASSERT_TRUE(com.Usable());
        CWindowsFirewallRules rules;
        present = SUCCEEDED(rules.Open()) && rules.Contains(CollectorFirewallRule(kProgram).name) == S_OK;
    }
    if (present) {
        EXPECT_TRUE(added.empty());
    } else {
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(added[0].id, DWORD(MSG_FIREWALL_RULE_NOT_ADDED));
        std::printf("  the firewall here: %s\n", added[0].strings[1].c_str());
    }
    EXPECT_EQ(RunRemoveFirewallRuleSwitch(), 0);
}

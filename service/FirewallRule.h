#pragma once
// The inbound Windows Firewall rule that lets the shop's recorders reach the service's network
// outputs that listen. The package adds it at install (/addfirewallrule) and removes it at
// uninstall (/removefirewallrule); a firewall that cannot be configured is noted in the event
// log and never fails the package.
#include <windows.h>

#include <string>

#include "platform/Com.h"

struct INetFwRules;

// What one rule says. The rest is fixed: inbound, allow, TCP, any local port (the outputs'
// ports come and go with the settings), remote addresses on the local subnet, every profile,
// enabled.
struct FirewallRuleDefinition {
    std::wstring name;
    std::wstring description;
    // The program's full path.
    std::wstring application;
    // The service's name: the rule then applies to that service's traffic only.
    std::wstring service;
};

// The few calls the rule needs of a firewall; the real one goes through INetFwPolicy2, tests
// put a fake in its place.
class IFirewallRules {
public:
    virtual ~IFirewallRules() = default;
    // Reaches the firewall; every call below needs it.
    virtual HRESULT Open() = 0;
    // S_OK when a rule of that name exists, S_FALSE when none does, an error when the firewall
    // cannot tell.
    virtual HRESULT Contains(const std::wstring& name) = 0;
    // Removes one rule of that name; S_OK also when there is none.
    virtual HRESULT Remove(const std::wstring& name) = 0;
    virtual HRESULT Add(const FirewallRuleDefinition& rule) = 0;
};

// Windows Firewall through its COM API (Windows Vista and later). The caller's thread must be
// in a COM apartment (CComInit) for this object's lifetime.
class CWindowsFirewallRules final : public IFirewallRules {
public:
    CWindowsFirewallRules();
    ~CWindowsFirewallRules() override;
    CWindowsFirewallRules(const CWindowsFirewallRules&) = delete;
    CWindowsFirewallRules& operator=(const CWindowsFirewallRules&) = delete;

    HRESULT Open() override;
    HRESULT Contains(const std::wstring& name) override;
    HRESULT Remove(const std::wstring& name) override;
    HRESULT Add(const FirewallRuleDefinition& rule) override;

private:
    CComRef<INetFwRules> m_rules;
};

// Removes every rule of that name: S_OK when none is left, also when there was none.
HRESULT RemoveFirewallRules(IFirewallRules& rules, const std::wstring& name);

// Puts rule in place of every rule of its name, so that an upgrade or a repair leaves one, and
// checks that the firewall lists it.
HRESULT ReplaceFirewallRule(IFirewallRules& rules, const FirewallRuleDefinition& rule);

// The collector's rule, for the program at programPath.
FirewallRuleDefinition CollectorFirewallRule(const std::wstring& programPath);

// What the package's switches do, over any firewall. Each notes a failure as a Warning event
// naming the rule and the reason, and returns whether it did what it says.
bool AddCollectorFirewallRule(IFirewallRules& rules, const std::wstring& programPath);
bool RemoveCollectorFirewallRule(IFirewallRules& rules);

// The switches themselves: Windows Firewall, this program's own path. Always 0: the firewall is
// not the capture's, and an install must not fail on it.
int RunAddFirewallRuleSwitch();
int RunRemoveFirewallRuleSwitch();

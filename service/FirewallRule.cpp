#include "service/FirewallRule.h"

#include <netfw.h>

#include <vector>

#include "Messages.h"
#include "platform/EventLog.h"
#include "platform/EventText.h"
#include "service/ServiceHost.h"

namespace {

const wchar_t kRuleName[] = L"Orvane POS Collector (recorders)";
const wchar_t kRuleDescription[] =
    L"Lets network video recorders on the local network connect to the Orvane POS Collector service's network "
    L"outputs that listen (TCP).";
// The keyword for the subnets of the PC's own network interfaces.
const wchar_t kLocalSubnet[] = L"LocalSubnet";
const long kProtocolTcp = 6;
// Removing one rule at a time, a rule that will not go (one a group policy sets) must not keep
// us here; more duplicates than this would not come from us.
const int kMaxRemovals = 16;

HRESULT PutText(INetFwRule* rule, HRESULT (STDMETHODCALLTYPE INetFwRule::*put)(BSTR), const std::wstring& text)
{
    CBstr value(text.c_str());
    if (!value.Get()) return E_OUTOFMEMORY;
    return (rule->*put)(value.Get());
}

// "Not implemented (0x80004001)": the system's text where it has one, and the code for a search.
CString ReasonText(HRESULT hr)
{
    CString text = SystemErrorText(static_cast<DWORD>(hr));
    if (text.GetLength() > 0 && text[text.GetLength() - 1] == '.') text = text.Left(text.GetLength() - 1);
    CString code;
    code.Format(" (0x%08lX)", static_cast<unsigned long>(hr));
    return text + code;
}

CString RuleNameText() { return CString(Narrow(kRuleName).c_str()); }

std::wstring ThisProgramPath()
{
    // Long enough for any path the package installs to; a cut path fails below.
    std::vector<wchar_t> path(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return std::wstring();
    return std::wstring(path.data(), length);
}

} // namespace

CWindowsFirewallRules::CWindowsFirewallRules() = default;
CWindowsFirewallRules::~CWindowsFirewallRules() = default;

HRESULT CWindowsFirewallRules::Open()
{
    CComRef<INetFwPolicy2> policy;
    HRESULT hr = ::CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                                    policy.ReceiveVoid());
    if (FAILED(hr)) return hr;
    return policy->get_Rules(m_rules.Receive());
}

HRESULT CWindowsFirewallRules::Contains(const std::wstring& name)
{
    if (!m_rules.Get()) return E_UNEXPECTED;
    CBstr value(name.c_str());
    if (!value.Get()) return E_OUTOFMEMORY;
    CComRef<INetFwRule> rule;
    const HRESULT hr = m_rules->Item(value.Get(), rule.Receive());
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return S_FALSE;
    if (FAILED(hr)) return hr;
    // Success without a rule would be a firewall that cannot tell.
    return rule.Get() ? S_OK : E_POINTER;
}

HRESULT CWindowsFirewallRules::Remove(const std::wstring& name)
{
    if (!m_rules.Get()) return E_UNEXPECTED;
    CBstr value(name.c_str());
    if (!value.Get()) return E_OUTOFMEMORY;
    return m_rules->Remove(value.Get());
}

HRESULT CWindowsFirewallRules::Add(const FirewallRuleDefinition& definition)
{
    if (!m_rules.Get()) return E_UNEXPECTED;
    CComRef<INetFwRule> rule;
    HRESULT hr = ::CoCreateInstance(__uuidof(NetFwRule), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule),
                                    rule.ReceiveVoid());
    if (FAILED(hr)) return hr;
    INetFwRule* r = rule.Get();
    if (SUCCEEDED(hr)) hr = PutText(r, &INetFwRule::put_Name, definition.name);
    if (SUCCEEDED(hr)) hr = PutText(r, &INetFwRule::put_Description, definition.description);
    if (SUCCEEDED(hr)) hr = PutText(r, &INetFwRule::put_ApplicationName, definition.application);
    // Matched by the service SID in the process's token: the service has an unrestricted one
    // (/configureservice), so only the service's own traffic is let in, not the window's.
    if (SUCCEEDED(hr)) hr = PutText(r, &INetFwRule::put_ServiceName, definition.service);
    // The protocol before anything that depends on it; local ports stay "any".
    if (SUCCEEDED(hr)) hr = r->put_Protocol(kProtocolTcp);
    if (SUCCEEDED(hr)) hr = PutText(r, &INetFwRule::put_RemoteAddresses, kLocalSubnet);
    if (SUCCEEDED(hr)) hr = r->put_Direction(NET_FW_RULE_DIR_IN);
    if (SUCCEEDED(hr)) hr = r->put_Action(NET_FW_ACTION_ALLOW);
    if (SUCCEEDED(hr)) hr = r->put_Profiles(NET_FW_PROFILE2_ALL);
    if (SUCCEEDED(hr)) hr = r->put_Enabled(VARIANT_TRUE);
    if (SUCCEEDED(hr)) hr = m_rules->Add(r);
    return hr;
}

HRESULT RemoveFirewallRules(IFirewallRules& rules, const std::wstring& name)
{
    // Remove takes away one rule of the name, and succeeds when there is none: ask after each.
    for (int i = 0; i < kMaxRemovals; ++i) {
        HRESULT hr = rules.Contains(name);
        if (hr == S_FALSE) return S_OK;
        if (FAILED(hr)) return hr;
        hr = rules.Remove(name);
        if (FAILED(hr)) return hr;
    }
    return rules.Contains(name) == S_FALSE ? S_OK : HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
}

HRESULT ReplaceFirewallRule(IFirewallRules& rules, const FirewallRuleDefinition& rule)
{
    HRESULT hr = RemoveFirewallRules(rules, rule.name);
    if (FAILED(hr)) return hr;
    hr = rules.Add(rule);
    if (FAILED(hr)) return hr;
    // A firewall that takes rules and keeps none is no firewall we configured.
    hr = rules.Contains(rule.name);
    return hr == S_FALSE ? HRESULT_FROM_WIN32(ERROR_NOT_FOUND) : hr;
}

FirewallRuleDefinition CollectorFirewallRule(const std::wstring& programPath)
{
    return FirewallRuleDefinition{kRuleName, kRuleDescription, programPath, Widen(kCollectorServiceName)};
}

bool AddCollectorFirewallRule(IFirewallRules& rules, const std::wstring& programPath)
{
    HRESULT hr = programPath.empty() ? HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME) : rules.Open();
    if (SUCCEEDED(hr)) hr = ReplaceFirewallRule(rules, CollectorFirewallRule(programPath));
    if (SUCCEEDED(hr)) return true;
    ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_FIREWALL_RULE_NOT_ADDED, {RuleNameText(), ReasonText(hr)});
    return false;
}

bool RemoveCollectorFirewallRule(IFirewallRules& rules)
{
    HRESULT hr = rules.Open();
    if (SUCCEEDED(hr)) hr = RemoveFirewallRules(rules, kRuleName);
    if (SUCCEEDED(hr)) return true;
    ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_FIREWALL_RULE_NOT_REMOVED, {RuleNameText(), ReasonText(hr)});
    return false;
}

int RunAddFirewallRuleSwitch()
{
    CComInit com;
    CWindowsFirewallRules rules;
    if (!com.Usable()) {
        ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_FIREWALL_RULE_NOT_ADDED,
                             {RuleNameText(), ReasonText(com.Result())});
        return 0;
    }
    AddCollectorFirewallRule(rules, ThisProgramPath());
    return 0;
}

int RunRemoveFirewallRuleSwitch()
{
    CComInit com;
    CWindowsFirewallRules rules;
    if (!com.Usable()) {
        ReportCollectorEvent(EVENTLOG_WARNING_TYPE, MSG_FIREWALL_RULE_NOT_REMOVED,
                             {RuleNameText(), ReasonText(com.Result())});
        return 0;
    }
    RemoveCollectorFirewallRule(rules);
    return 0;
}

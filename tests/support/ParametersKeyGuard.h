#pragma once
// Removes the service's Parameters key and its copy, LaneN keys included, before and after a test, and the service's
// key with them when the test made it (no service is installed in the test prefix: it has no
// ImagePath).
#include <windows.h>

#include "settings/ServiceParameters.h"

namespace testenv {

class ParametersKeyGuard {
public:
    ParametersKeyGuard() { Remove(); }
    ~ParametersKeyGuard() { Remove(); }
    ParametersKeyGuard(const ParametersKeyGuard&) = delete;
    ParametersKeyGuard& operator=(const ParametersKeyGuard&) = delete;

    static void Remove()
    {
        for (int lane = 2; lane <= kMaxServiceLanes; ++lane) {
            ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, LanePath(lane), kServiceParametersView, 0);
            ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, LanePath(lane, kServiceParametersCopyPath), kServiceParametersCopyView,
                              0);
        }
        ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kServiceParametersPath, kServiceParametersView, 0);
        ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kServiceParametersCopyPath, kServiceParametersCopyView, 0);
        const char service[] = "SYSTEM\\CurrentControlSet\\Services\\OrvanePOSCollector";
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, service, 0, KEY_QUERY_VALUE | kServiceParametersView, &key) !=
            ERROR_SUCCESS)
            return;
        const bool installed = ::RegQueryValueExA(key, "ImagePath", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        ::RegCloseKey(key);
        if (!installed) ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, service, kServiceParametersView, 0);
    }
};

} // namespace testenv

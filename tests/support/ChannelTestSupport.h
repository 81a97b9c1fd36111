#pragma once
// Tests serve the control channel from their own process: the window must believe this process
// as it would believe the service, judged by the same check.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <string>

#include "platform/Handle.h"
#include "channel/CaptureControl.h"
#include "channel/PipeClient.h"
#include "channel/PipeSecurity.h"

namespace testenv {

// This process as the system names the server and owner of a pipe it serves.
inline bool ThisProcessAsServer(ExpectedServer& expected)
{
    static std::atomic<int> probes{0};
    // A name of its own each time: windows of one test check at the same time.
    const std::string name = "\\\\.\\pipe\\Tarnwick.OrvaneDVR.POSCollector.self." +
                             std::to_string(GetCurrentProcessId()) + "." + std::to_string(++probes);
    // The server's own access list: the owner the system reports follows from it.
    CLocalPtr<void> descriptor;
    DWORD error = 0;
    if (!BuildPipeSecurityDescriptor(descriptor, error)) return false;
    SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor.Get(), FALSE};
    CHandle server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 64, 64, 0, &sa));
    CHandle client(CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ULONG pid = 0;
    if (!client.IsValid() || !GetNamedPipeServerProcessId(client, &pid)) return false;
    expected.processId = pid;
    expected.owners.clear();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(client, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) ==
        ERROR_SUCCESS) {
        CLocalPtr<void> owned(sd);
        CLocalPtr<char> text;
        if (owner && ConvertSidToStringSidA(owner, text.Receive())) expected.owners.push_back(text.Get());
    }
    return true;
}

// Another process serves: nothing this process serves is believed.
inline bool AnotherProcessAsServer(ExpectedServer& expected)
{
    if (!ThisProcessAsServer(expected)) return false;
    expected.processId += 4; // process ids are multiples of 4: never this one
    return true;
}

// A service's side that takes every request; a test says which lanes it serves.
class AcceptingControl : public ICaptureControl {
public:
    ControlRefusal Run(int, const CollectorSettings&, const Requester&) override { return std::nullopt; }
    ControlRefusal Stop(int, const Requester&) override { return std::nullopt; }
    ControlRefusal Save(int, const CollectorSettings&, const Requester&) override { return std::nullopt; }
    ControlRefusal AddLane(int, const CollectorSettings&, const Requester&) override { return std::nullopt; }
    ControlRefusal RemoveLane(int, const Requester&) override { return std::nullopt; }
};

} // namespace testenv

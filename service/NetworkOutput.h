#pragma once
// CLaneOutputs: the network outputs of one lane. The capture thread hands it every byte the
// file got (ICaptureTap); each output sends them to its recorders on a thread of its own, so a
// recorder that is slow, gone or never answers delays neither the file, the port nor another
// output. Each recorder may be behind by at most kRecorderBuffer bytes: what does not fit is
// dropped for that recorder alone and counted.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureTap.h"
#include "channel/Protocol.h"
#include "platform/Sync.h"
#include "service/OutputString.h"

class COutputNotices;
class CWinsockUser;

// What /status and the window show of one output.
struct OutputState {
    std::string name;  // as the registry holds it
    // As the channel carries it: listening (listen), connected (udp: sending), connecting
    // (resolving the name too), waiting (after a failure), failed (a listen port not had).
    using Link = channel::OutputLink;
    Link link = Link::Connecting;
    std::vector<std::string> peers; // "192.168.1.20:51234", connected now
    unsigned long long sent = 0;    // bytes handed to the network, all recorders together
    unsigned long long dropped = 0; // bytes that did not fit a recorder's buffer, all together
};

// Something the service logs, once per outage of one recorder.
struct OutputEvent {
    enum class Kind {
        Connected, // the first connection to (or from) this recorder since the output started
        Lost,      // the connection ended, or connect/resolve/send failed (first failure only)
        Back,      // connected again after Lost
        Dropping,  // the recorder's buffer is full: bytes are dropped until it catches up
        Unusable,  // listen: the port cannot be had; connect/udp: the name does not resolve
    } kind = Kind::Connected;
    std::string output;  // the output's name
    std::string peer;    // "192.168.1.20:4000" for connect and udp, "192.168.1.20" for listen
    std::string why;     // Lost, Unusable: the system's reason in words
    unsigned long long outageMs = 0; // Back: how long it was lost
    unsigned long long dropped = 0;  // Back: bytes dropped for it during the outage
};

class CLaneOutputs : public ICaptureTap {
public:
    static const size_t kRecorderBuffer = 64 * 1024;

    CLaneOutputs();
    ~CLaneOutputs() override; // stops every output
    CLaneOutputs(const CLaneOutputs&) = delete;
    CLaneOutputs& operator=(const CLaneOutputs&) = delete;

    // Set whenever an event waits or a state changes (the service's change event).
    void SetNotifyEvent(HANDLE event);
    // The outputs to run and the lane's code page for text outputs. Outputs that stay the same
    // (same definition, same code page) go on with their connections; others stop and start.
    void Configure(const std::vector<OutputDefinition>& outputs, unsigned codePage);
    // Stops every output (the lane was removed, the service stops).
    void Stop();

    // ICaptureTap: copies the bytes for each output and returns.
    void Captured(const char* data, size_t size) override;

    std::vector<OutputState> States() const;
    std::vector<OutputEvent> TakeEvents();

private:
    class Output;
    std::vector<std::unique_ptr<Output>> m_outputs;
    std::unique_ptr<CWinsockUser> m_winsock;
    std::unique_ptr<COutputNotices> m_notices;
    // m_outputs: Captured on the capture thread against Configure and Stop on the service's.
    mutable CCriticalSection m_lock;
    // One Configure or Stop at a time.
    CCriticalSection m_configure;
};

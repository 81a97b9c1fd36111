#pragma once
// COutputRunner: one network output on a thread of its own. The capture thread's bytes wait in
// the output's inbox; the thread takes them (through the receipt text for a text output),
// hands them to the kind of output (listen, connect, udp) and serves its sockets, never
// blocking on one. A kind says what to wait for and is called on this thread only.
#include "service/Winsock.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/Handle.h"
#include "platform/Sync.h"
#include "service/NetworkOutput.h"
#include "service/OutputInbox.h"
#include "service/OutputNotices.h"
#include "service/ReceiptText.h"

class COutputRunner {
public:
    // A datagram stays below the usual Ethernet payload, so that no network fragments it.
    static const size_t kDatagram = 1400;

    COutputRunner(const OutputDefinition& definition, unsigned codePage, COutputNotices& notices);
    virtual ~COutputRunner();
    COutputRunner(const COutputRunner&) = delete;
    COutputRunner& operator=(const COutputRunner&) = delete;

    const OutputDefinition& Definition() const { return m_definition; }
    unsigned CodePage() const { return m_codePage; }
    bool Start();
    // Asks the thread to end; Join waits for it. Sockets close as the thread leaves.
    void RequestStop();
    void Join();

    // The capture thread's bytes: copied, and the thread woken.
    void Captured(const char* data, size_t size);
    OutputState State() const;

protected:
    // Called on the output's thread (Begin before it starts, on the caller's).
    virtual void Begin(unsigned long long now) = 0;
    // The handles to wait on besides stop and wake; Signalled gets the index into them.
    virtual void Handles(std::vector<HANDLE>& handles) = 0;
    virtual void Signalled(size_t index, unsigned long long now) = 0;
    // Timers: returns how long until it wants to be called again (INFINITE: not before the
    // next byte or socket event).
    virtual DWORD Tick(unsigned long long now) = 0;
    // Bytes for the recorders: raw, with where each capture piece ends, or text (ends empty).
    virtual void Deliver(const std::string& bytes, const std::vector<size_t>& ends, unsigned long long now) = 0;
    // Bytes pushed out of the inbox before the thread saw them (it was held up): every
    // recorder lost them.
    virtual void Lost(size_t size) = 0;
    virtual void Report(OutputState& state) const = 0;
    // Text outputs: only whole lines are handed on (datagrams).
    virtual bool WholeLines() const { return false; }
    // Sockets are closed here, before the thread ends.
    virtual void End() = 0;

    // Names the output and the peer in the event and queues it.
    void Say(OutputEvent event, const std::string& peer);
    static unsigned long long Now();

    const OutputDefinition m_definition;

private:
    static unsigned __stdcall ThreadProc(void* param);
    void Run();
    void Drain(unsigned long long now);
    void Publish();

    const unsigned m_codePage;
    COutputNotices& m_notices;
    COutputInbox m_inbox;
    CReceiptText m_text;
    std::string m_batch;        // the thread's copy of the inbox, its memory kept
    std::vector<size_t> m_ends;
    CHandle m_stop{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CHandle m_wake{::CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    CHandle m_thread;
    mutable CCriticalSection m_stateLock;
    OutputState m_state;
};

// A kind of output for its definition, not started.
std::unique_ptr<COutputRunner> MakeOutputRunner(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices);

// The kinds, one source file each.
std::unique_ptr<COutputRunner> MakeListenOutput(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices);
std::unique_ptr<COutputRunner> MakeConnectOutput(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices);
std::unique_ptr<COutputRunner> MakeUdpOutput(const OutputDefinition& definition, unsigned codePage,
                                            COutputNotices& notices);
// A socket that would have blocked is tried again at least this often, in case its "writable
// again" notice is missed.
const DWORD kBlockedPollMs = 250;

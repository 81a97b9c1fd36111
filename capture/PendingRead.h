#pragma once
// CPendingRead: one overlapped read of a serial port at a time, with its buffer, record and
// manual-reset event. A read the driver never gives back (not on a cancel, not on a close)
// still owns this object: its owner then abandons it on purpose and makes a new one, since
// the system may write into the buffer and the record whenever that read ends.
#include <windows.h>

#include <memory>

#include "platform/Handle.h"
#include "serial/SerialDevice.h"

class CPendingRead {
public:
    // The largest read, and the buffer that takes it.
    static const unsigned kBufferSize = 0xFFFF;

    enum class Result { Done, Pending, Failed };
    enum class Wait { Completed, Stopped, TimedOut };

    // Null when the event or the buffer cannot be had.
    static std::unique_ptr<CPendingRead> Create();
    CPendingRead(const CPendingRead&) = delete;
    CPendingRead& operator=(const CPendingRead&) = delete;

    // Starts a read of up to size bytes. Done: Count() bytes are in Data(). Failed: Error()
    // says why; a read that failed holds nothing to trust, on Windows not even its count.
    Result Issue(ISerialDevice& port, unsigned size);
    // Waits for the pending read until it completes, stop is signalled (none: not watched)
    // or the tick count reaches untilTick.
    Wait WaitFor(HANDLE stop, DWORD untilTick) const;
    // After WaitFor said Completed: the read's outcome, as for Issue.
    Result Finish(ISerialDevice& port);
    // Cancels the pending read until it ends, repeating the cancel every cancelEveryMs; after
    // giveUpMs the port is closed under it. True when it ended: Count() then holds the bytes of
    // a read that succeeded before the cancel took hold, else 0. False when even the close did
    // not end it: the read still owns this object.
    bool End(ISerialDevice& port, DWORD cancelEveryMs, DWORD giveUpMs);

    bool IsPending() const { return m_pending; }
    DWORD IssuedAt() const { return m_issuedAt; }
    const char* Data() const { return m_buffer; }
    unsigned Count() const { return m_count; }
    DWORD Error() const { return m_error; }

private:
    CPendingRead() = default;
    Result Completed(unsigned count);
    Result Failed(DWORD error);

    char m_buffer[kBufferSize];
    OVERLAPPED m_ov{};
    CHandle m_event;
    bool m_pending = false;
    DWORD m_issuedAt = 0;
    unsigned m_count = 0;
    DWORD m_error = 0;
};

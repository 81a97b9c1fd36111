#pragma once
// CCaptureFile: the capture file, and the bytes that wait in memory while it cannot be
// written (a full disk, a share gone for a minute, a file locked for a moment). What waits is
// written first, in order, once the file takes bytes again; nothing is dropped below the bound.
#include <windows.h>

#include <vector>

#include "platform/Handle.h"
#include "platform/String.h"

class CCaptureFile {
public:
    enum class Put { Written, Held, Overflow };

    explicit CCaptureFile(size_t memoryBound) : m_bound(memoryBound) {}
    CCaptureFile(const CCaptureFile&) = delete;
    CCaptureFile& operator=(const CCaptureFile&) = delete;

    // Creates the file, emptying one that exists: only at the start of a capture. False for a
    // path that is refused or is not a file on a disk.
    bool Create(const CString& path);
    // Opens the file of a capture that goes on, creating it when it is gone; bytes are
    // appended after what it holds.
    bool Continue(const CString& path);
    // Appends bytes after everything given before. Held: they (and perhaps part of an earlier
    // write) wait in memory. Overflow: the bound is reached and these bytes were not kept.
    Put Append(const char* data, size_t size);
    // Writes what waits, reopening the file (never emptying it) when its handle is dead. True
    // when nothing waits any more.
    bool Flush();

    size_t Waiting() const { return m_held.size() - m_head; }
    // Why the last write failed.
    DWORD LastError() const { return m_error; }
    unsigned long long Written() const { return m_written; }

private:
    // Writes as much as the file takes; false with m_error set when it stopped short.
    bool WriteAll(const char* data, size_t size, size_t& done);
    bool Hold(const char* data, size_t size);
    bool Reopen();

    CString m_path;
    CHandle m_file;
    size_t m_bound;
    std::vector<char> m_held;
    size_t m_head = 0; // m_held[m_head..] waits
    unsigned long long m_written = 0;
    DWORD m_error = 0;
};

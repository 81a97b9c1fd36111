#include "capture/CaptureFile.h"

#include <new>

#include "capture/CaptureFilePath.h"

namespace {

bool IsAcceptable(HANDLE file)
{
    return ::GetFileType(file) == FILE_TYPE_DISK && !IsRefusedOpenedFile(file);
}

// Opens the file for writing, creating it when it is not there, never emptying it; shared for
// reading so that the recorder can follow the capture as it grows. Devices, system folders and
// executables are never a capture file, also when a junction or link leads there: the settings
// are in the hands of other accounts, and the collector may run with more rights than they.
// Where the opened file really is gets checked before a byte is written, and a file this call
// created in a refused place is deleted again.
HANDLE OpenCaptureFile(const CString& path)
{
    if (IsRefusedCapturePath(path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // A few rounds at most: the file may come and go between the calls.
    for (int attempt = 0; attempt < 3; ++attempt) {
        CHandle file(::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file.IsValid()) {
            if (!IsAcceptable(file)) {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            return file.Detach();
        }
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) return INVALID_HANDLE_VALUE;

        // Made with the right to delete it, which the handle kept must not hold (a reader that
        // does not share deletion could not open the file then): checked, closed, opened again.
        CHandle created(::CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
        if (!created.IsValid()) {
            if (::GetLastError() == ERROR_FILE_EXISTS) continue;
            return INVALID_HANDLE_VALUE;
        }
        if (!IsAcceptable(created)) {
            FILE_DISPOSITION_INFO gone = {TRUE};
            ::SetFileInformationByHandle(created, FileDispositionInfo, &gone, sizeof gone);
            ::SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

bool CCaptureFile::Create(const CString& path)
{
    m_path = path;
    m_file.Attach(OpenCaptureFile(path));
    m_written = 0;
    // Emptied only now that the file is known to be a capture file. Not when it is empty
    // already: Wine fails even that on a full disk.
    LARGE_INTEGER size = {};
    if (m_file.IsValid() && (!::GetFileSizeEx(m_file, &size) || (size.QuadPart > 0 && !::SetEndOfFile(m_file))))
        m_file.Close();
    return m_file.IsValid();
}

bool CCaptureFile::Continue(const CString& path)
{
    m_path = path;
    m_file.Attach(OpenCaptureFile(path));
    LARGE_INTEGER end = {};
    if (!m_file.IsValid() || !::SetFilePointerEx(m_file, end, &end, FILE_END)) {
        m_file.Close();
        return false;
    }
    m_written = static_cast<unsigned long long>(end.QuadPart);
    return true;
}

bool CCaptureFile::WriteAll(const char* data, size_t size, size_t& done)
{
    done = 0;
    if (!m_file.IsValid()) {
        if (m_error == 0) m_error = ERROR_INVALID_HANDLE;
        return false;
    }
    while (done < size) {
        const DWORD chunk = size - done > 0x100000 ? 0x100000 : static_cast<DWORD>(size - done);
        DWORD written = 0;
        BOOL ok = ::WriteFile(m_file, data + done, chunk, &written, nullptr);
        // Counted even on failure: what the system says it wrote is in the file.
        done += written;
        m_written += written;
        if (!ok) {
            m_error = ::GetLastError();
            return false;
        }
        // A full disk can report success for part of a write and then nothing at all.
        if (written == 0) {
            m_error = ERROR_DISK_FULL;
            return false;
        }
    }
    return true;
}

bool CCaptureFile::Hold(const char* data, size_t size)
{
    if (size > m_bound || Waiting() > m_bound - size) return false;
    // The written front goes once it is the larger part, so the block does not only grow.
    if (m_head > 0 && m_head >= m_held.size() / 2) {
        m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    try {
        m_held.insert(m_held.end(), data, data + size);
    } catch (const std::bad_alloc&) {
        // A 32-bit process short of address space: as good as the bound.
        return false;
    }
    return true;
}

CCaptureFile::Put CCaptureFile::Append(const char* data, size_t size)
{
    if (size == 0) return Waiting() ? Put::Held : Put::Written;
    // Behind bytes that wait, in order, until the next Flush.
    if (Waiting()) return Hold(data, size) ? Put::Held : Put::Overflow;
    size_t done = 0;
    if (WriteAll(data, size, done)) return Put::Written;
    return Hold(data + done, size - done) ? Put::Held : Put::Overflow;
}

bool CCaptureFile::Reopen()
{
    // Ours is opened for writing without write sharing: it goes first. Never emptied: the file
    // holds the whole capture so far.
    m_file.Close();
    CHandle file(OpenCaptureFile(m_path));
    if (!file.IsValid()) return false;
    // Carry on where our bytes end; a file someone shortened meanwhile is appended to.
    LARGE_INTEGER size = {};
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(m_written);
    if (!::GetFileSizeEx(file, &size) || size.QuadPart < at.QuadPart) at = size;
    if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        m_error = ::GetLastError();
        return false;
    }
    m_written = static_cast<unsigned long long>(at.QuadPart);
    m_file.Attach(file.Detach());
    return true;
}

bool CCaptureFile::Flush()
{
    for (int attempt = 0; Waiting() && attempt < 2; ++attempt) {
        size_t done = 0;
        bool all = WriteAll(m_held.data() + m_head, Waiting(), done);
        m_head += done;
        if (all) break;
        // A share that dropped leaves a dead handle behind: the second try gets a new one.
        if (attempt == 0 && !Reopen()) break;
    }
    if (!Waiting()) {
        m_held.clear();
        m_held.shrink_to_fit();
        m_head = 0;
    }
    return Waiting() == 0;
}

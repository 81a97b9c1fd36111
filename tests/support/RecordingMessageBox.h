#pragma once
// A message box service for tests: records every box instead of showing it, answers
// IDOK at once, and uninstalls itself when it goes out of scope.
#include "platform/MessageBox.h"

#include <mutex>
#include <string>
#include <vector>

namespace testenv {

// A message box service that is installed for exactly its lifetime. Install and uninstall
// happen in the base, around the derived object's life. A dialog shows its boxes on a thread
// of its own: declare the service before the dialog, so that it outlives the dialog's boxes.
class ScopedMessageBoxService : public IMessageBoxService {
public:
    ScopedMessageBoxService() { m_previous = SetMessageBoxService(this); }
    ~ScopedMessageBoxService() override { SetMessageBoxService(m_previous); }
    ScopedMessageBoxService(const ScopedMessageBoxService&) = delete;
    ScopedMessageBoxService& operator=(const ScopedMessageBoxService&) = delete;

private:
    IMessageBoxService* m_previous = nullptr;
};

struct RecordedBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
    DWORD threadId;
};

class RecordingMessageBox : public ScopedMessageBoxService {
public:
    int Show(HWND owner, const char* text, const char* caption, UINT type) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_boxes.push_back({owner, text ? text : "", caption ? caption : "", type, GetCurrentThreadId()});
        return IDOK;
    }

    std::vector<RecordedBox> Boxes() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_boxes;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_boxes.size();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<RecordedBox> m_boxes;
};

} // namespace testenv

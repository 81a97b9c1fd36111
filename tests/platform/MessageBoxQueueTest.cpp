// The queue of message boxes with the real message box: one at a time, in order, on a thread
// of its own, and a close that takes the open box away unanswered.
#include "platform/MessageBoxQueue.h"
#include "support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Shows real boxes and notes their captions and threads.
class NotedBoxes : public testenv::ScopedMessageBoxService {
public:
    int Show(HWND owner, const char* text, const char* caption, UINT type) override
    {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_captions.push_back(caption);
            m_threads.push_back(GetCurrentThreadId());
        }
        return MessageBoxA(owner, text, caption, type);
    }
    std::vector<std::string> Captions()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_captions;
    }
    std::vector<DWORD> Threads()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_threads;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_captions;
    std::vector<DWORD> m_threads;
};

HWND VisibleBox(const char* caption)
{
    HWND box = FindWindowA("#32770", caption);
    return box && IsWindowVisible(box) ? box : nullptr;
}

bool WaitFor(const std::function<bool()>& pred, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

} // namespace

TEST(MessageBoxQueue, BoxesOpenOneAtATimeInOrderAwayFromTheCallerAndCloseTakesThemAway)
{
    NotedBoxes noted;
    CMessageBoxQueue queue;
    queue.Post("first", "Queue 1", MB_OK | MB_ICONWARNING);
    queue.Post("second", "Queue 2", MB_OK | MB_ICONWARNING);
    queue.Post("third", "Queue 3", MB_OK | MB_ICONWARNING);

    HWND first = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (first = VisibleBox("Queue 1")) != nullptr; }, 5000));
    Sleep(100);
    EXPECT_EQ(FindWindowA("#32770", "Queue 2"), nullptr) << "the second opened before the first was answered";
    PostMessageA(first, WM_COMMAND, IDOK, 0);
    HWND second = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (second = VisibleBox("Queue 2")) != nullptr; }, 5000));

    EXPECT_TRUE(queue.Close(2000));
    EXPECT_FALSE(IsWindow(second));
    queue.Post("after the close", "Queue 4", MB_OK);
    Sleep(100);
    EXPECT_EQ(noted.Captions(), (std::vector<std::string>{"Queue 1", "Queue 2"}));
    for (DWORD thread : noted.Threads()) EXPECT_NE(thread, GetCurrentThreadId());
}

#include "app/RunningCollector.h"

#include "platform/Handle.h"
#include "platform/Wnd.h"

namespace {
// The class and caption of the collector's dialog (res/POSCollector.rc).
const char kDialogClass[] = "#32770";
const char kDialogCaption[] = "Orvane POS Collector";
const DWORD kPollMs = 50;
} // namespace

HWND FindRunningCollector() { return CWnd::FindWindow(kDialogClass, kDialogCaption); }

bool CloseRunningCollector(DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        CWnd running;
        running.Attach(FindRunningCollector());
        if (!running.GetSafeHwnd()) return true;
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;

        DWORD processId = 0;
        ::GetWindowThreadProcessId(running, &processId);
        CHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
        // What the close box sends: the dialog ends as when a user closes it.
        running.PostMessage(WM_CLOSE);
        if (process.IsValid()) {
            if (::WaitForSingleObject(process, timeoutMs - elapsed) != WAIT_OBJECT_0) return false;
        } else {
            // No right to wait on the process: wait for its window instead.
            while (::IsWindow(running) && ::GetTickCount() - start < timeoutMs) ::Sleep(kPollMs);
        }
    }
}

#include "platform/MessagePump.h"

#include <windows.h>

bool PumpMessage()
{
    MSG msg;
    if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        // Leave it for the loop that owns the thread, and let the caller sleep as if
        // nothing was pending.
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    return true;
}

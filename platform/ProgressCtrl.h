#pragma once
// CProgressCtrl: the common-controls progress bar. The plain calls are synchronous
// SendMessages; the Post calls return at once, for threads that must not wait.
#include <windows.h>

#include <commctrl.h>

#include "platform/Wnd.h"

class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    int SetStep(int step) { return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(step), 0)); }
    int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos), 0)); }
    int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
    // Posted rather than sent: a worker thread must never wait for the window's thread.
    bool PostSetRange(short lower, short upper) { return PostMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    bool PostSetStep(int step) { return PostMessage(PBM_SETSTEP, static_cast<WPARAM>(step), 0); }
    bool PostSetPos(int pos) { return PostMessage(PBM_SETPOS, static_cast<WPARAM>(pos), 0); }
    bool PostStepIt() { return PostMessage(PBM_STEPIT, 0, 0); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }
};

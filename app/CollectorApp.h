#pragma once
// CCollectorApp: the application object. It shows the collector's dialog and ends with it.
#include "platform/SingleInstance.h"
#include "platform/WinApp.h"

class CCollectorApp : public CWinApp {
public:
    // Runs the dialog modally and returns false, so the program ends when the dialog closes.
    // A second start in the same Windows session brings the running collector's dialog
    // forward and ends at once; a start while a collector captures in another session says
    // so and ends.
    bool InitInstance() override;

private:
    // Claims the machine's one capture; false when a capture already runs elsewhere on this
    // PC (a collector of another Windows session). afterClosing: this session's collector
    // has just ended, and may still be letting go of the name.
    bool ClaimCapture(bool afterClosing);

    // Held while this collector runs: the session's name tells a start in the same session
    // apart from one in another.
    CSingleInstance m_session;
    CSingleInstance m_machine;
};

#pragma once
// CCollectorApp: the application object. It shows the collector's dialog and ends with it.
#include "platform/SingleInstance.h"
#include "platform/WinApp.h"

class CCollectorApp : public CWinApp {
public:
    // Runs the dialog modally and returns false, so the program ends when the dialog closes.
    // A second start brings the running collector's dialog forward and ends at once.
    bool InitInstance() override;

private:
    CSingleInstance m_instance;
};

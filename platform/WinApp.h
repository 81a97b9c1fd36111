#pragma once
// CWinApp: the application object. The program defines one global instance; WinMain
// (platform/WinMain.cpp) finds it and runs InitInstance, then the message loop unless
// InitInstance returned false.
#include <windows.h>

class CWnd;

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // false ends the program at once with ExitInstance's code.
    virtual bool InitInstance() { return true; }
    // The message loop; ends with WM_QUIT.
    virtual int Run();
    virtual int ExitInstance() { return m_nExitCode; }

    // An icon of the program's resources; shared, the system frees it.
    HICON LoadIcon(UINT id) const;

    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;
    int m_nExitCode = 0;
};

// An icon of the program's own resources (shared: the system frees it).
HICON AfxLoadIcon(UINT id);

// The one application object, or null when the program has none (the tests).
CWinApp* AfxGetApp();

// What WinMain does: runs the application object's life.
int AfxWinMain(HINSTANCE instance);

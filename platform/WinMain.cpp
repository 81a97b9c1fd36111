// The entry point of the windowed program, and the registration of its one application
// object. The static library holds it, and the linker takes it in only for a program that
// builds an application object (the constructor is here), so the test programs keep
// gtest's main.
#include "platform/Object.h"
#include "platform/WinApp.h"

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp()
{
    g_app = this;
    m_hInstance = ::GetModuleHandleA(nullptr);
}

CWinApp::~CWinApp()
{
    if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

int AfxWinMain(HINSTANCE instance)
{
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    app->m_hInstance = instance;
    // No exception may leave the program's entry point.
    try {
        if (!app->InitInstance()) return app->ExitInstance();
        return app->Run();
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // The command line is not used.
    return AfxWinMain(instance);
}

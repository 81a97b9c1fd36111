// The entry point of the windowed program. Only a program linked with the windows
// subsystem asks for WinMain, so the test programs (console, gtest's main) never pull it in.
#include "platform/WinApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // The command line is not used.
    return AfxWinMain(instance);
}

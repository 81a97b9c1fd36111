#pragma once
// Message boxes go through a replaceable service: the program shows real ones, a test
// installs a recorder so that a thread never blocks on a box nobody will dismiss.
#include <windows.h>

class IMessageBoxService {
public:
    virtual ~IMessageBoxService() = default;
    virtual int Show(HWND owner, const char* text, const char* caption, UINT type) = 0;
};

// Shows a message box through the installed service; callable from any thread.
int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type);

// Installs a service (null: the real message box again) and returns the previous one.
IMessageBoxService* SetMessageBoxService(IMessageBoxService* service);

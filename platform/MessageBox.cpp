#include "platform/MessageBox.h"

#include <atomic>

namespace {

class CSystemMessageBox : public IMessageBoxService {
public:
    int Show(HWND owner, const char* text, const char* caption, UINT type) override
    {
        return ::MessageBoxA(owner, text, caption, type);
    }
};

CSystemMessageBox g_systemBox;
std::atomic<IMessageBoxService*> g_service{&g_systemBox};

} // namespace

int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    return g_service.load()->Show(owner, text, caption, type);
}

IMessageBoxService* SetMessageBoxService(IMessageBoxService* service)
{
    IMessageBoxService* previous = g_service.exchange(service ? service : &g_systemBox);
    return previous == &g_systemBox ? nullptr : previous;
}

// The dialog base: its procedure, the dispatch, the modal run and its end.
#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "platform/Dialog.h"
#include "res/resource.h"

namespace {

const UINT kAct = WM_APP + 5;

// Records what the base does; act runs inside the modal run.
class ProbeDialog : public CDialog {
public:
    explicit ProbeDialog(UINT templateId = IDD_POSCOLLECTOR_DIALOG) : CDialog(templateId) {}

    std::function<void(ProbeDialog&)> act;
    bool initialised = false;
    LONG_PTR userDataAtInit = 0;
    int destroyCalls = 0;
    bool windowAliveAtDestroy = false;
    std::string textAfterDefault;

    bool DestroyWindow() override
    {
        ++destroyCalls;
        windowAliveAtDestroy = IsWindow(m_hWnd) != FALSE;
        return CDialog::DestroyWindow();
    }
    using CDialog::SendMessage;

protected:
    bool OnInitDialog() override
    {
        initialised = true;
        userDataAtInit = GetWindowLongPtrA(m_hWnd, GWLP_USERDATA);
        PostMessage(kAct);
        return CDialog::OnInitDialog();
    }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == kAct) {
            if (act) act(*this);
            return 0;
        }
        if (message == WM_APP + 6) throw std::runtime_error("a handler failed");
        if (message == WM_SETTEXT) {
            // The default processing runs now, inside the handler.
            LRESULT r = Default();
            char text[64] = {};
            ::GetWindowTextA(m_hWnd, text, sizeof(text));
            textAfterDefault = text;
            return r;
        }
        return CDialog::WindowProc(message, wParam, lParam);
    }
};

TEST(DialogBase, KeepsItselfInTheWindowsUserDataFromInitDialogOn)
{
    ProbeDialog dlg;
    dlg.act = [](ProbeDialog& d) { d.PostMessage(WM_CLOSE); };
    dlg.DoModal();
    EXPECT_TRUE(dlg.initialised);
    EXPECT_EQ(dlg.userDataAtInit, reinterpret_cast<LONG_PTR>(&dlg));
}

TEST(DialogBase, CloseBoxEscAndOkEndTheModalRunAfterDestroyWindow)
{
    struct Case {
        const char* name;
        UINT message;
        WPARAM wParam;
        INT_PTR result;
    };
    const Case cases[] = {
        {"close box", WM_SYSCOMMAND, SC_CLOSE, IDCANCEL},
        {"WM_CLOSE", WM_CLOSE, 0, IDCANCEL},
        {"Esc", WM_COMMAND, IDCANCEL, IDCANCEL},
        {"Enter", WM_COMMAND, IDOK, IDOK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeDialog dlg;
        dlg.act = [&](ProbeDialog& d) { d.PostMessage(c.message, c.wParam, 0); };
        EXPECT_EQ(dlg.DoModal(), c.result);
        EXPECT_EQ(dlg.destroyCalls, 1);
        EXPECT_TRUE(dlg.windowAliveAtDestroy);
        EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);
    }
}

TEST(DialogBase, EscapeKeyEndsTheRunThroughTheDialogManager)
{
    ProbeDialog dlg;
    dlg.act = [](ProbeDialog& d) {
        HWND focus = GetDlgItem(d.GetSafeHwnd(), IDC_DATAFILE);
        SetFocus(focus);
        PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.destroyCalls, 1);
}

TEST(DialogBase, DefaultRunsTheDefaultProcessingInsideTheHandler)
{
    ProbeDialog dlg;
    dlg.act = [](ProbeDialog& d) {
        SetWindowTextA(d.GetSafeHwnd(), "changed");
        d.PostMessage(WM_CLOSE);
    };
    dlg.DoModal();
    EXPECT_EQ(dlg.textAfterDefault, "changed");
}

TEST(DialogBase, AnExceptionFromAHandlerStaysInsideTheDialogProcedure)
{
    ProbeDialog dlg;
    bool survived = false;
    dlg.act = [&](ProbeDialog& d) {
        d.SendMessage(WM_APP + 6);
        survived = true;
        d.PostMessage(WM_CLOSE);
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(survived);
}

TEST(DialogBase, AMissingTemplateFailsTheModalRunAtOnce)
{
    ProbeDialog dlg(4242);
    EXPECT_EQ(dlg.DoModal(), -1);
    EXPECT_FALSE(dlg.initialised);
}

TEST(DialogBase, ModelessDialogIsDestroyedByEsc)
{
    ProbeDialog dlg;
    ASSERT_TRUE(dlg.Create());
    HWND h = dlg.GetSafeHwnd();
    dlg.SendMessage(WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(dlg.destroyCalls, 1);
}

} // namespace

#pragma once
// CDialog: a dialog from a resource template. One static dialog procedure keeps `this` in
// the window's user data from WM_INITDIALOG on and forwards every message to the virtual
// WindowProc, whose switch stands where the framework has message maps.
#include <windows.h>

#include "platform/Wnd.h"

// Control binding: DDX_Control attaches a member wrapper to the dialog's control.
class CDataExchange {
public:
    CDataExchange(CWnd* dlg, bool saveAndValidate) : m_pDlgWnd(dlg), m_bSaveAndValidate(saveAndValidate) {}
    CWnd* m_pDlgWnd;
    bool m_bSaveAndValidate;
};
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);
    ~CDialog() override;

    // Runs the dialog until EndDialog (OK, Esc, the close box); the window is destroyed
    // through the virtual DestroyWindow before this returns. -1 when it cannot be created.
    INT_PTR DoModal();
    // Creates the dialog modeless; OK, Esc and the close box then destroy it at once.
    bool Create();
    // Ends a modal run with result, or destroys a modeless dialog.
    void EndDialog(int result);

    bool DestroyWindow() override;

protected:
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    bool UpdateData(bool saveAndValidate = true);

    // The message dispatch. Messages a class does not handle go to the base class;
    // what reaches CDialog unhandled gets the dialog manager's default processing.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Runs the dialog manager's default processing of the current message now.
    LRESULT Default();

    // true when the command was handled.
    virtual bool OnCommand(UINT id, UINT code, HWND control);
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnSize(UINT type, int cx, int cy);
    virtual void OnPaint();
    virtual HCURSOR OnQueryDragIcon();

private:
    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool deferDefault;
        CurrentMessage* previous;
    };

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void RunModalLoop();

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
    bool m_bModal = false;
    bool m_bEndModal = false;
    int m_nModalResult = -1;
    // Set while Default() hands the current message to the dialog manager, which calls
    // the dialog procedure first: that one call must answer "not handled".
    bool m_bInDefault = false;
    CurrentMessage* m_pCurrent = nullptr;
};

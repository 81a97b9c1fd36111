#include "platform/Dialog.h"

#include <commctrl.h>

#include "platform/Object.h"

namespace {

// The progress bar lives in the common-controls library, which registers its window
// classes only when asked.
void RegisterCommonControls()
{
    static const bool registered = [] {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
        return ::InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)registered;
}

// Messages whose result a dialog procedure returns itself instead of in DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

} // namespace

void DDX_Control(CDataExchange* pDX, int id, CWnd& control)
{
    if (control.GetSafeHwnd() == nullptr) control.Attach(pDX->m_pDlgWnd->GetDlgItem(id));
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog()
{
    // A modeless dialog still open: take it down without calling back into this
    // half-destroyed object.
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
}

INT_PTR CDialog::DoModal()
{
    RegisterCommonControls();
    HWND parent = m_pParentWnd ? m_pParentWnd->GetSafeHwnd() : nullptr;
    m_bModal = true;
    m_bEndModal = false;
    m_nModalResult = -1;
    if (!::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_nIDTemplate), parent, DialogProc,
                              reinterpret_cast<LPARAM>(this))) {
        m_bModal = false;
        return -1;
    }
    bool disabledParent = parent && ::IsWindowEnabled(parent);
    if (disabledParent) ::EnableWindow(parent, FALSE);

    RunModalLoop();

    if (m_hWnd) {
        // Gone from the screen at once; tidying up may take a moment.
        SetWindowPos(nullptr, 0, 0, 0, 0,
                     SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
        DestroyWindow();
    }
    if (disabledParent) {
        ::EnableWindow(parent, TRUE);
        ::SetActiveWindow(parent);
    }
    m_bModal = false;
    return m_nModalResult;
}

void CDialog::RunModalLoop()
{
    while (!m_bEndModal && m_hWnd) {
        MSG msg;
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            // WM_QUIT belongs to the loop outside ours.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!::IsDialogMessageA(m_hWnd, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
}

bool CDialog::Create()
{
    RegisterCommonControls();
    m_bModal = false;
    HWND parent = m_pParentWnd ? m_pParentWnd->GetSafeHwnd() : nullptr;
    return ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_nIDTemplate), parent, DialogProc,
                                reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CDialog::EndDialog(int result)
{
    m_nModalResult = result;
    if (m_bModal) {
        m_bEndModal = true;
        // Wakes the modal loop, which may be waiting for a message.
        PostMessage(WM_NULL);
    } else {
        DestroyWindow();
    }
}

bool CDialog::DestroyWindow()
{
    if (!m_hWnd) return false;
    return ::DestroyWindow(m_hWnd) != FALSE;
}

bool CDialog::OnInitDialog()
{
    UpdateData(false);
    return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::UpdateData(bool saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return true;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog() ? TRUE : FALSE;
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))) return 0;
        break;
    case WM_SIZE:
        OnSize(static_cast<UINT>(wParam), static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
        return 0;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(OnQueryDragIcon());
    default:
        break;
    }
    // Handled by nobody: the dialog manager's default runs after the dialog procedure returns.
    if (m_pCurrent) m_pCurrent->deferDefault = true;
    return 0;
}

LRESULT CDialog::Default()
{
    if (!m_pCurrent || !m_hWnd) return 0;
    m_bInDefault = true;
    LRESULT result = ::DefDlgProcA(m_hWnd, m_pCurrent->message, m_pCurrent->wParam, m_pCurrent->lParam);
    m_bInDefault = false;
    return result;
}

bool CDialog::OnCommand(UINT id, UINT, HWND)
{
    switch (id) {
    case IDOK:
        OnOK();
        return true;
    case IDCANCEL:
        OnCancel();
        return true;
    default:
        return false;
    }
}

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnSize(UINT, int, int) { Default(); }

void CDialog::OnPaint() { Default(); }

HCURSOR CDialog::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, lParam);
        self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    }
    // Before WM_INITDIALOG (WM_SETFONT) and after the object let go: the default.
    if (!self) return FALSE;
    if (self->m_bInDefault) {
        self->m_bInDefault = false;
        return FALSE;
    }

    CurrentMessage current{message, wParam, lParam, false, self->m_pCurrent};
    self->m_pCurrent = &current;
    LRESULT result = 0;
    // Nothing may leave a window procedure by exception: the system cannot unwind it.
    try {
        result = self->WindowProc(message, wParam, lParam);
    } catch (CException* e) {
        e->Delete();
        current.deferDefault = true;
    } catch (...) {
        current.deferDefault = true;
    }
    self->m_pCurrent = current.previous;

    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
        return FALSE;
    }
    if (current.deferDefault) return FALSE;
    if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

#pragma once
// CFileDialog: the system's open or save file dialog.
#include <windows.h>

#include "platform/String.h"
#include "platform/Wnd.h"

class CFileDialog {
public:
    // filter: pairs of "description|pattern|", as the framework writes them.
    CFileDialog(bool openFileDialog, const char* defaultExt = nullptr, const char* fileName = nullptr,
                DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const char* filter = nullptr,
                CWnd* parent = nullptr);
    CFileDialog(const CFileDialog&) = delete;
    CFileDialog& operator=(const CFileDialog&) = delete;

    // IDOK when the user chose a file, IDCANCEL otherwise.
    INT_PTR DoModal();
    // The chosen full path.
    CString GetPathName() const { return CString(m_fileName); }

    OPENFILENAMEA m_ofn{};

private:
    bool m_bOpenFileDialog;
    CString m_defaultExt;
    CString m_filter; // NUL-separated, as the system wants it
    char m_fileName[MAX_PATH] = {};
};

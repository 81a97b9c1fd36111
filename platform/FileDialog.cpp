#include "platform/FileDialog.h"

#include <commdlg.h>

#include <cstring>

CFileDialog::CFileDialog(bool openFileDialog, const char* defaultExt, const char* fileName, DWORD flags,
                         const char* filter, CWnd* parent)
    : m_bOpenFileDialog(openFileDialog), m_defaultExt(defaultExt)
{
    if (fileName) {
        std::strncpy(m_fileName, fileName, sizeof(m_fileName) - 1);
        m_fileName[sizeof(m_fileName) - 1] = '\0';
    }
    if (filter) {
        // "a|b|" becomes "a\0b\0"; the string's own terminator ends the list.
        m_filter = filter;
        char* p = m_filter.GetBuffer(0);
        for (int i = 0; i < m_filter.GetLength(); ++i)
            if (p[i] == '|') p[i] = '\0';
        m_filter += '\0';
    }
    m_ofn.lStructSize = sizeof(m_ofn);
    m_ofn.hwndOwner = parent ? parent->GetSafeHwnd() : nullptr;
    m_ofn.hInstance = ::GetModuleHandleA(nullptr);
    m_ofn.lpstrFilter = filter ? m_filter.GetString() : nullptr;
    m_ofn.lpstrFile = m_fileName;
    m_ofn.nMaxFile = sizeof(m_fileName);
    m_ofn.lpstrDefExt = defaultExt ? m_defaultExt.GetString() : nullptr;
    m_ofn.Flags = flags;
}

INT_PTR CFileDialog::DoModal()
{
    BOOL ok = m_bOpenFileDialog ? ::GetOpenFileNameA(&m_ofn) : ::GetSaveFileNameA(&m_ofn);
    return ok ? IDOK : IDCANCEL;
}

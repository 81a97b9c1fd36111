#pragma once
// Wrappers of the standard controls a dialog binds to its members. Each method is one
// message to the control; the control belongs to its dialog.
#include <windows.h>

#include "platform/String.h"
#include "platform/Wnd.h"

class CButton : public CWnd {
public:
    // BST_UNCHECKED 0, BST_CHECKED 1.
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int state) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(state)); }
};

class CEdit : public CWnd {
};

class CComboBox : public CWnd {
public:
    // Every call answers CB_ERR (-1) where the control has no such item or no selection.
    int GetCount() const { return static_cast<int>(SendMessage(CB_GETCOUNT)); }
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
    // -1 clears the selection.
    int SetCurSel(int index) { return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(index))); }
    int AddString(const char* text) { return static_cast<int>(SendMessage(CB_ADDSTRING, 0, Text(text))); }
    void ResetContent() { SendMessage(CB_RESETCONTENT); }
    int InsertString(int index, const char* text)
    {
        return static_cast<int>(SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(index), Text(text)));
    }
    // The item data is 32 bits wide, as the dialog's lists store it.
    DWORD GetItemData(int index) const
    {
        return static_cast<DWORD>(SendMessage(CB_GETITEMDATA, static_cast<WPARAM>(index)));
    }
    int SetItemData(int index, DWORD data)
    {
        return static_cast<int>(SendMessage(CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data)));
    }
    // First item after startAfter (-1: from the top) whose text begins with text, ignoring case.
    int FindString(int startAfter, const char* text) const
    {
        return static_cast<int>(SendMessage(CB_FINDSTRING, static_cast<WPARAM>(startAfter), Text(text)));
    }
    // First item after startAfter whose whole text equals text, ignoring case.
    int FindStringExact(int startAfter, const char* text) const
    {
        return static_cast<int>(SendMessage(CB_FINDSTRINGEXACT, static_cast<WPARAM>(startAfter), Text(text)));
    }
    void GetLBText(int index, CString& text) const;

private:
    static LPARAM Text(const char* text) { return reinterpret_cast<LPARAM>(text); }
};

#include "platform/Controls.h"

void CComboBox::GetLBText(int index, CString& text) const
{
    int length = static_cast<int>(SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(index)));
    if (length == CB_ERR) {
        text.Empty();
        return;
    }
    char* buffer = text.GetBuffer(length);
    int copied = static_cast<int>(SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer)));
    text.ReleaseBuffer(copied > 0 ? copied : 0);
}

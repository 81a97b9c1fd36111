#pragma once
// CString: the framework's ANSI string, with the part of its interface this program uses.
#include <cstdarg>
#include <string>

#if defined(__GNUC__)
#define COLLECTOR_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define COLLECTOR_PRINTF(fmt, args)
#endif

class CString {
public:
    CString() = default;
    CString(const char* s) : m_str(s ? s : "") {}
    CString(const char* s, int length) : m_str(s ? s : "", s && length > 0 ? static_cast<size_t>(length) : 0) {}
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(const char* s) { m_str = s ? s : ""; return *this; }

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    const char* GetString() const { return m_str.c_str(); }
    operator const char*() const { return m_str.c_str(); }
    char GetAt(int i) const { return m_str.at(static_cast<size_t>(i)); }

    CString& operator+=(const CString& s) { m_str += s.m_str; return *this; }
    CString& operator+=(const char* s) { if (s) m_str += s; return *this; }
    CString& operator+=(char c) { m_str += c; return *this; }
    friend CString operator+(const CString& a, const CString& b) { CString r(a); r += b; return r; }
    friend CString operator+(const CString& a, const char* b) { CString r(a); r += b; return r; }
    friend CString operator+(const char* a, const CString& b) { CString r(a); r += b; return r; }

    int Compare(const char* s) const;
    int CompareNoCase(const char* s) const;
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }

    CString Left(int count) const;
    CString Mid(int first, int count = -1) const;

    // printf-style; the result may be any length.
    void Format(const char* format, ...) COLLECTOR_PRINTF(2, 3);
    void FormatV(const char* format, va_list args);

    // Direct access for Win32 calls that fill a buffer: GetBuffer gives room for at
    // least minLength characters plus a terminator; ReleaseBuffer(-1) takes the length
    // from the first NUL.
    char* GetBuffer(int minLength);
    void ReleaseBuffer(int newLength = -1);

private:
    std::string m_str;
};

// Text from one code page to UTF-16 and back (CP_UTF8, a console's; 0 is CP_ACP, the system's
// ANSI code page); empty stays empty.
std::wstring Widen(const std::string& text, unsigned codePage = 0);
std::string Narrow(const std::wstring& text, unsigned codePage = 0);

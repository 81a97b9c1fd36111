#include "platform/String.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

int CString::Compare(const char* s) const
{
    return std::strcmp(m_str.c_str(), s ? s : "");
}

int CString::CompareNoCase(const char* s) const
{
    return _stricmp(m_str.c_str(), s ? s : "");
}

CString CString::Left(int count) const
{
    if (count <= 0) return CString();
    return CString(m_str.substr(0, static_cast<size_t>(count)).c_str());
}

CString CString::Mid(int first, int count) const
{
    if (first < 0) first = 0;
    if (static_cast<size_t>(first) >= m_str.size() || count == 0) return CString();
    size_t n = count < 0 ? std::string::npos : static_cast<size_t>(count);
    std::string part = m_str.substr(static_cast<size_t>(first), n);
    return CString(part.data(), static_cast<int>(part.size()));
}

void CString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::FormatV(const char* format, va_list args)
{
    va_list probe;
    va_copy(probe, args);
    int needed = std::vsnprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (needed < 0) {
        m_str.clear();
        return;
    }
    std::string out(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(needed));
    m_str.swap(out);
}

char* CString::GetBuffer(int minLength)
{
    if (minLength > 0 && static_cast<size_t>(minLength) > m_str.size())
        m_str.resize(static_cast<size_t>(minLength));
    return &m_str[0];
}

void CString::ReleaseBuffer(int newLength)
{
    if (newLength < 0)
        newLength = static_cast<int>(std::strlen(m_str.c_str()));
    if (static_cast<size_t>(newLength) <= m_str.size())
        m_str.resize(static_cast<size_t>(newLength));
}

std::wstring Widen(const std::string& text, unsigned codePage)
{
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& text, unsigned codePage)
{
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    if (n <= 0) return std::string();
    std::string bytes(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

#pragma once
// Scoped owners for COM: the apartment, an interface pointer, a BSTR. Only what the firewall's
// rules need; the program has no other COM.
#include <windows.h>

#include <oleauto.h>

// Joins this thread to a single-threaded apartment for its lifetime. A thread already in the
// other kind of apartment (RPC_E_CHANGED_MODE) may still call COM, but must not leave it.
class CComInit {
public:
    CComInit() : m_hr(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CComInit()
    {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }
    CComInit(const CComInit&) = delete;
    CComInit& operator=(const CComInit&) = delete;

    // S_OK or S_FALSE (already joined): COM may be used; RPC_E_CHANGED_MODE too.
    HRESULT Result() const { return m_hr; }
    bool Usable() const { return SUCCEEDED(m_hr) || m_hr == RPC_E_CHANGED_MODE; }

private:
    HRESULT m_hr;
};

// Owns one reference to an interface.
template <typename T>
class CComRef {
public:
    CComRef() = default;
    ~CComRef() { Reset(); }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    // For a call that hands out a reference: the one held before is released first.
    T** Receive()
    {
        Reset();
        return &m_p;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    void Reset()
    {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }

private:
    T* m_p = nullptr;
};

// Owns a BSTR. Empty() holds none: a null BSTR is the empty string to COM.
class CBstr {
public:
    CBstr() = default;
    explicit CBstr(const wchar_t* text) : m_s(::SysAllocString(text)) {}
    ~CBstr() { Reset(); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    BSTR Get() const { return m_s; }
    BSTR* Receive()
    {
        Reset();
        return &m_s;
    }
    void Reset()
    {
        ::SysFreeString(m_s);
        m_s = nullptr;
    }

private:
    BSTR m_s = nullptr;
};

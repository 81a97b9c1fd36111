#pragma once
// Scoped owners for kernel handles and local allocations.
#include <windows.h>

// Owns a kernel handle; both NULL and INVALID_HANDLE_VALUE mean "none".
class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE h) : m_h(h) {}
    ~CHandle() { Close(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_h(other.Detach()) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other) Attach(other.Detach());
        return *this;
    }

    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    bool IsValid() const { return IsValid(m_h); }
    HANDLE Get() const { return m_h; }
    operator HANDLE() const { return m_h; }
    void Attach(HANDLE h)
    {
        Close();
        m_h = h;
    }
    HANDLE Detach()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    BOOL Close()
    {
        BOOL ok = TRUE;
        if (IsValid()) ok = CloseHandle(m_h);
        m_h = nullptr;
        return ok;
    }

private:
    HANDLE m_h = nullptr;
};

// Owns memory from LocalAlloc or from a call that allocates with it (FormatMessage, SetEntriesInAcl).
template <typename T>
class CLocalPtr {
public:
    CLocalPtr() = default;
    explicit CLocalPtr(T* p) : m_p(p) {}
    ~CLocalPtr() { Reset(); }
    CLocalPtr(const CLocalPtr&) = delete;
    CLocalPtr& operator=(const CLocalPtr&) = delete;

    T* Get() const { return m_p; }
    T** Receive()
    {
        Reset();
        return &m_p;
    }
    void Reset(T* p = nullptr)
    {
        if (m_p) LocalFree(reinterpret_cast<HLOCAL>(m_p));
        m_p = p;
    }
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};

// Owns a handle that one call releases; Release is a function object taking the handle.
template <typename H, typename Release>
class CScopedHandle {
public:
    explicit CScopedHandle(H h = nullptr) : m_h(h) {}
    ~CScopedHandle()
    {
        if (m_h) Release()(m_h);
    }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;
    H Get() const { return m_h; }

private:
    H m_h;
};

struct CCloseServiceHandle {
    void operator()(SC_HANDLE h) const { ::CloseServiceHandle(h); }
};
struct CDestroyMenu {
    void operator()(HMENU h) const { ::DestroyMenu(h); }
};
// A handle of the service manager or of one of its services.
using CServiceHandle = CScopedHandle<SC_HANDLE, CCloseServiceHandle>;
// A menu made by CreateMenu or CreatePopupMenu.
using CMenuHandle = CScopedHandle<HMENU, CDestroyMenu>;

#pragma once
// CObject with run-time class information, and CException, the root of thrown errors.
#include <windows.h>

struct CRuntimeClass {
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;
    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

#define RUNTIME_CLASS(name) (&name::class##name)

#define DECLARE_DYNAMIC(name)                                   \
public:                                                         \
    static const CRuntimeClass class##name;                     \
    const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_DYNAMIC(name, base)                                              \
    const CRuntimeClass name::class##name = {#name, RUNTIME_CLASS(base)};          \
    const CRuntimeClass* name::GetRuntimeClass() const { return RUNTIME_CLASS(name); }

class CObject {
public:
    static const CRuntimeClass classCObject;
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;

    bool IsKindOf(const CRuntimeClass* cls) const;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

// Exceptions are heap objects thrown by pointer; the catcher calls Delete().
class CException : public CObject {
    DECLARE_DYNAMIC(CException)
public:
    // Fills buffer with a description; false when there is none.
    virtual bool GetErrorMessage(char* buffer, unsigned maxChars, unsigned* pHelpContext = nullptr) const;
    void Delete() { delete this; }
};

#include "platform/Object.h"

const CRuntimeClass CObject::classCObject = {"CObject", nullptr};

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const
{
    for (const CRuntimeClass* c = this; c; c = c->m_pBaseClass)
        if (c == base) return true;
    return false;
}

const CRuntimeClass* CObject::GetRuntimeClass() const
{
    return RUNTIME_CLASS(CObject);
}

bool CObject::IsKindOf(const CRuntimeClass* cls) const
{
    return GetRuntimeClass()->IsDerivedFrom(cls);
}

IMPLEMENT_DYNAMIC(CException, CObject)

bool CException::GetErrorMessage(char* buffer, unsigned maxChars, unsigned* pHelpContext) const
{
    if (pHelpContext) *pHelpContext = 0;
    if (buffer && maxChars > 0) buffer[0] = '\0';
    return false;
}

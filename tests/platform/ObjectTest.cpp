#include "platform/Object.h"

#include <gtest/gtest.h>

namespace {
class CBase : public CObject {
    DECLARE_DYNAMIC(CBase)
};
IMPLEMENT_DYNAMIC(CBase, CObject)

class CDerived : public CBase {
    DECLARE_DYNAMIC(CDerived)
};
IMPLEMENT_DYNAMIC(CDerived, CBase)

class CUnrelated : public CObject {
    DECLARE_DYNAMIC(CUnrelated)
};
IMPLEMENT_DYNAMIC(CUnrelated, CObject)
} // namespace

TEST(CObjectTest, IsKindOfFollowsTheDeclaredBaseChain)
{
    CDerived d;
    CUnrelated u;
    const CObject* pd = &d;
    const CObject* pu = &u;
    EXPECT_TRUE(pd->IsKindOf(RUNTIME_CLASS(CDerived)));
    EXPECT_TRUE(pd->IsKindOf(RUNTIME_CLASS(CBase)));
    EXPECT_TRUE(pd->IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(pu->IsKindOf(RUNTIME_CLASS(CBase)));
    EXPECT_FALSE(CBase().IsKindOf(RUNTIME_CLASS(CDerived)));
    EXPECT_STREQ(pd->GetRuntimeClass()->m_lpszClassName, "CDerived");
}

TEST(CExceptionTest, BaseHasNoMessage)
{
    CException* e = new CException;
    char buf[16] = "junk";
    unsigned help = 99;
    EXPECT_FALSE(e->GetErrorMessage(buf, sizeof buf, &help));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(help, 0u);
    e->Delete();
}

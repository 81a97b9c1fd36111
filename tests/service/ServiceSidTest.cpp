#include <gtest/gtest.h>

#include "service/ServiceSid.h"

// Windows' own service SIDs, as `sc showsid` prints them: the derivation must match them
// exactly, or the access lists the package writes would name nobody.
TEST(ServiceSid, MatchesTheSidsWindowsDerives)
{
    EXPECT_STREQ("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                 ServiceSidString("TrustedInstaller").GetString());
    // The name is taken upper-cased: the case it is written in does not matter.
    EXPECT_STREQ(ServiceSidString("TRUSTEDINSTALLER").GetString(), ServiceSidString("trustedinstaller").GetString());
    EXPECT_STRNE(ServiceSidString("TrustedInstaller").GetString(), CollectorServiceSidString().GetString());
}

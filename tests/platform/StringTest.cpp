#include "platform/String.h"

#include <gtest/gtest.h>

#include <string>

TEST(CStringTest, FormatProducesResultsLongerThanAnyInitialBuffer)
{
    std::string big(5000, 'x');
    CString s;
    s.Format("%s-%d-%s", big.c_str(), 42, "end");
    EXPECT_EQ(s.GetLength(), 5000 + 7);
    EXPECT_EQ(std::string(s), big + "-42-end");

    s.Format("COM%d", 12);
    EXPECT_STREQ(s, "COM12");
}

TEST(CStringTest, AppendingGrowsAndKeepsEarlierContent)
{
    CString s("SOFTWARE\\");
    for (int i = 0; i < 200; ++i) s += "abc";
    s += '!';
    EXPECT_EQ(s.GetLength(), 9 + 600 + 1);
    EXPECT_EQ(s.Left(9), CString("SOFTWARE\\"));
    EXPECT_EQ(s.Mid(s.GetLength() - 4), CString("abc!"));
    EXPECT_EQ(CString("a") + "b" + CString("c"), CString("abc"));
}

TEST(CStringTest, BufferAccessTakesTheLengthFromTheTerminator)
{
    CString s("old");
    char* p = s.GetBuffer(64);
    strcpy(p, "new text");
    s.ReleaseBuffer();
    EXPECT_EQ(s.GetLength(), 8);
    EXPECT_STREQ(s, "new text");

    // Bytes after the first NUL are cut off.
    p = s.GetBuffer(4);
    p[2] = '\0';
    s.ReleaseBuffer();
    EXPECT_STREQ(s, "ne");
}

TEST(CStringTest, NullAndEmptyAreTheSame)
{
    CString a(static_cast<const char*>(nullptr));
    CString b("");
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.Compare(""), 0);
    EXPECT_EQ(CString("Com3").CompareNoCase("COM3"), 0);
    EXPECT_NE(CString("Com3").Compare("COM3"), 0);
}

#include "platform/UIntArray.h"

#include <gtest/gtest.h>

TEST(CUIntArrayTest, AddAppendsInOrderAndReturnsIndexes)
{
    CUIntArray a;
    EXPECT_EQ(a.Add(5), 0);
    EXPECT_EQ(a.Add(3), 1);
    EXPECT_EQ(a.Add(5), 2);
    ASSERT_EQ(a.GetSize(), 3);
    EXPECT_EQ(a[0], 5u);
    EXPECT_EQ(a[1], 3u);
    EXPECT_EQ(a.GetAt(2), 5u);
}

TEST(CUIntArrayTest, RemoveAllEmptiesButKeepsTheGrowthSetting)
{
    CUIntArray a;
    a.SetSize(0, 16);
    for (unsigned i = 0; i < 40; ++i) a.Add(i);
    a.RemoveAll();
    EXPECT_EQ(a.GetSize(), 0);
    EXPECT_EQ(a.GetGrowBy(), 16);
    // Still usable afterwards.
    a.Add(7);
    EXPECT_EQ(a.GetSize(), 1);
    EXPECT_EQ(a[0], 7u);
}

TEST(CUIntArrayTest, SetSizeFillsWithZeroAndMinusOneKeepsGrowth)
{
    CUIntArray a;
    a.SetSize(3, 8);
    a.SetSize(5);
    EXPECT_EQ(a.GetGrowBy(), 8);
    ASSERT_EQ(a.GetSize(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(a[i], 0u);
}

#include <gtest/gtest.h>

#include <string>

#include "platform/EventText.h"

namespace {

TEST(EventTextTest, LineSettingsNameEachStoredParityAndStopBitsValue)
{
    struct Case {
        DWORD baud;
        unsigned dataBits;
        int parity;
        int stopBits;
        const char* expected;
    };
    const Case cases[] = {
        {9600, 8, 2, 0, "9600 baud, 8 data bits, parity NONE, 1 stop bit"},
        {115200, 7, 0, 1, "115200 baud, 7 data bits, parity EVEN, 1.5 stop bits"},
        {300, 5, 1, 2, "300 baud, 5 data bits, parity MARK, 2 stop bits"},
        {19200, 8, 3, 0, "19200 baud, 8 data bits, parity ODD, 1 stop bit"},
        {1200, 6, 4, 0, "1200 baud, 6 data bits, parity SPACE, 1 stop bit"},
        // A hand-edited registry value is shown, not mistaken for a valid one.
        {9600, 8, 5, 3, "9600 baud, 8 data bits, parity value 5, stop bits value 3"},
        {9600, 8, -1, -1, "9600 baud, 8 data bits, parity value -1, stop bits value -1"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(LineSettingsText(c.baud, c.dataBits, c.parity, c.stopBits).GetString(), c.expected);
}

TEST(EventTextTest, SystemErrorTextIsTheSystemsSentenceWithoutItsLineBreakOrTheNumber)
{
    std::string known = SystemErrorText(ERROR_ACCESS_DENIED).GetString();
    ASSERT_FALSE(known.empty());
    EXPECT_NE(known, "Error 5.");
    EXPECT_EQ(std::string("\r\n ").find(known.back()), std::string::npos) << '"' << known << '"';
    // A customer-defined code has no system text.
    EXPECT_STREQ(SystemErrorText(0x20001234).GetString(), "Error 536875572.");
}

} // namespace

TEST(EventTextTest, DurationsSayTheLargestUnitsThatFitInTheRightNumber)
{
    const struct {
        unsigned long long seconds;
        const char* text;
    } cases[] = {
        {0, "0 seconds"},     {1, "1 second"},         {59, "59 seconds"},
        {60, "1 minute"},     {3599, "59 minutes"},    {3600, "1 hour 0 minutes"},
        {3660, "1 hour 1 minute"}, {7322, "2 hours 2 minutes"},
    };
    for (const auto& c : cases) EXPECT_EQ(std::string(DurationText(c.seconds).GetString()), c.text) << c.seconds;
}

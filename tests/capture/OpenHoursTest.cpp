// Opening hours as shops write them: whether the shop is open, and since when.
#include <gtest/gtest.h>

#include <string>

#include "capture/CaptureClock.h"
#include "capture/OpenHours.h"

namespace {

// 2024-05-06 was a Monday.
unsigned long long Local(WORD day, WORD hour, WORD minute)
{
    SYSTEMTIME t = {2024, 5, 0, day, hour, minute, 0, 0};
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

} // namespace

TEST(OpenHoursTest, ReadableHoursSayWhetherTheShopIsOpenAndSinceWhen)
{
    struct Case {
        const char* text;
        unsigned long long at;
        unsigned long long since; // 0: closed then (or, with empty text, always open)
    };
    const Case cases[] = {
        {"", Local(8, 3, 0), 0},
        {"Mon-Fri 08:00-20:00; Sat 09:00-17:00", Local(7, 8, 30), Local(7, 8, 0)},
        {"Mon-Fri 08:00-20:00; Sat 09:00-17:00", Local(6, 20, 0), 0},
        {"Mon-Fri 08:00-20:00; Sat 09:00-17:00", Local(11, 16, 59), Local(11, 9, 0)},
        {"Mon-Fri 08:00-20:00; Sat 09:00-17:00", Local(12, 12, 0), 0},
        // A night shop: Friday's night runs into Saturday, Saturday's into Sunday.
        {"Fri-Sat 22:00-02:00", Local(11, 1, 0), Local(10, 22, 0)},
        {"Fri-Sat 22:00-02:00", Local(11, 3, 0), 0},
        {"Fri-Sat 22:00-02:00", Local(12, 1, 30), Local(11, 22, 0)},
        // Sunday night runs into the next week's Monday.
        {"Sun 23:00-01:00", Local(13, 0, 30), Local(12, 23, 0)},
        {"Mon 08:00-12:00, 14:00-18:00", Local(6, 13, 0), 0},
        {"Mon 08:00-12:00, 14:00-18:00", Local(6, 15, 0), Local(6, 14, 0)},
        // Overlapping ranges are one spell; day names in any case; a trailing ';'.
        {"mon 08:00-12:00 10:00-14:00;", Local(6, 13, 0), Local(6, 8, 0)},
        {"Sat,Mon-Tue 09:00-10:00", Local(7, 9, 30), Local(7, 9, 0)},
        {"Sat,Mon-Tue 09:00-10:00", Local(8, 9, 30), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " at " << c.at);
        COpenHours hours;
        CString why;
        ASSERT_TRUE(hours.Parse(c.text, why)) << why.GetString();
        unsigned long long since = 1;
        const bool open = hours.OpenAt(c.at, since);
        EXPECT_EQ(open, c.since != 0 || hours.Always());
        if (open) {
            EXPECT_EQ(since, c.since);
        }
    }
    // Open all day every day is one spell without a start, as empty text is.
    COpenHours allWeek;
    CString why;
    unsigned long long since = 1;
    ASSERT_TRUE(allWeek.Parse("Mon-Sun 00:00-24:00", why));
    EXPECT_TRUE(allWeek.OpenAt(Local(8, 3, 0), since));
    EXPECT_EQ(since, 0u);
}

TEST(OpenHoursTest, UnreadableHoursSayWhatIsWrongAndCountAsAlwaysOpen)
{
    struct Case {
        const char* text;
        const char* named; // in the reason
    };
    const Case cases[] = {
        {"Mon-Fry 08:00-20:00", "Fry"},
        {"Mon 08:00-25:00", "08:00-25:00"},
        {"Mon 8-20", "8-20"},
        {"Mon 08:00-08:00", "empty"},
        {"Mon 24:00-02:00", "24:00-02:00"},
        {"Mon-Fri", "no times"},
        {"08:00-20:00 Mon", "08:00-20:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        COpenHours hours;
        CString why;
        // Hours read before are not kept either.
        ASSERT_TRUE(hours.Parse("Mon 08:00-09:00", why));
        EXPECT_FALSE(hours.Parse(c.text, why));
        EXPECT_NE(std::string(why.GetString()).find(c.named), std::string::npos) << why.GetString();
        unsigned long long since = 1;
        EXPECT_TRUE(hours.Always());
        EXPECT_TRUE(hours.OpenAt(Local(6, 21, 0), since));
        EXPECT_EQ(since, 0u);
    }
}

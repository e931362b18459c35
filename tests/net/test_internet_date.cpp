#include "net/NetInternetDate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr double kSecond = 1.0 / 86400;

// Runs the test body in a fixed time zone and restores the previous one.
class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* tz)
    {
        const char* old = std::getenv("TZ");
        m_hadOld = old != nullptr;
        if (old)
            m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZoneScope()
    {
        if (m_hadOld)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadOld = false;
    std::string m_old;
};

TEST(NetInternetDate, ParsesTheThreeFormsTable)
{
    const double nov6 = NetEncodeDateTime(1994, 11, 6, 8, 49, 37);
    struct {
        const char* text;
        double expected;
        const char* zone;
    } const cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", nov6, "GMT"},
        {"Sunday, 06-Nov-94 08:49:37 GMT", nov6, "GMT"},
        {"Sun Nov  6 08:49:37 1994", nov6, ""},
        {"  sun, 06 nov 1994 08:49:37 +0200 ", nov6, "+0200"},
        {"06 Nov 1994 08:49:37 GMT", nov6, "GMT"},
        {"Thu, 01 Dec 1994 16:00:00 GMT", NetEncodeDateTime(1994, 12, 1, 16, 0, 0), "GMT"},
        {"Sat, 01-Jan-05 00:00:00 GMT", NetEncodeDateTime(2005, 1, 1), "GMT"},
        {"Thu, 29 Feb 2024 23:59:59 GMT", NetEncodeDateTime(2024, 2, 29, 23, 59, 59), "GMT"},
        {"Tue, 06 Nov 1994", NetEncodeDateTime(1994, 11, 6), ""},
        // A day that is not a number counts as 1; time parts that are not numbers as 0.
        {"Sun, xx Nov 1994 08:aa:37 GMT", NetEncodeDateTime(1994, 11, 1, 8, 0, 37), "GMT"},
        // Nothing usable.
        {"", 0, ""},
        {"garbage", 0, ""},
        {"-1", 0, ""},
        {"Mon, 31 Feb 1994 00:00:00 GMT", 0, ""},
        {"Mon, 01 Foo 1994 00:00:00 GMT", 0, ""},
        {"Mon, 01 Jan 1994 25:00:00 GMT", 0, ""},
        {"Mon, 99999999999 Jan 1994", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_NEAR(ParseInternetDate(text), c.expected, kSecond / 100);
        if (c.expected != 0) {
            EXPECT_EQ(text, c.zone);
        }
    }
}

TEST(NetInternetDate, ZonesAndFormattingFollowTheLocalZone)
{
    struct {
        const char* tz;
        const char* offset;
        double hours;
    } const zones[] = {{"UTC0", "+0000", 0}, {"EST5", "-0500", -5}, {"XYZ-1", "+0100", 1},
                       {"IST-5:30", "+0530", 5.5}};
    const double instant = NetEncodeDateTime(1994, 11, 6, 8, 49, 37);
    for (const auto& z : zones) {
        SCOPED_TRACE(z.tz);
        TimeZoneScope scope(z.tz);
        EXPECT_NEAR(LocalOffsetFromUTC(), z.hours / 24, kSecond / 100);
        EXPECT_EQ(FormatInternetDate(instant), std::string("Sun, 6 Nov 1994 08:49:37 ") + z.offset);
        // GMT to local, and an explicit offset taken off first.
        EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT"), instant + z.hours / 24, kSecond / 100);
        EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 10:49:37 +0200"), instant + z.hours / 24,
                    kSecond / 100);
        EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 03:49:37 -0500"), instant + z.hours / 24,
                    kSecond / 100);
        // A malformed offset counts as 0.
        EXPECT_NEAR(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 +xx00"), instant + z.hours / 24,
                    kSecond / 100);
        // What we write, we read back as the same local time.
        EXPECT_NEAR(InternetDateToLocal(FormatInternetDate(instant)), instant, kSecond / 100);
    }
}

TEST(NetInternetDate, FormatsEveryWeekdayAndPadsTheClock)
{
    TimeZoneScope scope("UTC0");
    const char* const expected[] = {"Mon, 1 Jan 2024 00:00:05 +0000", "Tue, 2 Jan 2024 00:00:05 +0000",
                                    "Wed, 3 Jan 2024 00:00:05 +0000", "Thu, 4 Jan 2024 00:00:05 +0000",
                                    "Fri, 5 Jan 2024 00:00:05 +0000", "Sat, 6 Jan 2024 00:00:05 +0000",
                                    "Sun, 7 Jan 2024 00:00:05 +0000"};
    for (int day = 1; day <= 7; ++day)
        EXPECT_EQ(FormatInternetDate(NetEncodeDateTime(2024, 1, day, 0, 0, 5)), expected[day - 1]);
    EXPECT_EQ(FormatInternetDate(0), "Sat, 30 Dec 1899 00:00:00 +0000");
}

} // namespace

#include "platform/HttpDate.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace rl {
namespace {

struct DateCase {
    const char* text;
    // Year, month, day, day of week, hour, minute, second; year 0: no date.
    int fields[7];
};

TEST(HttpDateTest, ReadsTheThreeFormsAsUtcAndRefusesEverythingElse) {
    const DateCase cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", {1994, 11, 6, 0, 8, 49, 37}},
        {"Sunday, 06-Nov-94 08:49:37 GMT", {1994, 11, 6, 0, 8, 49, 37}},
        {"Sun Nov  6 08:49:37 1994", {1994, 11, 6, 0, 8, 49, 37}},
        {"Sun Nov 16 08:49:37 1994", {1994, 11, 16, 3, 8, 49, 37}},
        {"Thu, 29 Feb 2024 23:59:59 GMT", {2024, 2, 29, 4, 23, 59, 59}},
        {"Wednesday, 01-Jan-25 00:00:00 GMT", {2025, 1, 1, 3, 0, 0, 0}},
        {"Wed, 01-Jan-25 00:00:00 GMT", {}},
        {"  Fri, 31 Dec 1999 23:59:60 GMT ", {1999, 12, 31, 5, 23, 59, 59}},
        // The day's name is not what the date is read from.
        {"Mon, 06 Nov 1994 08:49:37 GMT", {1994, 11, 6, 0, 8, 49, 37}},
        {"", {}},
        {"garbage", {}},
        {"Sun, 06 Nov 1994 08:49:37 CET", {}},
        {"Sun, 06 Nov 1994 08:49:37", {}},
        {"Sun, 06 Nov 1994 08:49:37 GMT trailing", {}},
        {"Sun, 6 Nov 1994 08:49:37 GMT", {}},
        {"Sun, 29 Feb 2023 08:49:37 GMT", {}},
        {"Sun, 31 Apr 2023 08:49:37 GMT", {}},
        {"Sun, 06 Foo 1994 08:49:37 GMT", {}},
        {"Sun, 06 Nov 1994 24:00:00 GMT", {}},
        {"Sun, 06 Nov 1994 08:60:00 GMT", {}},
        {"Sun, 06 Nov 1500 08:49:37 GMT", {}},
        {"Sun, 06 Nov 19x4 08:49:37 GMT", {}},
        {"1994-11-06T08:49:37Z", {}},
    };
    for (const DateCase& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        const std::optional<SystemTime> time = ParseHttpDate(c.text);
        if (c.fields[0] == 0) {
            EXPECT_FALSE(time.has_value());
            continue;
        }
        ASSERT_TRUE(time.has_value());
        EXPECT_EQ(time->Year, c.fields[0]);
        EXPECT_EQ(time->Month, c.fields[1]);
        EXPECT_EQ(time->Day, c.fields[2]);
        EXPECT_EQ(time->DayOfWeek, c.fields[3]);
        EXPECT_EQ(time->Hour, c.fields[4]);
        EXPECT_EQ(time->Minute, c.fields[5]);
        EXPECT_EQ(time->Second, c.fields[6]);
        EXPECT_EQ(time->Milliseconds, 0);
    }
}

}  // namespace
}  // namespace rl

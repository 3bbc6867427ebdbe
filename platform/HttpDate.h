// HTTP dates as a server sends them (Last-Modified, Date), read as UTC in
// all three of their forms:
//   Sun, 06 Nov 1994 08:49:37 GMT     (the one servers send today)
//   Sunday, 06-Nov-94 08:49:37 GMT    (obsolete)
//   Sun Nov  6 08:49:37 1994          (obsolete, C's asctime)
// Anything else is no date. The Windows adapter reads them itself: Wine's
// WinInet takes them for the local zone's time, and a signed file's time must
// equal the server's to the second.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/TextSystem.h"

namespace rl {
namespace httpdate {

inline constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
inline constexpr std::string_view kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr std::string_view kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                 "Thursday", "Friday", "Saturday"};

// A small reader that moves along the text.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}
    bool Literal(std::string_view expected) {
        if (text_.substr(0, expected.size()) != expected) return false;
        text_.remove_prefix(expected.size());
        return true;
    }
    // Exactly `digits` digits.
    bool Number(int digits, int& value) {
        if (text_.size() < static_cast<std::size_t>(digits)) return false;
        value = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = text_[static_cast<std::size_t>(i)];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        text_.remove_prefix(static_cast<std::size_t>(digits));
        return true;
    }
    template <std::size_t N>
    bool OneOf(const std::string_view (&names)[N], int& index) {
        for (std::size_t i = 0; i < N; ++i)
            if (Literal(names[i])) {
                index = static_cast<int>(i);
                return true;
            }
        return false;
    }
    bool Time(int& hour, int& minute, int& second) {
        return Number(2, hour) && Literal(":") && Number(2, minute) && Literal(":") && Number(2, second);
    }
    bool AtEnd() const { return text_.empty(); }

private:
    std::string_view text_;
};

inline bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Sakamoto's day of the week, 0 = Sunday.
inline int DayOfWeek(int year, int month, int day) {
    static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
}

inline std::optional<SystemTime> Make(int year, int month, int day, int hour, int minute, int second) {
    static constexpr int kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1) return std::nullopt;
    if (day > kLengths[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    SystemTime time;
    time.Year = static_cast<std::uint16_t>(year);
    time.Month = static_cast<std::uint16_t>(month);
    time.Day = static_cast<std::uint16_t>(day);
    time.DayOfWeek = static_cast<std::uint16_t>(DayOfWeek(year, month, day));
    time.Hour = static_cast<std::uint16_t>(hour);
    time.Minute = static_cast<std::uint16_t>(minute);
    // A leap second is the last second of its minute here.
    time.Second = static_cast<std::uint16_t>(second == 60 ? 59 : second);
    return time;
}

}  // namespace httpdate

inline std::optional<SystemTime> ParseHttpDate(std::string_view text) {
    using namespace httpdate;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    int weekday = 0, day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    {
        Reader r(text);
        if (r.OneOf(kDays, weekday) && r.Literal(", ") && r.Number(2, day) && r.Literal(" ") &&
            r.OneOf(kMonths, month) && r.Literal(" ") && r.Number(4, year) && r.Literal(" ") &&
            r.Time(hour, minute, second) && r.Literal(" GMT") && r.AtEnd())
            return Make(year, month + 1, day, hour, minute, second);
    }
    {
        Reader r(text);
        if (r.OneOf(kLongDays, weekday) && r.Literal(", ") && r.Number(2, day) && r.Literal("-") &&
            r.OneOf(kMonths, month) && r.Literal("-") && r.Number(2, year) && r.Literal(" ") &&
            r.Time(hour, minute, second) && r.Literal(" GMT") && r.AtEnd())
            // Two digits: the century that puts the year nearest to now.
            return Make(year < 70 ? 2000 + year : 1900 + year, month + 1, day, hour, minute, second);
    }
    {
        Reader r(text);
        if (r.OneOf(kDays, weekday) && r.Literal(" ") && r.OneOf(kMonths, month) && r.Literal(" ") &&
            (r.Literal(" ") ? r.Number(1, day) : r.Number(2, day)) && r.Literal(" ") && r.Time(hour, minute, second) &&
            r.Literal(" ") && r.Number(4, year) && r.AtEnd())
            return Make(year, month + 1, day, hour, minute, second);
    }
    return std::nullopt;
}

}  // namespace rl

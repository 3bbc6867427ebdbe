// The C library's broken-down time as the system-time record of the ports.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/TextSystem.h"

namespace rl::linuxtime {

inline SystemTime FromTm(const std::tm& tm, std::uint16_t milliseconds) {
    SystemTime t;
    t.Year = static_cast<std::uint16_t>(tm.tm_year + 1900);
    t.Month = static_cast<std::uint16_t>(tm.tm_mon + 1);
    t.DayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
    t.Day = static_cast<std::uint16_t>(tm.tm_mday);
    t.Hour = static_cast<std::uint16_t>(tm.tm_hour);
    t.Minute = static_cast<std::uint16_t>(tm.tm_min);
    t.Second = static_cast<std::uint16_t>(tm.tm_sec);
    t.Milliseconds = milliseconds;
    return t;
}

}  // namespace rl::linuxtime

// Values and readers shared by the update component's unit tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/TextSystem.h"
#include "support/VorlLibText.h"

namespace rl::updatetest {

// The program at C:\Prog, its log in C:\Temp, its package on the server.
inline constexpr char kLog[] = "C:\\Temp\\RestLevel Update.log";
inline constexpr char kExe[] = "C:\\Prog\\RestLevel.exe";
inline constexpr char kUpdateURL[] = "https://halvane.example/restlevel/RestLevel.zbin";
inline constexpr char kPackage[] = "/restlevel/RestLevel.zbin";

inline constexpr double kT0 = 45352.5;  // 2024-03-01 12:00:00 UTC
inline constexpr double kSecond = 1.0 / 86400;

// The update log's lines, each ended as the log ends them.
inline std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// A registry string value's bytes, with its terminating zero.
inline std::vector<std::uint8_t> Sz(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// A registry DWORD value's bytes, lowest first.
inline std::vector<std::uint8_t> Dword(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// A date-time as the calendar fields a header of that instant carries.
inline SystemTime Calendar(double dateTime) {
    SystemTime time;
    DateTimeToSystemTime(dateTime, time);
    return time;
}

}  // namespace rl::updatetest

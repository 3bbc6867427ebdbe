// Round trips between the registry functions and a reg command that we did
// not write into the same program: Windows' reg (Wine's) on Windows,
// restlevel-reg on Linux. Both test programs run these tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rl::contract {

inline constexpr char kRoundTripKey[] = "Software\\RestLevelTests\\RoundTrip";

// Written by RegWriteInteger or RegWriteStringList, then read by
// `reg query KEY /v NAME`: the expected value line.
struct OurWrite {
    std::string name;
    std::optional<std::int32_t> integer;  // else the list is written
    std::vector<std::string> list;
    std::string line;
};

inline const std::vector<OurWrite>& OurWrites() {
    static const std::vector<OurWrite> rows = {
        {"RestLevel", 19660, {}, "    RestLevel    REG_DWORD    0x4ccc"},
        {"Negative", -1, {}, "    Negative    REG_DWORD    0xffffffff"},
        {"Exceptions", std::nullopt, {"C:\\Program Files\\Player\\play.exe", "/usr/bin/mpv"},
         "    Exceptions    REG_MULTI_SZ    C:\\Program Files\\Player\\play.exe\\0/usr/bin/mpv"},
        {"EmptyItem", std::nullopt, {"a", "", "b"}, "    EmptyItem    REG_MULTI_SZ    a\\0\\0b"},
        {"EmptyList", std::nullopt, {}, "    EmptyList    REG_MULTI_SZ    "},
    };
    return rows;
}

// Written by `reg add KEY /v NAME /t TYPE /d DATA /f`, then read by
// RegReadInteger (default 7) and RegReadStringList (default list {"default"}).
struct RegAdd {
    std::string name;
    std::string type;
    std::string data;
    bool accepted;
    std::int32_t integer;
    bool listRead;
    std::vector<std::string> list;  // when listRead
};

inline constexpr std::int32_t kRoundTripDefault = 7;

inline const std::vector<RegAdd>& RegAdds() {
    static const std::vector<RegAdd> rows = {
        {"Dword", "REG_DWORD", "19660", true, 19660, false, {}},
        {"DwordHex", "REG_DWORD", "0xffffffff", true, -1, false, {}},
        {"Text", "REG_SZ", "19660", true, kRoundTripDefault, false, {}},
        {"Binary", "REG_BINARY", "cc4c0000", true, kRoundTripDefault, false, {}},
        {"Qword", "REG_QWORD", "5", true, kRoundTripDefault, false, {}},
        {"List", "REG_MULTI_SZ", "a\\0b", true, kRoundTripDefault, true, {"a", "b"}},
        {"ListEndingInASeparator", "REG_MULTI_SZ", "a\\0b\\0", true, kRoundTripDefault, true, {"a", "b"}},
        {"EmptyList", "REG_MULTI_SZ", "", true, kRoundTripDefault, true, {}},
        // reg refuses an empty item inside a list (the registry's usual
        // readers would stop there) and stores nothing; our own writer can
        // store one (see OurWrites).
        {"EmptyItem", "REG_MULTI_SZ", "a\\0\\0b", false, kRoundTripDefault, false, {}},
    };
    return rows;
}

}  // namespace rl::contract

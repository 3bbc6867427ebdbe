// Argument lists that a command line must give back whole, for the tests of
// the writer against each build's splitter.
#pragma once

#include <string>
#include <vector>

namespace rl::commandlinetest {

inline const std::vector<std::vector<std::string>> kRoundTrips = {
    {""},
    {"", "middle", ""},
    {"tab\there"},
    {"C:\\My Dir\\", "next"},
    {"a\"b", "c d"},
    {"trailing\\\\", "x"},
    {"blank and trailing \\\\\\", "y"},
    {"\""},
    {"\"\""},
    {"\"\"\""},
    {"\\\"", "\\\\\"", "\\"},
    {"a\\\\\\\"b c"},
    {"new\nline", "vertical\vtab"},
    {"C:\\Prog\\RestLevel.exe", "\\\\server\\share\\"},
    {"/KzUpdate", "C:\\Program Files\\RestLevel\\RestLevel.exe", "1234", "5678", "Rest \"Level\""},
    {"-tray", "C:\\My Settings\\rest.ini", " ", "\t"},
};

}  // namespace rl::commandlinetest

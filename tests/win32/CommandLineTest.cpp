// Every argument list written as a command line comes back whole from
// CommandLineToArgvW, whose rules the C runtime that splits this program's
// own arguments follows for every line the writer makes (it never puts ""
// inside a quoted part, where the two differ).
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/CommandLineCases.h"
#include "update/CommandLine.h"

namespace rl {
namespace {

// The cases are ASCII: each byte is its own wide character.
std::vector<std::string> SplitAsWindowsDoes(const std::string& parameters) {
    // The program's name comes first and follows other rules; the start
    // request puts it there, quoted.
    const std::string line = "\"C:\\Prog\\RestLevel.exe\" " + parameters;
    const std::wstring wide(line.begin(), line.end());
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
    std::vector<std::string> arguments;
    if (argv == nullptr) return {"<CommandLineToArgvW failed>"};
    for (int i = 1; i < count; ++i) {
        const std::wstring argument(argv[i]);
        std::string narrow;
        for (const wchar_t c : argument) narrow += static_cast<char>(c);
        arguments.push_back(narrow);
    }
    LocalFree(argv);
    return arguments;
}

TEST(CommandLineRoundTrip, CommandLineToArgvWGivesEveryArgumentBack) {
    for (const std::vector<std::string>& arguments : commandlinetest::kRoundTrips) {
        const std::string line = JoinCommandLine(arguments);
        SCOPED_TRACE(line);
        EXPECT_EQ(SplitAsWindowsDoes(line), arguments);
    }
}

}  // namespace
}  // namespace rl

// The command-line writer: what it writes for each kind of argument, and the
// refusal of a POSIX program path with a double quote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/KzFileLib.h"
#include "tests/fakes/FakeFileSystem.h"
#include "update/CommandLine.h"

namespace rl {
namespace {

TEST(CommandLineTest, QuotesOnlyWhatASplitterWouldBreak) {
    struct Case {
        std::string argument, written;
    } cases[] = {
        {"plain", "plain"},
        {"C:\\Prog\\RestLevel.exe", "C:\\Prog\\RestLevel.exe"},  // backslashes without a quote are literal
        {"trailing\\", "trailing\\"},
        {"", "\"\""},
        {"a b", "\"a b\""},
        {"tab\there", "\"tab\there\""},
        {"line\nfeed", "\"line\nfeed\""},
        {"v\vt", "\"v\vt\""},
        {"a\"b", "\"a\\\"b\""},
        {"C:\\My Dir\\", "\"C:\\My Dir\\\\\""},
        {"x\\\\\"y", "\"x\\\\\\\\\\\"y\""},
        {"\"", "\"\\\"\""},
        {"a\\b c", "\"a\\b c\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        EXPECT_EQ(QuoteArgument(c.argument), c.written);
    }
    EXPECT_EQ(JoinCommandLine({}), "");
    EXPECT_EQ(JoinCommandLine({"", "a b", "c"}), "\"\" \"a b\" c");
}

TEST(CommandLineTest, APosixProgramPathWithAQuoteIsRefused) {
    fake::FileSystem files;
    SetFileSystemPort(&files);
    files.style = PathStyle::Windows;
    EXPECT_TRUE(PathFitsCommandLine("C:\\odd\"name\\RestLevel.exe"));
    files.style = PathStyle::Posix;
    EXPECT_TRUE(PathFitsCommandLine("/opt/rest level/restlevel"));
    EXPECT_FALSE(PathFitsCommandLine("/home/u/odd\"name/restlevel"));
    SetFileSystemPort(nullptr);
}

}  // namespace
}  // namespace rl

// Every argument list written as a command line comes back whole from the
// Linux adapter's splitter, the one that reads a start request's parameters.
#include <gtest/gtest.h>

#include "platform/linux/CommandLineSplit.h"
#include "tests/unit/CommandLineCases.h"
#include "update/CommandLine.h"

namespace rl {
namespace {

TEST(CommandLineRoundTrip, TheLinuxSplitterGivesEveryArgumentBack) {
    for (const std::vector<std::string>& arguments : commandlinetest::kRoundTrips) {
        const std::string line = JoinCommandLine(arguments);
        SCOPED_TRACE(line);
        EXPECT_EQ(SplitWindowsCommandLine(line), arguments);
    }
}

}  // namespace
}  // namespace rl

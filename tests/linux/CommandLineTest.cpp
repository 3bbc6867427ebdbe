// Every argument list written as a command line comes back whole from the
// Linux adapter's splitter, the one that reads a start request's parameters.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/Files.h"
#include "platform/linux/CommandLineSplit.h"
#include "tests/linux/LinuxTestSupport.h"
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

// Nothing is run as another user: "runas" is refused even with an
// elevation tool on PATH, and the tool is never called.
TEST(CommandLineRoundTrip, RunAsIsRefusedAndNoElevationToolRuns) {
    linuxtest::TempDir temp;
    const std::string marker = temp.Path() + "/called";
    const std::string tool = temp.Path() + "/pkexec";
    std::ofstream(tool) << "#!/bin/sh\ntouch '" << marker << "'\nexec \"$@\"\n";
    chmod(tool.c_str(), 0755);
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath != nullptr ? oldPath : "";
    setenv("PATH", (temp.Path() + ":" + saved).c_str(), 1);
    const std::unique_ptr<IFileSystem> files = CreateFileSystem();
    const std::intptr_t result = files->ShellExecuteCode(0, "runas", "/bin/true", "", temp.Path(), 5);
    setenv("PATH", saved.c_str(), 1);
    EXPECT_LE(result, kShellExecuteErrorLimit);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
}  // namespace rl

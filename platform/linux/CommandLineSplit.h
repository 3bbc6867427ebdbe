// The Linux adapter's reading of a Windows command line (the parameters of a
// request to start a program), for the tests that hold the writing side.
#pragma once

#include <string>
#include <vector>

namespace rl {

std::vector<std::string> SplitWindowsCommandLine(const std::string& line);

}  // namespace rl

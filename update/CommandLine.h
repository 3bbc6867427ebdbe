// Command lines for the programs the update starts, written so that the
// Windows rules of splitting (CommandLineToArgvW, the C runtime) give every
// argument back whole.
#pragma once

#include <string>
#include <vector>

namespace rl {

// The argument as it is written in a command line: as it is when it holds no
// blank, tab, newline, vertical tab or quote and is not empty; otherwise in
// quotes, with a quote written \" and the backslashes before a quote or the
// closing quote doubled.
std::string QuoteArgument(const std::string& argument);

// The arguments, each quoted as needed, separated by blanks.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

// Whether a program's path may be written in a command line. On POSIX a
// double quote in a path is refused: no program of ours puts one there, and
// the line would be read back by a splitter of another system's rules.
bool PathFitsCommandLine(const std::string& path);

}  // namespace rl

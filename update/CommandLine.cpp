#include "update/CommandLine.h"

#include <cstddef>

#include "platform/Files.h"
#include "support/KzFileLib.h"

namespace rl {

std::string QuoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string JoinCommandLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) line += ' ';
        line += QuoteArgument(arguments[i]);
    }
    return line;
}

bool PathFitsCommandLine(const std::string& path) {
    IFileSystem* files = FileSystemPort();
    return files == nullptr || files->Style() != PathStyle::Posix || path.find('"') == std::string::npos;
}

}  // namespace rl

// Windows error codes for Linux failures. The Linux adapters report errors
// with the codes their Windows counterparts would give, so that the portable
// code sees one set of codes; the text utilities go back to the errno to
// show the C library's message for it.
#pragma once

#include <cstdint>

namespace rl::linuxerr {

// What an errno without its own entry becomes: ERROR_GEN_FAILURE.
constexpr std::uint32_t kUnmappedErrno = 31;

// The Windows code for an errno (0 for 0). EEXIST gives ERROR_FILE_EXISTS
// (80), as creating a file does; creating a folder reports
// ERROR_ALREADY_EXISTS (183) on Windows, which an adapter picks itself.
std::uint32_t WinErrorFromErrno(int error);

// The first errno that maps to a code, or 0 when none does (then there is
// no C library text for it).
int ErrnoFromWinError(std::uint32_t code);

// The calling thread's last error as a Windows code: what the Linux
// adapters leave behind for the portable code to read, as GetLastError.
std::uint32_t ThreadLastError();
void SetThreadLastError(std::uint32_t code);
// Records WinErrorFromErrno(error) and returns it.
std::uint32_t SetThreadLastErrorFromErrno(int error);

}  // namespace rl::linuxerr

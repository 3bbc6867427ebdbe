#include "platform/linux/ErrorCodes.h"

#include <cerrno>
#include <iterator>

namespace rl::linuxerr {

namespace {

struct Pair {
    int error;
    std::uint32_t code;
};

// Forward, the first entry of an errno counts; backward, the first entry of
// a code. So the errno most typical of a code comes first among its kind,
// and entries that only serve the way back come after.
constexpr Pair kPairs[] = {
    {ENOENT, 2},          // ERROR_FILE_NOT_FOUND
    {ENOTDIR, 3},         // ERROR_PATH_NOT_FOUND
    {EMFILE, 4},          // ERROR_TOO_MANY_OPEN_FILES
    {ENFILE, 4},
    {EACCES, 5},          // ERROR_ACCESS_DENIED
    {EPERM, 5},
    {EISDIR, 5},          // opening a folder as a file
    {EBADF, 6},           // ERROR_INVALID_HANDLE
    {ENOMEM, 8},          // ERROR_NOT_ENOUGH_MEMORY
    {ENOBUFS, 8},
    {E2BIG, 10},          // ERROR_BAD_ENVIRONMENT
    {ENOEXEC, 11},        // ERROR_BAD_FORMAT
    {EXDEV, 17},          // ERROR_NOT_SAME_DEVICE
    {EROFS, 19},          // ERROR_WRITE_PROTECT
    {ENODEV, 20},         // ERROR_BAD_UNIT
    {ENXIO, 20},
    {ENOMEDIUM, 21},      // ERROR_NOT_READY
    {ESPIPE, 25},         // ERROR_SEEK
    {ETXTBSY, 32},        // ERROR_SHARING_VIOLATION: a running program's file
    {ENOTSUP, 50},        // ERROR_NOT_SUPPORTED
    {EEXIST, 80},         // ERROR_FILE_EXISTS
    {EINVAL, 87},         // ERROR_INVALID_PARAMETER
    {ESRCH, 87},          // no such process, as OpenProcess reports it
    {EPIPE, 109},         // ERROR_BROKEN_PIPE
    {ENOSPC, 112},        // ERROR_DISK_FULL
    {ENOSYS, 120},        // ERROR_CALL_NOT_IMPLEMENTED
    {ERANGE, 122},        // ERROR_INSUFFICIENT_BUFFER
    {ECHILD, 128},        // ERROR_WAIT_NO_CHILDREN
    {ENOTEMPTY, 145},     // ERROR_DIR_NOT_EMPTY
    {EBUSY, 170},         // ERROR_BUSY
    {ENAMETOOLONG, 206},  // ERROR_FILENAME_EXCED_RANGE
    {EFBIG, 223},         // ERROR_FILE_TOO_LARGE
    {EOVERFLOW, 534},     // ERROR_ARITHMETIC_OVERFLOW
    {EINTR, 995},         // ERROR_OPERATION_ABORTED
    {EFAULT, 998},        // ERROR_NOACCESS
    {EILSEQ, 1113},       // ERROR_NO_UNICODE_TRANSLATION
    {EIO, 1117},          // ERROR_IO_DEVICE
    {EDEADLK, 1131},      // ERROR_POSSIBLE_DEADLOCK
    {EMLINK, 1142},       // ERROR_TOO_MANY_LINKS
    {ECANCELED, 1223},    // ERROR_CANCELLED
    {ECONNREFUSED, 1225}, // ERROR_CONNECTION_REFUSED
    {ENETUNREACH, 1231},  // ERROR_NETWORK_UNREACHABLE
    {EHOSTUNREACH, 1232}, // ERROR_HOST_UNREACHABLE
    {ECONNABORTED, 1236}, // ERROR_CONNECTION_ABORTED
    {EDQUOT, 1295},       // ERROR_DISK_QUOTA_EXCEEDED
    {ETIMEDOUT, 1460},    // ERROR_TIMEOUT
    {ELOOP, 1921},        // ERROR_CANT_RESOLVE_FILENAME
    // Only the way back: codes that an adapter picks itself.
    {EEXIST, 183},        // ERROR_ALREADY_EXISTS
};

thread_local std::uint32_t tLastError = 0;

}  // namespace

std::uint32_t WinErrorFromErrno(int error) {
    if (error == 0) return 0;
    for (const Pair& p : kPairs)
        if (p.error == error) return p.code;
    return kUnmappedErrno;
}

int ErrnoFromWinError(std::uint32_t code) {
    if (code == 0) return 0;
    for (const Pair& p : kPairs)
        if (p.code == code) return p.error;
    return 0;
}

std::uint32_t ThreadLastError() { return tLastError; }

void SetThreadLastError(std::uint32_t code) { tLastError = code; }

std::uint32_t SetThreadLastErrorFromErrno(int error) {
    tLastError = WinErrorFromErrno(error);
    return tLastError;
}

}  // namespace rl::linuxerr

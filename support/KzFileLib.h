// File, path and process routines of the update component and the exception
// list: copying with time stamps, inflating a zlib stream into a file, file
// times, folders and temporary files, path resolution, version strings,
// starting a program and waiting for it, and making another program quit.
// All block the calling thread; only DecompressToFile lets an error through.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Controls.h"
#include "platform/Files.h"
#include "platform/Timer.h"
#include "platform/Types.h"

namespace rl {

// The routines reach the system through these ports. Without a file system
// every routine fails as its system calls would; without a cursor or a pump
// the cursor changes and the message processing do nothing.
void SetFileSystemPort(IFileSystem* port);
IFileSystem* FileSystemPort();
void SetScreenCursorPort(IScreenCursor* port);
void SetMessagePumpPort(IMessagePump* port);

// The error record of the copy and decompression routines.
extern std::uint32_t FileLastErrorCode;  // a Windows error code
extern std::string FileLastStep;         // the step that failed
extern std::string FileLastError;        // its text
void ResetFileError();

// The string keys of a version resource, by index.
inline constexpr std::array<std::string_view, 8> VersionInfoKey = {
    "CompanyName",      "FileDescription", "FileVersion", "InternalName",
    "LegalCopyright",   "OriginalFilename", "ProductName", "ProductVersion"};

// A damaged zlib stream; what() is the decompressor's message.
class EDecompressionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Copies a file, overwriting the destination, and gives it the source's
// times and attributes; the creation time becomes now unless keepCreated.
// Only the copy decides the result; later failures show in the error record.
bool CopyFileWithTimes(const std::string& source, const std::string& destination, bool keepCreated);

// Inflates one whole zlib stream into a new file (an existing one is
// replaced, unless createNew: then it is refused) and, when lastWriteLocal > 0, sets its last-write time from that
// local date-time. False when the file cannot be created, a write falls
// short, the data ends before the stream does, or the stream inflates to more
// than `limit` bytes (then nothing beyond the limit is written and the file
// is removed); EDecompressionError for a damaged stream.
inline constexpr std::uint64_t kMaxInflatedSize = 256ull * 1024 * 1024;
bool DecompressToFile(const std::string& data, const std::string& destination, double lastWriteLocal,
                      std::uint64_t limit = kMaxInflatedSize, bool createNew = false);

// The file's last-write time as a UTC date-time; 0 when it cannot be read.
double GetFileDateUTC(const std::string& fileName);

// Creates a folder and its missing parents: 1 when all existed, 0 when some
// were created, 2 when a creation failed.
int MakeFolderPath(const std::string& folder);

// Creates a new empty file "HLV<hex>.TMP" in the folder and gives its name
// as the folder followed by the file name (with an empty folder, ".\" or
// "./" and the name: the current folder); empty on failure.
std::string CreateTempFile(const std::string& folder);

// The temporary folder, ending in the path separator.
std::string GetTempFolder();

std::string GetComputerNameText();

// The absolute form of a path relative to a base folder.
std::string ResolvePath(const std::string& baseFolder, const std::string& path);

// A string of the file's version resource in its first language; empty when
// there is none.
std::string GetVersionInfoText(const std::string& fileName, int keyIndex);

// Starts a program (or opens a document) with the shell and, when wait is
// set, waits for it while processing messages. exitCode (may be null)
// receives its exit code. False when it could not be started.
bool RunAndWait(WindowHandle owner, const std::string& verb, const std::string& file,
                const std::string& parameters, const std::string& directory, int show, bool wait,
                std::uint32_t* exitCode = nullptr);

// Asks a program's thread to quit, waits, and then terminates its process.
// Either id may be 0. True when the thread ended within the time-out or the
// process was terminated.
bool CloseProcess(std::uint32_t threadId, std::uint32_t processId, std::uint32_t timeoutMs);

// Sets the application's screen cursor and processes pending messages so
// that it shows at once.
void SetScreenCursor(int cursor);

// Date-times and file times --------------------------------------------

// A UTC file time as a date-time, without time-zone conversion.
double FileTimeToDateTime(FileTime time);
// A date-time as a file time in the same zone; false outside years 1..9999.
bool DateTimeToFileTime(double dateTime, FileTime& time);

}  // namespace rl

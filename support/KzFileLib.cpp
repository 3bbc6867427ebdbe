#include "support/KzFileLib.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "procenum/KzEnumProcesses.h"
#include "support/VorlLibText.h"

namespace rl {

std::uint32_t FileLastErrorCode = 0;
std::string FileLastStep;
std::string FileLastError;

namespace {

IFileSystem* gFiles = nullptr;
IScreenCursor* gCursor = nullptr;
IMessagePump* gPump = nullptr;

constexpr std::uint32_t kChunkSize = 65536;
constexpr std::uint32_t kErrorFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE
constexpr std::uint32_t kNameBufferSize = 255;
// Days from 1 January 1601 to 30 December 1899.
constexpr double kFileTimeEpochDays = 109205.0;
constexpr double kTicksPerMillisecond = 10000.0;
constexpr double kMillisecondsPerDay = 86400000.0;
// A ShellExecuteEx that shows no error of its own and lets DDE finish.
constexpr std::uint32_t kShellExecuteQuietMask = kSeeMaskFlagNoUi | kSeeMaskFlagDdeWait;
constexpr std::uint32_t kWaitPollMs = 100;
constexpr std::uint32_t kQuitGraceMs = 5000;
constexpr std::uint32_t kErrorCallNotImplemented = 120;

std::uint32_t PortLastError() { return gFiles != nullptr ? gFiles->LastError() : kErrorCallNotImplemented; }

void RecordStepFailure(const std::string& step, std::uint32_t error) {
    FileLastStep = step;
    FileLastError = SysErrorText(static_cast<std::int32_t>(error));
}

void RecordStepFailure(const std::string& step) { RecordStepFailure(step, PortLastError()); }

char Separator() { return gFiles != nullptr && gFiles->Style() == PathStyle::Posix ? '/' : '\\'; }

bool EndsWith(const std::string& text, char c) { return !text.empty() && text.back() == c; }

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool FolderExists(const std::string& folder) {
    if (gFiles == nullptr) return false;
    const std::uint32_t attributes = gFiles->GetFileAttributes(folder);
    return attributes != kInvalidFileAttributes && (attributes & kFileAttributeDirectory) != 0;
}

// The folder part of a name, its last separator included ("" when it has
// none); on Windows a drive letter's colon also ends the folder part.
std::string FolderPart(const std::string& name, char separator) {
    for (std::size_t i = name.size(); i > 0; --i) {
        const char c = name[i - 1];
        if (c == separator || (separator == '\\' && c == ':')) return name.substr(0, i);
    }
    return {};
}

// The base without its last folder; a root ("C:\", "/") stays as it is.
std::string ParentFolder(const std::string& base, char separator) {
    std::string folder = base;
    if (EndsWith(folder, separator)) folder.pop_back();
    if (folder.empty() || (separator == '\\' && folder.size() == 2 && folder[1] == ':')) return base;
    const std::string parent = FolderPart(folder, separator);
    if (separator == '\\' && EndsWith(parent, ':')) return parent + "\\";
    return parent.empty() ? base : parent;
}

// A relative path against a base folder: the base becomes a folder with a
// trailing separator, then each leading "..<sep>" climbs one folder.
std::string JoinRelative(std::string base, std::string path, char separator) {
    if (!base.empty() && !EndsWith(base, separator)) {
        if (FolderExists(base))
            base += separator;
        else
            base = FolderPart(base, separator);
    }
    const std::string up = std::string("..") + separator;
    const std::string here = std::string(".") + separator;
    for (;;) {
        if (path.compare(0, up.size(), up) == 0) {
            path.erase(0, up.size());
            base = ParentFolder(base, separator);
        } else if (separator == '/' && path.compare(0, here.size(), here) == 0) {
            path.erase(0, here.size());
        } else {
            break;
        }
    }
    const std::size_t start = path.find_first_not_of(separator);
    path.erase(0, start == std::string::npos ? path.size() : start);
    return base + path;
}

std::string ResolveWindowsPath(const std::string& base, const std::string& path) {
    if (path.compare(0, 2, "\\\\") == 0) {
        const std::string share = GetField(path, '\\', 4);
        if (!share.empty() && share.back() == '$') {
            std::size_t fourth = std::string::npos;
            for (int i = 0, at = -1; i < 4; ++i) {
                fourth = path.find('\\', static_cast<std::size_t>(at + 1));
                if (fourth == std::string::npos) break;
                at = static_cast<int>(fourth);
            }
            const std::string rest = fourth == std::string::npos ? std::string() : path.substr(fourth + 1);
            const std::string drive(1, share[0]);
            const std::string server = GetField(path, '\\', 3, '"');
            const std::string local = drive + ":\\" + rest;
            if (Lower(server) == Lower(GetComputerNameText())) return local;
            std::string folder = FolderPart(rest, '\\');
            if (EndsWith(folder, '\\')) folder.pop_back();
            return FolderExists(drive + ":\\" + folder) ? local : path;
        }
        return path;
    }
    if (path.size() >= 2 && path[1] == ':') return path;
    if (!path.empty() && path[0] == '\\') return base.substr(0, 2) + path;
    return JoinRelative(base, path, '\\');
}

std::string ResolvePosixPath(const std::string& base, const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    return JoinRelative(base, path, '/');
}

// The local date-time of a UTC file time; false when it has none.
bool LocalDateTimeOf(FileTime time, double& local) {
    FileTime localTime = 0;
    if (time == 0 || gFiles == nullptr || !gFiles->FileTimeToLocalFileTime(time, localTime)) return false;
    local = FileTimeToDateTime(localTime);
    return true;
}

// A local date-time as a UTC file time.
bool LocalDateTimeToFileTime(double local, FileTime& utc) {
    FileTime localTime = 0;
    return gFiles != nullptr && DateTimeToFileTime(local, localTime) &&
           gFiles->LocalFileTimeToFileTime(localTime, utc);
}

// Closes a handle that may never have been opened.
void CloseIfOpen(SysHandle handle) {
    if (handle != kInvalidHandle && gFiles != nullptr) gFiles->CloseHandle(handle);
}

// One zlib stream read in chunks, as a decompression stream is read.
class Inflater {
public:
    explicit Inflater(const std::string& data) : data_(data) {
        stream_.next_in = Z_NULL;
        stream_.avail_in = 0;
        const int status = inflateInit(&stream_);
        if (status != Z_OK) Fail(status);
    }
    ~Inflater() { inflateEnd(&stream_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Up to count bytes; fewer only at the end of the stream or of the data.
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t count) {
        stream_.next_out = buffer;
        stream_.avail_out = count;
        while (stream_.avail_out > 0 && !ended_) {
            if (stream_.avail_in == 0 && consumed_ < data_.size()) {
                const std::size_t piece =
                    std::min<std::size_t>(data_.size() - consumed_, std::numeric_limits<uInt>::max());
                stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data_.data() + consumed_));
                stream_.avail_in = static_cast<uInt>(piece);
                consumed_ += piece;
            }
            const uInt before = stream_.avail_out;
            const uInt inputBefore = stream_.avail_in;
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                ended_ = true;
            } else if (status == Z_BUF_ERROR) {
                if (stream_.avail_in == 0 && consumed_ >= data_.size()) break;  // the data ran out
            } else if (status != Z_OK) {
                Fail(status);
            } else if (stream_.avail_out == before && stream_.avail_in == inputBefore &&
                       consumed_ >= data_.size()) {
                break;
            }
        }
        return count - stream_.avail_out;
    }

    // True once the stream's end and its checksum were read.
    bool Ended() const { return ended_; }

private:
    [[noreturn]] void Fail(int status) {
        throw EDecompressionError(stream_.msg != nullptr ? stream_.msg : zError(status));
    }

    const std::string& data_;
    std::size_t consumed_ = 0;
    z_stream stream_{};
    bool ended_ = false;
};

}  // namespace

void SetFileSystemPort(IFileSystem* port) { gFiles = port; }
IFileSystem* FileSystemPort() { return gFiles; }
void SetScreenCursorPort(IScreenCursor* port) { gCursor = port; }
void SetMessagePumpPort(IMessagePump* port) { gPump = port; }

void ResetFileError() {
    FileLastErrorCode = 0;
    FileLastStep.clear();
    FileLastError.clear();
}

double FileTimeToDateTime(FileTime time) {
    const double milliseconds = std::floor(static_cast<double>(time) / kTicksPerMillisecond);
    return milliseconds / kMillisecondsPerDay - kFileTimeEpochDays;
}

bool DateTimeToFileTime(double dateTime, FileTime& time) {
    SystemTime check;
    if (!DateTimeToSystemTime(dateTime, check)) return false;
    const double milliseconds = std::round((dateTime + kFileTimeEpochDays) * kMillisecondsPerDay);
    if (milliseconds < 0) return false;
    time = static_cast<FileTime>(milliseconds) * static_cast<FileTime>(kTicksPerMillisecond);
    return true;
}

void SetScreenCursor(int cursor) {
    try {
        if (gCursor != nullptr) gCursor->SetCursor(cursor);
        if (gPump != nullptr) gPump->ProcessMessages();
    } catch (...) {
        // A cursor is cosmetic: nothing here may stop the work it decorates.
    }
}

bool CopyFileWithTimes(const std::string& source, const std::string& destination, bool keepCreated) {
    ResetFileError();
    if (gFiles == nullptr || !gFiles->CopyFile(source, destination, false)) {
        RecordStepFailure("Allocate Copy Buffers");
        return false;
    }
    // The copy carries the source's attributes; a read-only copy could not be
    // opened for its times. The attributes are applied again at the end.
    const std::uint32_t copied = gFiles->GetFileAttributes(destination);
    if (copied != kInvalidFileAttributes && (copied & kFileAttributeReadOnly) != 0)
        gFiles->SetFileAttributes(destination, copied & ~kFileAttributeReadOnly);
    // A failed open is recorded again by the step that needed the file, with
    // the open's error: the calls in between have replaced the last error.
    const SysHandle from =
        gFiles->CreateFile(source, kGenericRead, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    const std::uint32_t fromError = from == kInvalidHandle ? PortLastError() : 0;
    if (from == kInvalidHandle) RecordStepFailure("Open Source File", fromError);
    const SysHandle to = gFiles->CreateFile(destination, kGenericRead | kGenericWrite, 0, kOpenExisting, 0);
    const std::uint32_t toError = to == kInvalidHandle ? PortLastError() : 0;
    if (to == kInvalidHandle) RecordStepFailure("Create Destination File", toError);

    FileTime created = 0;
    FileTime accessed = 0;
    FileTime written = 0;
    if (from == kInvalidHandle) {
        RecordStepFailure("Retrieve Source File Timestamps", fromError);
    } else if (!gFiles->GetFileTimes(from, &created, &accessed, &written)) {
        RecordStepFailure("Retrieve Source File Timestamps");
    } else {
        double local = 0;
        if (!LocalDateTimeOf(created, local) || local <= 0) created = written;
        if (!LocalDateTimeOf(accessed, local) || local <= 0) accessed = written;
        if (!keepCreated) {
            const std::optional<double> now = SystemTimeToDateTime(gFiles->LocalTime());
            FileTime nowUtc = 0;
            if (now && LocalDateTimeToFileTime(*now, nowUtc)) created = nowUtc;
        }
        if (to == kInvalidHandle)
            RecordStepFailure("Set Destination File Timestamps", toError);
        else if (!gFiles->SetFileTimes(to, &created, &accessed, &written))
            RecordStepFailure("Set Destination File Timestamps");
    }
    CloseIfOpen(from);
    CloseIfOpen(to);

    const std::uint32_t attributes = gFiles->GetFileAttributes(source);
    if (attributes != kInvalidFileAttributes) gFiles->SetFileAttributes(destination, attributes);
    return true;
}

bool DecompressToFile(const std::string& data, const std::string& destination, double lastWriteLocal,
                      std::uint64_t limit, bool createNew) {
    SetScreenCursor(kCursorHourGlass);
    ResetFileError();
    const SysHandle file = gFiles == nullptr
                               ? kInvalidHandle
                               : gFiles->CreateFile(destination, kGenericRead | kGenericWrite, 0,
                                                    createNew ? kCreateNew : kCreateAlways,
                                                    kFileAttributeNormal);
    if (file == kInvalidHandle) {
        FileLastErrorCode = PortLastError();
        FileLastStep = "Create File";
        FileLastError = SysErrorText(static_cast<std::int32_t>(FileLastErrorCode)) + " at Create File";
        SetScreenCursor(kCursorDefault);
        return false;
    }

    bool complete = false;
    try {
        Inflater inflater(data);
        std::vector<std::uint8_t> buffer(kChunkSize);
        std::uint32_t count = 0;
        std::uint32_t written = 0;
        std::uint64_t total = 0;
        bool tooLarge = false;
        do {
            count = inflater.Read(buffer.data(), kChunkSize);
            written = 0;
            // A small package may inflate without end: what would pass the
            // limit is never written.
            if (count > limit - total) {
                tooLarge = true;
                break;
            }
            if (count > 0 && !gFiles->WriteFile(file, buffer.data(), count, written)) written = 0;
            total += written;
        } while (count == kChunkSize && written == count);

        if (tooLarge) {
            FileLastErrorCode = kErrorFileTooLarge;
            FileLastStep = "Decompress";
            FileLastError = "The package inflates to more than " + std::to_string(limit) + " bytes";
        } else if (written != count) {
            RecordStepFailure("Write File");
            FileLastErrorCode = PortLastError();
        } else if (!inflater.Ended()) {
            // A package cut short in transit must not be installed as a
            // truncated program.
            FileLastErrorCode = kErrorHandleEof;
            FileLastStep = "Decompress";
            FileLastError = "The compressed data is incomplete: it ends before the end of its stream";
        } else {
            complete = true;
        }

        FileTime lastWrite = 0;
        if (lastWriteLocal > 0 && LocalDateTimeToFileTime(lastWriteLocal, lastWrite))
            gFiles->SetFileTimes(file, nullptr, nullptr, &lastWrite);
    } catch (const EDecompressionError& error) {
        ResetFileError();
        FileLastError = error.what();
        gFiles->CloseHandle(file);
        SetScreenCursor(kCursorDefault);
        throw;
    }
    gFiles->CloseHandle(file);
    if (FileLastErrorCode == kErrorFileTooLarge) gFiles->DeleteFile(destination);
    SetScreenCursor(kCursorDefault);
    return complete;
}

double GetFileDateUTC(const std::string& fileName) {
    if (gFiles == nullptr) return 0;
    const SysHandle file =
        gFiles->CreateFile(fileName, kGenericRead, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    if (file == kInvalidHandle) return 0;
    FileTime written = 0;
    double result = 0;
    if (gFiles->GetFileTimes(file, nullptr, nullptr, &written) && (written >> 32) != 0)
        result = FileTimeToDateTime(written);
    gFiles->CloseHandle(file);
    return result;
}

int MakeFolderPath(const std::string& folder) {
    const char separator = Separator();
    std::string path = folder;
    if (!EndsWith(path, separator)) path += separator;
    // The drive ("C:\") or the root ("/") is never created.
    const std::size_t first = separator == '\\' ? 4 : 2;
    if (path.size() < first || gFiles == nullptr) return 1;
    int result = 1;
    for (std::size_t i = first - 1; i < path.size(); ++i) {
        if (path[i] != separator) continue;
        const std::string part = path.substr(0, i);
        const std::uint32_t found = gFiles->FindEntry(
            part, kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeDirectory);
        if (found != kErrorFileNotFoundCode && found != kErrorPathNotFoundCode) continue;
        if (gFiles->CreateDirectory(part)) {
            if (result != 2) result = 0;
        } else {
            result = 2;  // a later folder cannot make up for a missing parent
        }
    }
    return result;
}

std::string CreateTempFile(const std::string& folder) {
    if (gFiles == nullptr) return {};
    std::string name = gFiles->TempFileName(folder.empty() ? std::string(".") : folder, "HLV");
    if (name.size() >= kNameBufferSize) name.clear();  // the buffer also holds the terminating zero
    return name;
}

std::string GetTempFolder() {
    if (gFiles == nullptr) return {};
    std::string folder = gFiles->TempPath();
    if (folder.size() >= kNameBufferSize) folder.clear();
    if (!folder.empty() && !EndsWith(folder, Separator())) folder += Separator();
    return folder;
}

std::string GetComputerNameText() {
    if (gFiles == nullptr) return {};
    std::string name = gFiles->ComputerName();
    if (name.size() >= kNameBufferSize) name.resize(kNameBufferSize - 1);
    return name;
}

std::string ResolvePath(const std::string& baseFolder, const std::string& path) {
    if (Separator() == '/') return ResolvePosixPath(baseFolder, path);
    return ResolveWindowsPath(baseFolder, path);
}

std::string GetVersionInfoText(const std::string& fileName, int keyIndex) {
    if (gFiles == nullptr || keyIndex < 0 || keyIndex >= static_cast<int>(VersionInfoKey.size())) return {};
    std::vector<std::uint8_t> resource;
    if (!gFiles->ReadVersionResource(fileName, resource)) return {};
    std::vector<std::uint8_t> translation;
    if (!gFiles->QueryVersionValue(resource, "\\VarFileInfo\\Translation", translation) || translation.size() < 4)
        return {};
    const unsigned language = translation[0] | (translation[1] << 8);
    const unsigned codePage = translation[2] | (translation[3] << 8);
    char block[9];
    std::snprintf(block, sizeof block, "%04X%04X", language, codePage);
    std::vector<std::uint8_t> value;
    const std::string subBlock =
        "\\StringFileInfo\\" + std::string(block) + "\\" + std::string(VersionInfoKey[static_cast<std::size_t>(keyIndex)]);
    if (!gFiles->QueryVersionValue(resource, subBlock, value)) return {};
    const auto end = std::find(value.begin(), value.end(), std::uint8_t{0});
    return std::string(value.begin(), end);
}

bool RunAndWait(WindowHandle owner, const std::string& verb, const std::string& file,
                const std::string& parameters, const std::string& directory, int show, bool wait,
                std::uint32_t* exitCode) {
    SetScreenCursor(kCursorHourGlass);
    ShellExecuteRequest request;
    request.Mask = kShellExecuteQuietMask | (wait ? kSeeMaskNoCloseProcess : 0);
    request.Owner = owner;
    request.Verb = verb;
    request.File = file;
    request.Parameters = parameters;
    request.Directory = directory;
    request.Show = show;
    SysHandle process = kInvalidHandle;
    const bool started = gFiles != nullptr && gFiles->ShellExecute(request, process);
    if (started && process != kInvalidHandle) {
        if (wait) {
            while (gFiles->WaitForObject(process, kWaitPollMs) == kWaitTimeout)
                if (gPump != nullptr) gPump->ProcessMessages();
        }
        if (exitCode != nullptr) gFiles->GetExitCodeProcess(process, *exitCode);
        gFiles->CloseHandle(process);
    }
    SetScreenCursor(kCursorDefault);
    return started;
}

bool CloseProcess(std::uint32_t threadId, std::uint32_t processId, std::uint32_t timeoutMs) {
    if (gFiles == nullptr) return false;
    const bool debugging = SetPrivilege("SeDebugPrivilege", true);

    // Every handle is opened before anything is sent: once asked to quit,
    // the ids may be gone or even reused.
    SysHandle threadWait = kInvalidHandle;
    SysHandle threadQuery = kInvalidHandle;
    SysHandle process = kInvalidHandle;
    if (threadId != 0) {
        threadWait = gFiles->OpenThread(kSynchronize, threadId);
        threadQuery = gFiles->OpenThread(kThreadQueryInformation, threadId);
    }
    if (processId != 0)
        process = gFiles->OpenProcess(kProcessTerminate | kSynchronize | kProcessQueryInformation, processId);

    bool result = false;
    std::uint32_t code = 0;
    if (threadId != 0) {
        gFiles->PostQuitToThread(threadId);
        gFiles->Sleep(kQuitGraceMs);
        if (threadWait != kInvalidHandle) result = gFiles->WaitForObject(threadWait, timeoutMs) == kWaitObject0;
        if (threadQuery != kInvalidHandle) gFiles->GetExitCodeThread(threadQuery, code);
    }
    if (processId != 0 && process != kInvalidHandle) {
        if (gFiles->TerminateProcess(process, 0)) {
            gFiles->WaitForObject(process, timeoutMs);
            result = true;
        }
        gFiles->GetExitCodeProcess(process, code);
    }
    CloseIfOpen(threadWait);
    CloseIfOpen(threadQuery);
    CloseIfOpen(process);
    SetPrivilege("SeDebugPrivilege", debugging);
    return result;
}

}  // namespace rl

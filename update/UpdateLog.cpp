#include "update/UpdateLog.h"

#include <cstdio>

#include "support/KzFileLib.h"
#include "support/VorlLibText.h"

namespace rl {

namespace {

constexpr char kLineEnd[] = "\r\n";
// The time separator is fixed: the log is read by people and tools alike,
// and one form across locales keeps it comparable.
constexpr char kTimeSeparator = ':';

}  // namespace

bool TUpdateLog::Open(const std::string& fileName, std::uint32_t access, std::uint32_t disposition) {
    Close();
    IFileSystem* files = FileSystemPort();
    if (files == nullptr || fileName.empty()) return false;
    file_ = files->CreateFile(fileName, access, kFileShareRead, disposition, kFileAttributeNormal);
    return IsOpen();
}

bool TUpdateLog::OpenAfresh(const std::string& fileName) {
    IFileSystem* files = FileSystemPort();
    // A file that cannot be deleted is still replaced by the creation when
    // it can be written.
    if (files != nullptr && !fileName.empty()) files->DeleteFile(fileName);
    return Open(fileName, kGenericWrite, kCreateAlways);
}

bool TUpdateLog::OpenForAppend(const std::string& fileName) {
    return Open(fileName, kFileAppendData, kOpenAlways);
}

void TUpdateLog::Close() {
    if (!IsOpen()) return;
    if (IFileSystem* files = FileSystemPort()) files->CloseHandle(file_);
    file_ = kInvalidHandle;
}

void TUpdateLog::Line(const std::string& text) { Write(text + kLineEnd); }

void TUpdateLog::Fragment(const std::string& text) { Write(text); }

// Straight to the system, without a buffer of our own: every line and
// fragment is on its way to the disk when the call returns.
void TUpdateLog::Write(const std::string& text) {
    IFileSystem* files = FileSystemPort();
    if (!IsOpen() || files == nullptr || text.empty()) return;
    std::uint32_t written = 0;
    files->WriteFile(file_, text.data(), static_cast<std::uint32_t>(text.size()), written);
}

std::string LogDateTime(double dateTime) {
    SystemTime t;
    if (!DateTimeToSystemTime(dateTime, t)) return {};
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u%c%02u%c%02u", unsigned{t.Year}, unsigned{t.Month},
                  unsigned{t.Day}, unsigned{t.Hour}, kTimeSeparator, unsigned{t.Minute}, kTimeSeparator,
                  unsigned{t.Second});
    return text;
}

}  // namespace rl

// The update log: one small writer for the check, the download and the
// installer. Lines end with CR LF; a fragment is written through at once, so
// that a log cut short by a crash or a hang still shows what was under way.
// While the log is closed (it could not be opened, or was closed), writes
// are dropped.
#pragma once

#include <string>

#include "platform/Files.h"

namespace rl {

class TUpdateLog {
public:
    TUpdateLog() = default;
    ~TUpdateLog() { Close(); }
    TUpdateLog(const TUpdateLog&) = delete;
    TUpdateLog& operator=(const TUpdateLog&) = delete;

    // Deletes any file of that name, then creates it empty. False (and the
    // log stays closed) when it cannot be created or the name is empty.
    bool OpenAfresh(const std::string& fileName);
    // Opens the file for appending, creating it when missing.
    bool OpenForAppend(const std::string& fileName);
    bool IsOpen() const { return file_ != kInvalidHandle; }
    void Close();

    // The text followed by CR LF.
    void Line(const std::string& text);
    // The text without a line end; the next line completes it.
    void Fragment(const std::string& text);

private:
    bool Open(const std::string& fileName, std::uint32_t access, std::uint32_t disposition);
    void Write(const std::string& text);

    SysHandle file_ = kInvalidHandle;
};

// A date-time as the log writes it: "yyyy-mm-dd hh:nn:ss" (24-hour clock,
// fractions of a second dropped). Empty for a value outside the years
// 1..9999.
std::string LogDateTime(double dateTime);

}  // namespace rl

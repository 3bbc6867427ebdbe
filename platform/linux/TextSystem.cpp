// Text and system services on Linux: the C library's message for the errno
// behind a code, the environment, the kernel's random bytes, the monotonic
// clock, the C library's time zone and the X server's keyboard state.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/TextSystem.h"
#include "platform/linux/CalendarTime.h"
#include "platform/linux/ErrorCodes.h"
#include "platform/linux/X11Display.h"

namespace rl {

namespace {

constexpr std::int16_t kKeyDown = -128;  // the high bit, as the system sets it

// Seconds from 1 January 1601 to 1 January 1970, and file-time units.
constexpr std::int64_t kFileEpochSeconds = 11644473600;
constexpr std::int64_t kFileTicksPerSecond = 10000000;
constexpr std::int64_t kFileTicksPerMs = 10000;

// strerror_r comes in two forms; either gives the text.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) { return result == 0 ? buffer : ""; }
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result; }

std::string ExpandPercentNames(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close == std::string::npos) {
            out += text[i++];
            continue;
        }
        // Unknown names, and "%%", stay as written; the scan goes on after them.
        const std::string name = text.substr(i + 1, close - i - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        out += value != nullptr ? std::string(value) : text.substr(i, close - i + 1);
        i = close + 1;
    }
    return out;
}

bool ValidTime(const SystemTime& t) {
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Day > kDays[t.Month - 1] || t.Hour > 23 || t.Minute > 59 ||
        t.Second > 59 || t.Milliseconds > 999)
        return false;
    const bool leap = (t.Year % 4 == 0 && t.Year % 100 != 0) || t.Year % 400 == 0;
    return !(t.Month == 2 && t.Day == 29 && !leap);
}

bool ToSeconds(const SystemTime& t, std::int64_t& seconds) {
    if (!ValidTime(t)) return false;
    std::tm tm{};
    tm.tm_year = t.Year - 1900;
    tm.tm_mon = t.Month - 1;
    tm.tm_mday = t.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Minute;
    tm.tm_sec = t.Second;
    seconds = static_cast<std::int64_t>(timegm(&tm));
    return true;
}

using linuxtime::FromTm;

bool KernelRandomBytes(void* buffer, std::uint32_t count) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = getrandom(bytes + done, count - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ShiftHeld() {
    Display* d = x11::SharedDisplay();
    if (d == nullptr) return false;
    char keys[32] = {};
    XQueryKeymap(d, keys);
    for (const KeySym sym : {XK_Shift_L, XK_Shift_R}) {
        const KeyCode code = XKeysymToKeycode(d, sym);
        if (code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0) return true;
    }
    return false;
}

class LinuxTextSystem : public ITextSystem {
public:
    std::string SystemMessage(std::uint32_t flags, std::uint32_t code, std::uint32_t, std::uint32_t bufferSize) override {
        if ((flags & kMessageFromSystem) == 0 || bufferSize == 0) return {};
        const int error = linuxerr::ErrnoFromWinError(code);
        if (error == 0) return {};
        char buffer[256] = {};
        const std::string text = ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
        return text.substr(0, bufferSize - 1);
    }

    // No module here carries WinInet's message table.
    std::string ModuleMessage(const std::string&, std::uint32_t, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
        return {};
    }

    // There are no network providers to ask.
    bool NetworkLastError(std::uint32_t&, std::string&, std::uint32_t, std::string&, std::uint32_t) override {
        return false;
    }

    std::uint32_t ThreadLastError() override { return linuxerr::ThreadLastError(); }

    std::uint32_t ExpandEnvironment(const std::string& text, char* buffer, std::uint32_t bufferSize) override {
        const std::string expanded = ExpandPercentNames(text);
        const auto needed = static_cast<std::uint32_t>(expanded.size() + 1);
        if (buffer != nullptr && bufferSize >= needed) std::memcpy(buffer, expanded.c_str(), needed);
        return needed;
    }

    int CompareText(std::uint32_t, std::uint32_t flags, const std::string& a, const std::string& b) override {
        const bool ignoreCase = (flags & kNormIgnoreCase) != 0;
        const auto fold = [ignoreCase](char c) {
            const auto u = static_cast<unsigned char>(c);
            return ignoreCase && u >= 'A' && u <= 'Z' ? u - 'A' + 'a' : static_cast<int>(u);
        };
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            const int d = fold(a[i]) - fold(b[i]);
            if (d != 0) return d < 0 ? kCompareLess : kCompareGreater;
        }
        return a.size() == b.size() ? kCompareEqual : a.size() < b.size() ? kCompareLess : kCompareGreater;
    }

    std::uintptr_t LookUpRandomBytes() override { return reinterpret_cast<std::uintptr_t>(&KernelRandomBytes); }

    bool CallRandomBytes(std::uintptr_t function, void* buffer, std::uint32_t count) override {
        return reinterpret_cast<bool (*)(void*, std::uint32_t)>(function)(buffer, count);
    }

    bool PerformanceFrequency(std::int64_t& frequency) override {
        frequency = 1000000000;
        return true;
    }

    bool PerformanceCounter(std::int64_t& counter) override {
        timespec ts{};
        if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
        counter = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        return true;
    }

    std::uint32_t TickCount() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                          static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
    }

    bool UtcToLocalTime(const SystemTime& utc, SystemTime& local) override {
        std::int64_t seconds = 0;
        if (!ToSeconds(utc, seconds)) return false;
        // localtime_r alone does not look at TZ again.
        tzset();
        const auto t = static_cast<std::time_t>(seconds);
        std::tm tm{};
        if (localtime_r(&t, &tm) == nullptr) return false;
        local = FromTm(tm, utc.Milliseconds);
        return true;
    }

    bool SystemTimeToFile(const SystemTime& time, FileTime& file) override {
        std::int64_t seconds = 0;
        if (time.Year < 1601 || !ToSeconds(time, seconds)) return false;
        file = static_cast<FileTime>((seconds + kFileEpochSeconds) * kFileTicksPerSecond +
                                     std::int64_t{time.Milliseconds} * kFileTicksPerMs);
        return true;
    }

    // With the zone's offset of now, as the system does.
    bool FileTimeToLocal(FileTime utc, FileTime& local) override {
        tzset();
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        if (localtime_r(&now, &tm) == nullptr) return false;
        local = utc + static_cast<FileTime>(static_cast<std::int64_t>(tm.tm_gmtoff) * kFileTicksPerSecond);
        return true;
    }

    bool FileTimeToSystem(FileTime file, SystemTime& time) override {
        if (file >= 0x8000000000000000u) return false;
        const auto ticks = static_cast<std::int64_t>(file);
        const auto t = static_cast<std::time_t>(ticks / kFileTicksPerSecond - kFileEpochSeconds);
        std::tm tm{};
        if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 30827) return false;
        time = FromTm(tm, static_cast<std::uint16_t>(ticks % kFileTicksPerSecond / kFileTicksPerMs));
        return true;
    }

    std::int16_t KeyState(int virtualKey) override {
        // Only Shift is asked for.
        return virtualKey == kVirtualKeyShift && ShiftHeld() ? kKeyDown : 0;
    }
};

}  // namespace

std::unique_ptr<ITextSystem> CreateTextSystem() { return std::make_unique<LinuxTextSystem>(); }

}  // namespace rl

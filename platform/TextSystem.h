// Text and system services of the utility unit: message texts for error
// codes, the thread's last error, environment expansion, a case-insensitive
// comparison, random bytes, the clocks, time-zone conversion and the Shift
// key. Each call passes through to one system function on Windows; the
// Linux adapter gives the same contract from the C library and X11.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace rl {

// Calendar date and time of day, as the system's SYSTEMTIME record.
struct SystemTime {
    std::uint16_t Year = 0;
    std::uint16_t Month = 0;      // 1..12
    std::uint16_t DayOfWeek = 0;  // 0 Sunday .. 6 Saturday
    std::uint16_t Day = 0;        // 1..31
    std::uint16_t Hour = 0;
    std::uint16_t Minute = 0;
    std::uint16_t Second = 0;
    std::uint16_t Milliseconds = 0;
    friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// 100-nanosecond intervals since 1 January 1601 UTC (or local time after
// FileTimeToLocal), as the system's FILETIME.
using FileTime = std::uint64_t;

// Message flags of the system's message formatter.
constexpr std::uint32_t kMessageIgnoreInserts = 0x200;
constexpr std::uint32_t kMessageFromModule = 0x800;
constexpr std::uint32_t kMessageFromSystem = 0x1000;
constexpr std::uint32_t kMessageArgumentArray = 0x2000;

// Comparison: locale, flag and results.
constexpr std::uint32_t kLocaleUserDefault = 0x400;
constexpr std::uint32_t kNormIgnoreCase = 1;
constexpr int kCompareLess = 1;
constexpr int kCompareEqual = 2;
constexpr int kCompareGreater = 3;

constexpr int kVirtualKeyShift = 0x10;

class ITextSystem {
public:
    virtual ~ITextSystem() = default;

    // The system's message for a code, formatted with the given flags and
    // language into a buffer of bufferSize bytes and cut to the length the
    // formatter returned; empty when it has none.
    virtual std::string SystemMessage(std::uint32_t flags, std::uint32_t code, std::uint32_t language,
                                      std::uint32_t bufferSize) = 0;
    // The same from the message table of a module the process has loaded,
    // found by its name (the module handle is passed on even when the
    // module is not loaded, as the formatter is then given a null handle).
    virtual std::string ModuleMessage(const std::string& moduleName, std::uint32_t flags, std::uint32_t code,
                                      std::uint32_t language, std::uint32_t bufferSize) = 0;
    // The network provider's last error: its code, description and name,
    // each text read into a buffer of the given size. False when the call
    // does not succeed.
    virtual bool NetworkLastError(std::uint32_t& providerError, std::string& description,
                                  std::uint32_t descriptionSize, std::string& provider,
                                  std::uint32_t providerSize) = 0;

    // The calling thread's last error.
    virtual std::uint32_t ThreadLastError() = 0;

    // Expands environment variables into a buffer of bufferSize bytes
    // (null and 0 ask for the size). Returns the size the expansion needs,
    // its terminating zero included, or 0 on failure.
    virtual std::uint32_t ExpandEnvironment(const std::string& text, char* buffer, std::uint32_t bufferSize) = 0;

    // Compares two texts for a locale with the comparison flags; one of
    // kCompareLess, kCompareEqual, kCompareGreater, or 0 on failure.
    virtual int CompareText(std::uint32_t locale, std::uint32_t flags, const std::string& a,
                            const std::string& b) = 0;

    // Looks up the system's random-bytes function; 0 when it is missing.
    virtual std::uintptr_t LookUpRandomBytes() = 0;
    // Calls a function that LookUpRandomBytes returned.
    virtual bool CallRandomBytes(std::uintptr_t function, void* buffer, std::uint32_t count) = 0;

    // The high-resolution counter and its ticks per second; false on failure.
    virtual bool PerformanceFrequency(std::int64_t& frequency) = 0;
    virtual bool PerformanceCounter(std::int64_t& counter) = 0;
    // Milliseconds since the system started, wrapping at 2^32.
    virtual std::uint32_t TickCount() = 0;

    // UTC to local time in the current time zone.
    virtual bool UtcToLocalTime(const SystemTime& utc, SystemTime& local) = 0;
    virtual bool SystemTimeToFile(const SystemTime& time, FileTime& file) = 0;
    virtual bool FileTimeToLocal(FileTime utc, FileTime& local) = 0;
    virtual bool FileTimeToSystem(FileTime file, SystemTime& time) = 0;

    // The state of a virtual key: negative while it is held down.
    virtual std::int16_t KeyState(int virtualKey) = 0;
};

// The adapter of the build's operating system.
std::unique_ptr<ITextSystem> CreateTextSystem();

}  // namespace rl

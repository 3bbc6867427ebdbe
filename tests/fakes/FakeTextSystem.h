// A fake of the text-and-system port: messages, environment, clocks, time
// zone and keys are plain state; calls that tests count are logged.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/TextSystem.h"

namespace rl::fake {

class TextSystem : public ITextSystem {
public:
    // Messages by code, as the formatter returns them (line breaks and all).
    std::map<std::uint32_t, std::string> systemMessages;
    std::map<std::uint32_t, std::string> moduleMessages;  // of "wininet.dll"
    struct MessageCall {
        std::string module;  // empty for the system's messages
        std::uint32_t flags = 0;
        std::uint32_t code = 0;
        std::uint32_t language = 0;
        std::uint32_t bufferSize = 0;
    };
    std::vector<MessageCall> messageCalls;

    bool netErrorAvailable = false;
    std::uint32_t netProviderError = 0;
    std::string netDescription;
    std::string netProvider;
    std::vector<std::uint32_t> netBufferSizes;

    std::uint32_t lastError = 0;

    // Environment expansion: %NAME% from this map, unknown names kept.
    std::map<std::string, std::string> environment;
    bool expandFails = false;
    std::uint32_t expandOverstates = 0;  // added to the reported size
    std::vector<std::uint32_t> expandBufferSizes;

    struct CompareCall {
        std::uint32_t locale = 0;
        std::uint32_t flags = 0;
        std::string a, b;
    };
    std::vector<CompareCall> compareCalls;

    bool randomAvailable = true;
    std::uint8_t randomFill = 0xA5;  // the system's "random" bytes
    int randomLookups = 0;
    std::vector<std::uint32_t> randomCalls;  // counts asked of the system

    bool frequencyFails = false;
    bool counterFails = false;
    std::int64_t frequency = 1000000;
    std::int64_t counter = 0;
    int frequencyQueries = 0;
    std::uint32_t tick = 0;

    // The zone: local time is UTC plus this many minutes.
    int utcOffsetMinutes = 0;
    bool tzConversionFails = false;
    bool toFileFails = false;
    bool toLocalFileFails = false;
    bool toSystemFails = false;
    int fallbackCalls = 0;

    std::int16_t shiftState = 0;
    std::vector<int> keyQueries;

    std::string SystemMessage(std::uint32_t flags, std::uint32_t code, std::uint32_t language,
                              std::uint32_t bufferSize) override;
    std::string ModuleMessage(const std::string& moduleName, std::uint32_t flags, std::uint32_t code,
                              std::uint32_t language, std::uint32_t bufferSize) override;
    bool NetworkLastError(std::uint32_t& providerError, std::string& description, std::uint32_t descriptionSize,
                          std::string& provider, std::uint32_t providerSize) override;
    std::uint32_t ThreadLastError() override { return lastError; }
    std::uint32_t ExpandEnvironment(const std::string& text, char* buffer, std::uint32_t bufferSize) override;
    int CompareText(std::uint32_t locale, std::uint32_t flags, const std::string& a, const std::string& b) override;
    std::uintptr_t LookUpRandomBytes() override;
    bool CallRandomBytes(std::uintptr_t function, void* buffer, std::uint32_t count) override;
    bool PerformanceFrequency(std::int64_t& value) override;
    bool PerformanceCounter(std::int64_t& value) override;
    std::uint32_t TickCount() override { return tick; }
    bool UtcToLocalTime(const SystemTime& utc, SystemTime& local) override;
    bool SystemTimeToFile(const SystemTime& time, FileTime& file) override;
    bool FileTimeToLocal(FileTime utc, FileTime& local) override;
    bool FileTimeToSystem(FileTime file, SystemTime& time) override;
    std::int16_t KeyState(int virtualKey) override;

    static constexpr std::uintptr_t kRandomFunction = 0x7FF00036;
};

}  // namespace rl::fake

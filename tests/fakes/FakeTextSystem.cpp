#include "tests/fakes/FakeTextSystem.h"

#include <cmath>
#include <cstring>

#include "support/VorlLibText.h"

namespace rl::fake {

namespace {

// Days from 1 January 1601 to 30 December 1899.
constexpr double kFileTimeEpochDays = 109205.0;
constexpr double kFileTicksPerDay = 864000000000.0;

std::string Fit(const std::string& text, std::uint32_t bufferSize) {
    return bufferSize == 0 ? std::string() : text.substr(0, bufferSize - 1);
}

}  // namespace

std::string TextSystem::SystemMessage(std::uint32_t flags, std::uint32_t code, std::uint32_t language,
                                      std::uint32_t bufferSize) {
    messageCalls.push_back({"", flags, code, language, bufferSize});
    const auto it = systemMessages.find(code);
    return it == systemMessages.end() ? std::string() : Fit(it->second, bufferSize);
}

std::string TextSystem::ModuleMessage(const std::string& moduleName, std::uint32_t flags, std::uint32_t code,
                                      std::uint32_t language, std::uint32_t bufferSize) {
    messageCalls.push_back({moduleName, flags, code, language, bufferSize});
    const auto it = moduleMessages.find(code);
    return it == moduleMessages.end() || moduleName != "wininet.dll" ? std::string() : Fit(it->second, bufferSize);
}

bool TextSystem::NetworkLastError(std::uint32_t& providerError, std::string& description,
                                  std::uint32_t descriptionSize, std::string& provider, std::uint32_t providerSize) {
    netBufferSizes.push_back(descriptionSize);
    netBufferSizes.push_back(providerSize);
    if (!netErrorAvailable) return false;
    providerError = netProviderError;
    description = Fit(netDescription, descriptionSize);
    provider = Fit(netProvider, providerSize);
    return true;
}

std::uint32_t TextSystem::ExpandEnvironment(const std::string& text, char* buffer, std::uint32_t bufferSize) {
    expandBufferSizes.push_back(bufferSize);
    if (expandFails) return 0;
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close == std::string::npos) {
            out += text[i++];
            continue;
        }
        const auto it = environment.find(text.substr(i + 1, close - i - 1));
        out += it == environment.end() ? text.substr(i, close - i + 1) : it->second;
        i = close + 1;
    }
    const auto needed = static_cast<std::uint32_t>(out.size() + 1) + expandOverstates;
    if (buffer != nullptr && bufferSize >= out.size() + 1) std::memcpy(buffer, out.c_str(), out.size() + 1);
    return needed;
}

int TextSystem::CompareText(std::uint32_t locale, std::uint32_t flags, const std::string& a, const std::string& b) {
    compareCalls.push_back({locale, flags, a, b});
    auto fold = [flags](std::string s) {
        if ((flags & kNormIgnoreCase) != 0)
            for (char& c : s)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    const int order = fold(a).compare(fold(b));
    return order < 0 ? kCompareLess : order == 0 ? kCompareEqual : kCompareGreater;
}

std::uintptr_t TextSystem::LookUpRandomBytes() {
    ++randomLookups;
    return randomAvailable ? kRandomFunction : 0;
}

bool TextSystem::CallRandomBytes(std::uintptr_t function, void* buffer, std::uint32_t count) {
    if (function != kRandomFunction) return false;
    randomCalls.push_back(count);
    std::memset(buffer, randomFill, count);
    return true;
}

bool TextSystem::PerformanceFrequency(std::int64_t& value) {
    ++frequencyQueries;
    if (frequencyFails) return false;
    value = frequency;
    return true;
}

bool TextSystem::PerformanceCounter(std::int64_t& value) {
    if (counterFails) return false;
    value = counter;
    return true;
}

bool TextSystem::UtcToLocalTime(const SystemTime& utc, SystemTime& local) {
    if (tzConversionFails) return false;
    const auto t = SystemTimeToDateTime(utc);
    return t && DateTimeToSystemTime(*t + utcOffsetMinutes / 1440.0, local);
}

bool TextSystem::SystemTimeToFile(const SystemTime& time, FileTime& file) {
    ++fallbackCalls;
    const auto t = SystemTimeToDateTime(time);
    if (toFileFails || !t) return false;
    file = static_cast<FileTime>(std::llround((*t + kFileTimeEpochDays) * kFileTicksPerDay));
    return true;
}

bool TextSystem::FileTimeToLocal(FileTime utc, FileTime& local) {
    if (toLocalFileFails) return false;
    local = utc + static_cast<FileTime>(static_cast<std::int64_t>(utcOffsetMinutes) * 600000000);
    return true;
}

bool TextSystem::FileTimeToSystem(FileTime file, SystemTime& time) {
    if (toSystemFails) return false;
    return DateTimeToSystemTime(static_cast<double>(file) / kFileTicksPerDay - kFileTimeEpochDays, time);
}

std::int16_t TextSystem::KeyState(int virtualKey) {
    keyQueries.push_back(virtualKey);
    return virtualKey == kVirtualKeyShift ? shiftState : 0;
}

}  // namespace rl::fake

// Text and system services on Windows: each call is the system function of
// the same purpose, in its ANSI form.
#include <windows.h>
#include <winnetwk.h>

#include <cstring>

#include "platform/TextSystem.h"

namespace rl {

namespace {

static_assert(sizeof(SYSTEMTIME) == 16, "eight 16-bit fields");
static_assert(sizeof(LARGE_INTEGER) == sizeof(std::int64_t));

SYSTEMTIME ToSystem(const SystemTime& t) {
    SYSTEMTIME s{};
    s.wYear = t.Year;
    s.wMonth = t.Month;
    s.wDayOfWeek = t.DayOfWeek;
    s.wDay = t.Day;
    s.wHour = t.Hour;
    s.wMinute = t.Minute;
    s.wSecond = t.Second;
    s.wMilliseconds = t.Milliseconds;
    return s;
}

SystemTime FromSystem(const SYSTEMTIME& s) {
    return SystemTime{s.wYear, s.wMonth, s.wDayOfWeek, s.wDay, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds};
}

FILETIME ToFile(FileTime t) {
    FILETIME f{};
    f.dwLowDateTime = static_cast<DWORD>(t);
    f.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return f;
}

FileTime FromFile(const FILETIME& f) { return (FileTime{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

// A text the system wrote into a buffer, up to its terminating zero.
std::string Terminated(const std::string& buffer) { return buffer.substr(0, std::strlen(buffer.c_str())); }

std::string FormatInto(DWORD flags, HMODULE module, DWORD code, DWORD language, std::uint32_t bufferSize) {
    std::string buffer(bufferSize, '\0');
    const DWORD length = FormatMessageA(flags, module, code, language, buffer.data(), bufferSize, nullptr);
    return buffer.substr(0, length);
}

using RandomBytesFn = BOOLEAN(WINAPI*)(PVOID, ULONG);

class Win32TextSystem : public ITextSystem {
public:
    std::string SystemMessage(std::uint32_t flags, std::uint32_t code, std::uint32_t language,
                              std::uint32_t bufferSize) override {
        return FormatInto(flags, nullptr, code, language, bufferSize);
    }

    std::string ModuleMessage(const std::string& moduleName, std::uint32_t flags, std::uint32_t code,
                              std::uint32_t language, std::uint32_t bufferSize) override {
        return FormatInto(flags, GetModuleHandleA(moduleName.c_str()), code, language, bufferSize);
    }

    bool NetworkLastError(std::uint32_t& providerError, std::string& description, std::uint32_t descriptionSize,
                          std::string& provider, std::uint32_t providerSize) override {
        DWORD error = 0;
        std::string descriptionBuffer(descriptionSize, '\0');
        std::string providerBuffer(providerSize, '\0');
        if (WNetGetLastErrorA(&error, descriptionBuffer.data(), descriptionSize, providerBuffer.data(),
                              providerSize) != NO_ERROR)
            return false;
        providerError = error;
        description = Terminated(descriptionBuffer);
        provider = Terminated(providerBuffer);
        return true;
    }

    std::uint32_t ThreadLastError() override { return GetLastError(); }

    std::uint32_t ExpandEnvironment(const std::string& text, char* buffer, std::uint32_t bufferSize) override {
        return ExpandEnvironmentStringsA(text.c_str(), buffer, bufferSize);
    }

    int CompareText(std::uint32_t locale, std::uint32_t flags, const std::string& a, const std::string& b) override {
        return CompareStringA(locale, flags, a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()));
    }

    std::uintptr_t LookUpRandomBytes() override {
        const HMODULE advapi = LoadLibraryA("ADVAPI32.dll");
        if (advapi == nullptr) return 0;
        return reinterpret_cast<std::uintptr_t>(GetProcAddress(advapi, "SystemFunction036"));
    }

    bool CallRandomBytes(std::uintptr_t function, void* buffer, std::uint32_t count) override {
        // Through a generic function type: FARPROC's own signature is unrelated.
        const auto fn = reinterpret_cast<RandomBytesFn>(reinterpret_cast<void (*)()>(function));
        return fn(buffer, count) != FALSE;
    }

    bool PerformanceFrequency(std::int64_t& frequency) override {
        LARGE_INTEGER value{};
        if (!QueryPerformanceFrequency(&value)) return false;
        frequency = value.QuadPart;
        return true;
    }

    bool PerformanceCounter(std::int64_t& counter) override {
        LARGE_INTEGER value{};
        if (!QueryPerformanceCounter(&value)) return false;
        counter = value.QuadPart;
        return true;
    }

    std::uint32_t TickCount() override { return GetTickCount(); }

    bool UtcToLocalTime(const SystemTime& utc, SystemTime& local) override {
        const SYSTEMTIME in = ToSystem(utc);
        SYSTEMTIME out{};
        if (!SystemTimeToTzSpecificLocalTime(nullptr, &in, &out)) return false;
        local = FromSystem(out);
        return true;
    }

    bool SystemTimeToFile(const SystemTime& time, FileTime& file) override {
        const SYSTEMTIME in = ToSystem(time);
        FILETIME out{};
        if (!SystemTimeToFileTime(&in, &out)) return false;
        file = FromFile(out);
        return true;
    }

    bool FileTimeToLocal(FileTime utc, FileTime& local) override {
        const FILETIME in = ToFile(utc);
        FILETIME out{};
        if (!FileTimeToLocalFileTime(&in, &out)) return false;
        local = FromFile(out);
        return true;
    }

    bool FileTimeToSystem(FileTime file, SystemTime& time) override {
        const FILETIME in = ToFile(file);
        SYSTEMTIME out{};
        if (!FileTimeToSystemTime(&in, &out)) return false;
        time = FromSystem(out);
        return true;
    }

    std::int16_t KeyState(int virtualKey) override { return GetKeyState(virtualKey); }
};

}  // namespace

std::unique_ptr<ITextSystem> CreateTextSystem() { return std::make_unique<Win32TextSystem>(); }

}  // namespace rl

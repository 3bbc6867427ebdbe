#include "support/VorlLibText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "support/ProcessRandom.h"

namespace rl {

namespace {

ITextSystem* gPort = nullptr;

// Cached on first use; both are the same for every caller.
std::int64_t gFrequency = 0;
std::uintptr_t gRandomBytes = 0;

constexpr std::uint32_t kSystemMessageFlags = kMessageFromSystem | kMessageIgnoreInserts | kMessageArgumentArray;
constexpr std::uint32_t kModuleMessageFlags = kMessageFromModule | kMessageIgnoreInserts | kMessageArgumentArray;
constexpr std::uint32_t kMessageBufferSize = 256;
constexpr std::uint32_t kNetTextSize = 255;
constexpr std::uint32_t kWinInetFirst = 12001;
constexpr std::uint32_t kWinInetLast = 12156;
constexpr std::uint32_t kSystemMessageLimit = 32000;
constexpr std::uint32_t kExtendedError = 1208;

constexpr std::int64_t kMsPerDay = 86400000;
// Days from 30 December 1899 to 1 January 1970.
constexpr std::int64_t kUnixEpochDay = 25569;

std::uint8_t Byte(char c) { return static_cast<std::uint8_t>(c); }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Messages end in a period and a line break; neither belongs in a text that
// goes on with a code.
std::string CutMessageEnd(std::string text) {
    while (!text.empty() && (Byte(text.back()) < Byte('!') || text.back() == '.')) text.pop_back();
    return text;
}

std::string Hex8(std::uint32_t value) {
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned>(value));
    return buffer;
}

// Proleptic Gregorian calendar, days counted from 1 January 1970.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

unsigned DaysInMonth(std::int64_t y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

// Scans for the n-th delimiter outside quotes; its 0-based index, or npos.
std::size_t NthDelimiter(const std::string& text, char delimiter, int n, std::optional<char> quote) {
    int count = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quote && text[i] == *quote) {
            quoted = !quoted;
        } else if (text[i] == delimiter && !quoted) {
            if (++count == n) return i;
        }
    }
    return std::string::npos;
}

// Blanks and control characters off both ends, then one delimiter appended.
std::string FieldText(const std::string& text, char delimiter) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && Byte(text[first]) <= 32) ++first;
    while (last > first && Byte(text[last - 1]) <= 32) --last;
    return text.substr(first, last - first) + delimiter;
}

}  // namespace

void SetTextSystemPort(ITextSystem* port) {
    gPort = port;
    gFrequency = 0;
    gRandomBytes = 0;
}

ITextSystem* TextSystemPort() { return gPort; }

// Error texts -----------------------------------------------------------

std::string SysErrorText(std::int32_t code) {
    // The magnitude as unsigned, so that -2147483648 has one too.
    const std::uint32_t c = code < 0 ? 0u - static_cast<std::uint32_t>(code) : static_cast<std::uint32_t>(code);
    std::string text;
    if (c >= kWinInetFirst && c <= kWinInetLast) {
        if (gPort != nullptr)
            text = CutMessageEnd(gPort->ModuleMessage("wininet.dll", kModuleMessageFlags, c, 0, kMessageBufferSize));
        if (text.empty()) text = "WinInet Error " + std::to_string(c);
    } else if (c < kSystemMessageLimit) {
        if (gPort != nullptr)
            text = CutMessageEnd(gPort->SystemMessage(kSystemMessageFlags, c, 0, kMessageBufferSize));
        text = FilterChars(text, PrintableChars, false, " ", true);
    }
    if (c == kExtendedError && gPort != nullptr) {
        std::uint32_t providerError = 0;
        std::string description;
        std::string provider;
        if (gPort->NetworkLastError(providerError, description, kNetTextSize, provider, kNetTextSize))
            text = "Extended Error " + std::to_string(providerError) + ": " + description + " [" + provider + "]";
    }
    if (text.empty()) text = ErrorCodeName(c);
    return text + " (0x" + Hex8(c) + ")";
}

std::string LastErrorText() {
    const std::uint32_t code = gPort != nullptr ? gPort->ThreadLastError() : 0;
    return SysErrorText(static_cast<std::int32_t>(code));
}

std::string ErrorCodeName(std::int64_t code) {
    const std::string key = std::to_string(code) + "=";
    for (const char* entry : ErrorNameTable()) {
        const std::string_view e(entry);
        if (e.starts_with(key)) return std::string(e.substr(key.size()));
    }
    return "Unknown Error " + std::to_string(code);
}

// Secrets and random bytes ----------------------------------------------

void WipeSecret(std::string& secret, int passes) {
    for (int pass = 0; pass < passes && !secret.empty(); ++pass)
        FillRandom(secret.data(), static_cast<std::uint32_t>(secret.size()));
    secret.clear();
}

void FillRandom(void* buffer, std::uint32_t count) {
    if (gRandomBytes == 0 && gPort != nullptr) gRandomBytes = gPort->LookUpRandomBytes();
    if (gRandomBytes != 0) {
        gPort->CallRandomBytes(gRandomBytes, buffer, count);
        return;
    }
    RandomizeProcess();
    // Volatile, so that bytes about to be discarded are still written.
    volatile std::uint8_t* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = 0; i < count; ++i) bytes[i] = ProcessRandomByte();
}

// Clocks and time zones -------------------------------------------------

double Milliseconds() {
    if (gPort == nullptr) return 0;
    if (gFrequency == 0) {
        std::int64_t frequency = 0;
        if (gPort->PerformanceFrequency(frequency)) gFrequency = frequency;
    }
    std::int64_t counter = 0;
    if (gFrequency > 0 && gPort->PerformanceCounter(counter))
        return static_cast<double>(counter) / static_cast<double>(gFrequency) * 1000.0;
    return static_cast<double>(gPort->TickCount());
}

bool DateTimeToSystemTime(double dateTime, SystemTime& time) {
    if (!std::isfinite(dateTime) || std::fabs(dateTime) > 3.0e6) return false;
    // The date is the whole part; the fraction, for dates before 1900 too,
    // counts forward from that date's midnight.
    const double whole = std::trunc(dateTime);
    auto days = static_cast<std::int64_t>(whole);
    auto ms = static_cast<std::int64_t>(std::llround(std::fabs(dateTime - whole) * static_cast<double>(kMsPerDay)));
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        ++days;
    }
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days - kUnixEpochDay, year, month, day);
    if (year < 1 || year > 9999) return false;
    time.Year = static_cast<std::uint16_t>(year);
    time.Month = static_cast<std::uint16_t>(month);
    time.Day = static_cast<std::uint16_t>(day);
    // 30 December 1899 was a Saturday.
    time.DayOfWeek = static_cast<std::uint16_t>(((days % 7) + 7 + 6) % 7);
    time.Hour = static_cast<std::uint16_t>(ms / 3600000);
    time.Minute = static_cast<std::uint16_t>(ms / 60000 % 60);
    time.Second = static_cast<std::uint16_t>(ms / 1000 % 60);
    time.Milliseconds = static_cast<std::uint16_t>(ms % 1000);
    return true;
}

std::optional<double> SystemTimeToDateTime(const SystemTime& t) {
    if (t.Year < 1 || t.Year > 9999 || t.Month < 1 || t.Month > 12 || t.Day < 1 ||
        t.Day > DaysInMonth(t.Year, t.Month) || t.Hour > 23 || t.Minute > 59 || t.Second > 59 ||
        t.Milliseconds > 999)
        return std::nullopt;
    const std::int64_t days = DaysFromCivil(t.Year, t.Month, t.Day) + kUnixEpochDay;
    const std::int64_t ms = ((std::int64_t{t.Hour} * 60 + t.Minute) * 60 + t.Second) * 1000 + t.Milliseconds;
    const double fraction = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
    const auto whole = static_cast<double>(days);
    return days >= 0 ? whole + fraction : whole - fraction;
}

double UtcToLocalDateTime(double utc) {
    SystemTime st;
    if (gPort == nullptr || !DateTimeToSystemTime(utc, st)) return utc;
    SystemTime local;
    if (gPort->UtcToLocalTime(st, local)) {
        if (const auto result = SystemTimeToDateTime(local)) return *result;
    }
    FileTime file = 0;
    FileTime localFile = 0;
    if (!gPort->SystemTimeToFile(st, file) || !gPort->FileTimeToLocal(file, localFile) ||
        !gPort->FileTimeToSystem(localFile, local))
        return utc;
    return SystemTimeToDateTime(local).value_or(utc);
}

// Expansion -------------------------------------------------------------

std::string ExpandEnvVars(const std::string& text) {
    if (gPort == nullptr) return {};
    const std::uint32_t size = gPort->ExpandEnvironment(text, nullptr, 0);
    if (size == 0) return {};
    std::string result(size, '\0');
    gPort->ExpandEnvironment(text, result.data(), size);
    while (!result.empty() && result.back() == '\0') result.pop_back();
    return result;
}

std::string ExpandVariables(const std::string& text, char delimiter, int tag, const VariableResolver& resolver) {
    std::string result;
    bool inMacro = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == delimiter) {
            if (!inMacro) {
                inMacro = true;
                start = i;
            } else {
                if (resolver) result += resolver(text, text.substr(start + 1, i - start - 1), tag);
                inMacro = false;
            }
        } else if (inMacro) {
            if (!VarNameChars.Contains(c)) {
                result.append(text, start, i - start + 1);
                inMacro = false;
            }
        } else {
            result += c;
        }
    }
    if (inMacro) result.append(text, start, std::string::npos);
    return result;
}

// Characters ------------------------------------------------------------

std::string FilterChars(const std::string& text, const CharSet& allowed, bool upperCase,
                        const std::string& replacement, bool collapse) {
    std::string result;
    result.reserve(text.size());
    bool inRun = false;
    for (char c : text) {
        if (upperCase && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (allowed.Contains(c)) {
            result += c;
            inRun = false;
        } else if (!inRun) {
            result += replacement;
            inRun = collapse;
        }
    }
    return result;
}

bool HasPrefix(const std::string& text, const std::string& prefix, bool caseSensitive, std::string* rest) {
    bool match = prefix.empty();
    if (!match) {
        const std::string head = text.substr(0, prefix.size());
        if (caseSensitive)
            match = head == prefix;
        else
            match = gPort != nullptr &&
                    gPort->CompareText(kLocaleUserDefault, kNormIgnoreCase, head, prefix) == kCompareEqual;
    }
    if (match && rest != nullptr) *rest = text.substr(std::min(prefix.size(), text.size()));
    return match;
}

std::string TrimChars(const std::string& text, const std::string& chars, int minLength, int mode) {
    const std::size_t minimum = minLength > 0 ? static_cast<std::size_t>(minLength) : 0;
    const auto listed = [&chars](char c) { return chars.find(c) != std::string::npos; };
    std::size_t first = 0;
    std::size_t last = text.size();
    if (mode == kTrimTrailing || mode == kTrimBoth) {
        while (last > minimum && listed(text[last - 1])) --last;
    }
    if (mode == kTrimLeading || mode == kTrimBoth) {
        const std::size_t most = last > minimum ? last - minimum : 0;
        while (first < most && listed(text[first])) ++first;
    }
    return text.substr(first, last - first);
}

std::string CopyFrom(const std::string& text, int position) {
    const std::size_t from = position < 1 ? 0 : static_cast<std::size_t>(position) - 1;
    return from < text.size() ? text.substr(from) : std::string();
}

std::string DropRightChars(const std::string& text, int n) {
    if (n <= 0) return text;
    const auto drop = static_cast<std::size_t>(n);
    return drop < text.size() ? text.substr(0, text.size() - drop) : std::string();
}

int FindFrom(const std::string& pattern, const std::string& text, int start, bool caseSensitive) {
    if (pattern.empty() || text.empty()) return 0;
    const std::size_t from = start < 1 ? 0 : static_cast<std::size_t>(start) - 1;
    if (from >= text.size() || text.size() - from < pattern.size()) return 0;
    const auto begin = text.begin() + static_cast<std::ptrdiff_t>(from);
    const auto found =
        caseSensitive ? std::search(begin, text.end(), pattern.begin(), pattern.end())
                      : std::search(begin, text.end(), pattern.begin(), pattern.end(),
                                    [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
    return found == text.end() ? 0 : static_cast<int>(found - text.begin()) + 1;
}

std::string ReplaceAll(const std::string& pattern, const std::string& replacement, const std::string& text,
                       bool ignoreCase) {
    if (pattern.empty()) return text;
    std::string result;
    int from = 1;
    for (;;) {
        const int at = FindFrom(pattern, text, from, !ignoreCase);
        if (at == 0) break;
        result.append(text, static_cast<std::size_t>(from) - 1, static_cast<std::size_t>(at - from));
        result += replacement;
        from = at + static_cast<int>(pattern.size());
    }
    if (static_cast<std::size_t>(from) <= text.size()) result.append(text, static_cast<std::size_t>(from) - 1);
    return result;
}

std::string Dequote(const std::string& text, char quote) {
    std::string inner = text;
    if (!inner.empty() && inner.front() == quote && inner.back() == quote)
        inner = inner.size() == 1 ? std::string() : inner.substr(1, inner.size() - 2);
    std::string result;
    result.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        result += inner[i];
        if (inner[i] == quote && i + 1 < inner.size() && inner[i + 1] == quote) ++i;
    }
    return result;
}

std::string GetField(const std::string& text, char delimiter, int n, std::optional<char> quote) {
    if (n < 1) return {};
    std::size_t begin = 0;
    if (n > 1) {
        const std::size_t previous = NthDelimiter(text, delimiter, n - 1, quote);
        if (previous == std::string::npos) return {};
        begin = previous + 1;
    }
    // The end of the text ends the last field.
    const std::size_t end = NthDelimiter(text + delimiter, delimiter, n, quote);
    std::string field = end == std::string::npos ? text.substr(begin) : text.substr(begin, end - begin);
    if (quote && !field.empty() && field.front() == *quote && field.back() == *quote) field = Dequote(field, *quote);
    return field;
}

std::string GetFieldsBefore(const std::string& text, char delimiter, int n, std::optional<char> quote) {
    if (n < 1) return {};
    const std::string s = FieldText(text, delimiter);
    const std::size_t at = NthDelimiter(s, delimiter, n, quote);
    return at == std::string::npos ? DropRightChars(s, 1) : s.substr(0, at);
}

std::string GetFieldsAfter(const std::string& text, char delimiter, int n, std::optional<char> quote) {
    const std::string s = FieldText(text, delimiter);
    if (n < 1) return DropRightChars(s, 1);
    const std::size_t at = NthDelimiter(s, delimiter, n, quote);
    return at == std::string::npos ? std::string() : DropRightChars(s.substr(at + 1), 1);
}

// Input -----------------------------------------------------------------

bool IsShiftDown() { return gPort != nullptr && gPort->KeyState(kVirtualKeyShift) < 0; }

}  // namespace rl

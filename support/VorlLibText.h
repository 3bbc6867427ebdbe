// Text and time utilities: error texts, secret wiping, clocks, time-zone
// conversion, environment and macro expansion, and small string routines.
// Strings hold bytes; positions are 1-based and lengths count bytes.
// Date-times are days since 30 December 1899, the fraction being the time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/TextSystem.h"

namespace rl {

// A set of byte values.
class CharSet {
public:
    constexpr CharSet() = default;

    static constexpr CharSet Range(std::uint8_t first, std::uint8_t last) {
        CharSet s;
        for (unsigned c = first; c <= last; ++c) s.Add(static_cast<std::uint8_t>(c));
        return s;
    }
    static constexpr CharSet Of(std::string_view chars) {
        CharSet s;
        for (char c : chars) s.Add(static_cast<std::uint8_t>(c));
        return s;
    }

    constexpr CharSet& Add(std::uint8_t c) {
        words_[c >> 6] |= std::uint64_t{1} << (c & 63);
        return *this;
    }
    constexpr CharSet& Remove(std::uint8_t c) {
        words_[c >> 6] &= ~(std::uint64_t{1} << (c & 63));
        return *this;
    }
    constexpr bool Contains(std::uint8_t c) const { return ((words_[c >> 6] >> (c & 63)) & 1) != 0; }
    constexpr bool Contains(char c) const { return Contains(static_cast<std::uint8_t>(c)); }

    constexpr CharSet operator|(const CharSet& other) const {
        CharSet s;
        for (std::size_t i = 0; i < words_.size(); ++i) s.words_[i] = words_[i] | other.words_[i];
        return s;
    }
    constexpr CharSet Without(std::string_view chars) const {
        CharSet s = *this;
        for (char c : chars) s.Remove(static_cast<std::uint8_t>(c));
        return s;
    }
    friend constexpr bool operator==(const CharSet&, const CharSet&) = default;

private:
    std::array<std::uint64_t, 4> words_{};
};

inline constexpr CharSet PrintableChars = CharSet::Range(32, 255);
inline constexpr CharSet FileNameChars = CharSet::Range(32, 255).Without("\"*/:<>?\\|");
inline constexpr CharSet VarNameChars =
    CharSet::Range('0', '9') | CharSet::Range('A', 'Z') | CharSet::Range('a', 'z') | CharSet::Of("_");

// The routines reach the system through this port. Without one they act as
// if every system call failed: no message texts, no expansion, no counter,
// the pseudo-random fallback for random bytes, Shift never down. Setting a
// port forgets the cached counter frequency and random-bytes function.
void SetTextSystemPort(ITextSystem* port);
ITextSystem* TextSystemPort();

// Error texts -----------------------------------------------------------

// A readable one-line text for a Windows or WinInet error code, never empty:
// the system's message (or the symbolic name), then " (0x" + 8 hex digits
// + ")". A negative code counts as its absolute value; -2147483648 as
// 2147483648 (0x80000000).
std::string SysErrorText(std::int32_t code);
// SysErrorText of the calling thread's last error.
std::string LastErrorText();
// The symbolic name of a code, or "Unknown Error " + the code in decimal.
std::string ErrorCodeName(std::int64_t code);
// The name table, one "code=NAME" entry each; the first entry of a code wins.
std::span<const char* const> ErrorNameTable();

// Secrets and random bytes ----------------------------------------------

// Overwrites the string's bytes in place with random bytes, once per pass,
// then empties it.
void WipeSecret(std::string& secret, int passes);
// Fills a buffer with random bytes from the system, or from the process's
// pseudo-random generator when the system's function cannot be found.
void FillRandom(void* buffer, std::uint32_t count);

// Clocks and time zones -------------------------------------------------

// Milliseconds from an arbitrary origin: the performance counter, or the
// tick count when there is none.
double Milliseconds();
// A UTC date-time as local time in the current time zone; the input itself
// when no conversion works.
double UtcToLocalDateTime(double utc);

// A date-time as a system-time record (milliseconds rounded); false when it
// is not a date of the years 1..9999.
bool DateTimeToSystemTime(double dateTime, SystemTime& time);
// A system-time record as a date-time; nullopt when a field is out of range.
std::optional<double> SystemTimeToDateTime(const SystemTime& time);

// Expansion -------------------------------------------------------------

// The text with environment variables ("%NAME%") expanded; unknown ones stay
// as written. Empty when the system call fails.
std::string ExpandEnvVars(const std::string& text);

// Gives the value of a macro: the whole text being expanded, the macro's
// name and the caller's tag.
using VariableResolver = std::function<std::string(const std::string& text, const std::string& name, int tag)>;
// Replaces each macro name between two delimiters with the resolver's value.
// A macro that meets a character outside VarNameChars, or the end of the
// text, stays as written. Without a resolver a macro's value is empty.
std::string ExpandVariables(const std::string& text, char delimiter, int tag, const VariableResolver& resolver);

// Characters ------------------------------------------------------------

// Keeps the characters of the allowed set; each other character becomes the
// replacement, or with collapse on each run of them becomes one replacement.
// With upperCase the letters a..z are upper-cased first.
std::string FilterChars(const std::string& text, const CharSet& allowed, bool upperCase,
                        const std::string& replacement, bool collapse);

// True when the text starts with the prefix: byte for byte, or compared by
// the system for the user's locale ignoring case. On a match the rest, when
// asked for, becomes the text after the prefix. An empty prefix matches.
bool HasPrefix(const std::string& text, const std::string& prefix, bool caseSensitive,
               std::string* rest = nullptr);

// Trimming modes.
constexpr int kTrimLeading = 0;
constexpr int kTrimTrailing = 1;
constexpr int kTrimBoth = 2;
// Drops characters of the list from the end (modes 1, 2), then from the
// start (modes 0, 2), never going below minLength. Other modes trim nothing.
std::string TrimChars(const std::string& text, const std::string& chars, int minLength, int mode);

// The characters from a position to the end (a position below 1 counts as 1).
std::string CopyFrom(const std::string& text, int position);
// The text without its last n characters; empty when n is not less than the
// length, the whole text when n is 0 or less.
std::string DropRightChars(const std::string& text, int n);

// 1-based position of the first match at or after start (below 1 counts as
// 1); 0 if text or pattern is empty or there is none. Without caseSensitive
// only the letters A..Z and a..z compare equal to each other.
int FindFrom(const std::string& pattern, const std::string& text, int start, bool caseSensitive);
// Every match, scanned from the left and never overlapping, replaced; the
// replaced text is not scanned again. An empty pattern changes nothing.
std::string ReplaceAll(const std::string& pattern, const std::string& replacement, const std::string& text,
                       bool ignoreCase);

// Strips the enclosing quotes (a lone quote gives ""), then makes every
// doubled quote a single one.
std::string Dequote(const std::string& text, char quote);

// Fields separated by one delimiter character; with a quote character,
// quoted stretches hide delimiters. n counts from 1.
// The n-th field (the end of the text ending the last one), unquoted when
// it is enclosed in the quote character; empty when there is none.
std::string GetField(const std::string& text, char delimiter, int n, std::optional<char> quote = std::nullopt);
// The text, blanks and control characters trimmed from both ends, before its
// n-th delimiter (the end counting as one more); the whole trimmed text when
// it has fewer, empty for n below 1.
std::string GetFieldsBefore(const std::string& text, char delimiter, int n,
                            std::optional<char> quote = std::nullopt);
// The trimmed text after its n-th delimiter; empty when it has fewer, the
// whole trimmed text for n below 1.
std::string GetFieldsAfter(const std::string& text, char delimiter, int n,
                           std::optional<char> quote = std::nullopt);

// Input -----------------------------------------------------------------

// True while a Shift key is held down.
bool IsShiftDown();

}  // namespace rl

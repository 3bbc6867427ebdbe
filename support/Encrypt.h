// TKzEncryptString keeps a plain text and its scrambled form in step: a
// keyed, position-dependent substitution over the byte values LoChar..HiChar
// that copies every other byte and keeps the length. It keeps texts out of
// plain sight; it is no cryptographic protection.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace rl {

class TKzEncryptString {
public:
    // The stored properties of a component placed on a window, in the order
    // in which loading applies them.
    struct StoredProperties {
        std::int32_t EncryptionKey = 0;
        std::string ASCIIString;
        std::string EncryptedString;
        std::uint8_t LoChar = 32;
        std::uint8_t HiChar = 126;
        std::uint32_t Shift = 0;
        bool Locked = false;
    };

    // Key 0, shift 0, the identity alphabet over 32..126.
    TKzEncryptString();

    // The key as its absolute value. -2147483648 has no 32-bit absolute
    // value: the schedule then works with its exact magnitude 2^31 as an
    // unsigned number, and the key reads back as -2147483648 (a wrapped
    // running sum of -2147483648 likewise counts as 2^31).
    std::int32_t EncryptionKey() const { return encryptionKey_; }
    void SetEncryptionKey(std::int32_t key);

    // While locked, key, range and shift keep their values (except while
    // loading).
    bool Locked() const { return locked_; }
    void SetLocked(bool locked) { locked_ = locked; }

    const std::string& ASCIIString() const { return asciiString_; }
    void SetASCIIString(const std::string& text);
    const std::string& EncryptedString() const { return encryptedString_; }
    void SetEncryptedString(const std::string& text);

    std::uint8_t LoChar() const { return loChar_; }
    void SetLoChar(std::uint8_t value);
    std::uint8_t HiChar() const { return hiChar_; }
    void SetHiChar(std::uint8_t value);
    std::uint32_t Shift() const { return shift_; }
    void SetShift(std::uint32_t value);

    // The loading phase: between BeginLoading and EndLoading the setters of
    // key, range and shift work even when the component is locked. Load
    // applies a window's stored properties in their order within one phase.
    void BeginLoading() { loading_ = true; }
    void EndLoading() { loading_ = false; }
    bool Loading() const { return loading_; }
    void Load(const StoredProperties& stored);

    // Scramble or unscramble count bytes; source and destination may be the
    // same buffer. A count of 0 or less writes nothing. False only when the
    // work cannot be done.
    bool EncryptBuffer(const void* source, void* destination, std::int32_t count);
    bool DecryptBuffer(const void* source, void* destination, std::int32_t count);

    // The scrambled text; a private copy of the plain text is wiped after use.
    std::string EncryptString(const std::string& plain);
    std::string DecryptString(const std::string& scrambled);

    // The keyed permutation of the range, and every byte's 1-based position
    // in it (0 outside the range).
    const std::string& Alphabet() const { return alphabet_; }
    std::uint16_t AlphabetPos(std::uint8_t c) const { return alphabetPos_[c]; }

private:
    void KeySchedule(std::int32_t key);
    bool Settable() const { return !locked_ || loading_; }
    bool EnsureAlphabet();

    std::int32_t encryptionKey_ = 0;
    bool locked_ = false;
    std::string asciiString_;
    std::string encryptedString_;
    bool converting_ = false;
    std::string alphabet_;
    std::array<std::uint16_t, 256> alphabetPos_{};
    std::uint8_t loChar_ = 32;
    std::uint8_t hiChar_ = 126;
    std::uint32_t shift_ = 0;
    // What the alphabet was built for; -1 when none. Wide enough for the
    // key's magnitude 2^31.
    std::int32_t builtLoChar_ = -1;
    std::int32_t builtHiChar_ = -1;
    std::int64_t builtKey_ = -1;
    bool loading_ = false;
};

// Reseeds the process's pseudo-random generator from the clock, overwrites
// every byte of the string three times with pseudo-random values, and
// empties it.
void WipeString(std::string& text);

}  // namespace rl

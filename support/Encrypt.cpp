#include "support/Encrypt.h"

#include <cstdint>

#include "support/ProcessRandom.h"

namespace rl {

namespace {

constexpr std::uint32_t kOffsetModulus = 32768;

// The exact absolute value: 2^31 for -2147483648, where the signed form
// has none.
std::uint32_t Magnitude(std::int32_t value) {
    return value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
}

// The running offset: starts at Shift and steps by Shift after every byte,
// modulo 32768.
class RunningOffset {
public:
    explicit RunningOffset(std::uint32_t shift) : step_(shift % kOffsetModulus), value_(step_) {}
    std::uint32_t Value() const { return value_; }
    void Advance() { value_ = (value_ + step_) % kOffsetModulus; }

private:
    std::uint32_t step_;
    std::uint32_t value_;
};

}  // namespace

TKzEncryptString::TKzEncryptString() {
    SetLoChar(32);
    SetHiChar(126);
    SetShift(0);
    SetEncryptionKey(0);
}

void TKzEncryptString::SetEncryptionKey(std::int32_t key) { KeySchedule(key); }

void TKzEncryptString::KeySchedule(std::int32_t key) {
    if (!Settable()) return;
    const std::uint32_t k = Magnitude(key);
    if (static_cast<std::int64_t>(k) == builtKey_ && !alphabet_.empty() && loChar_ == builtLoChar_ &&
        hiChar_ == builtHiChar_)
        return;

    std::string pool;
    for (unsigned c = loChar_; c <= hiChar_; ++c) pool += static_cast<char>(c);
    const std::size_t n = pool.size();
    alphabet_.clear();
    alphabet_.reserve(n);
    alphabetPos_.fill(0);
    std::uint32_t p = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // The sum wraps as 32-bit two's complement before its magnitude is
        // taken; unsigned addition wraps the same bits.
        p = Magnitude(static_cast<std::int32_t>(p + k));
        const std::size_t j = p % pool.size();
        const auto x = static_cast<std::uint8_t>(pool[j]);
        alphabet_ += static_cast<char>(x);
        alphabetPos_[x] = static_cast<std::uint16_t>(alphabet_.size());
        pool.erase(j, 1);
    }

    encryptionKey_ = static_cast<std::int32_t>(k);
    builtKey_ = k;
    builtLoChar_ = loChar_;
    builtHiChar_ = hiChar_;
    if (k != 0) SetASCIIString(asciiString_);
}

void TKzEncryptString::SetLoChar(std::uint8_t value) {
    if (!Settable()) return;
    loChar_ = value;
    if (hiChar_ < value) hiChar_ = value;
    KeySchedule(encryptionKey_);
}

void TKzEncryptString::SetHiChar(std::uint8_t value) {
    if (!Settable()) return;
    hiChar_ = value;
    if (loChar_ > value) loChar_ = value;
    KeySchedule(encryptionKey_);
}

void TKzEncryptString::SetShift(std::uint32_t value) {
    if (!Settable()) return;
    shift_ = value;
    KeySchedule(encryptionKey_);
}

void TKzEncryptString::SetASCIIString(const std::string& text) {
    // A copy: the text may be this component's own string.
    const std::string value = text;
    if (!converting_) {
        converting_ = true;
        SetEncryptedString(EncryptString(value));
        converting_ = false;
    }
    asciiString_ = value;
}

void TKzEncryptString::SetEncryptedString(const std::string& text) {
    const std::string value = text;
    if (!converting_) {
        converting_ = true;
        SetASCIIString(DecryptString(value));
        converting_ = false;
    }
    encryptedString_ = value;
}

void TKzEncryptString::Load(const StoredProperties& stored) {
    BeginLoading();
    SetEncryptionKey(stored.EncryptionKey);
    SetASCIIString(stored.ASCIIString);
    SetEncryptedString(stored.EncryptedString);
    SetLoChar(stored.LoChar);
    SetHiChar(stored.HiChar);
    SetShift(stored.Shift);
    SetLocked(stored.Locked);
    EndLoading();
}

bool TKzEncryptString::EnsureAlphabet() {
    if (alphabet_.empty()) KeySchedule(0);
    // Locked outside loading, the schedule may have refused to run.
    return !alphabet_.empty();
}

bool TKzEncryptString::EncryptBuffer(const void* source, void* destination, std::int32_t count) {
    if (count <= 0) return true;
    if (source == nullptr || destination == nullptr || !EnsureAlphabet()) return false;
    const auto* in = static_cast<const std::uint8_t*>(source);
    auto* out = static_cast<std::uint8_t*>(destination);
    const std::uint32_t n = static_cast<std::uint32_t>(hiChar_) - loChar_ + 1;
    RunningOffset a(shift_);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t x = in[i];
        if (x >= loChar_ && x <= hiChar_)
            out[i] = static_cast<std::uint8_t>(alphabet_[(a.Value() % n + (x - loChar_)) % n]);
        else
            out[i] = x;
        a.Advance();
    }
    return true;
}

bool TKzEncryptString::DecryptBuffer(const void* source, void* destination, std::int32_t count) {
    if (count <= 0) return true;
    if (source == nullptr || destination == nullptr || !EnsureAlphabet()) return false;
    const auto* in = static_cast<const std::uint8_t*>(source);
    auto* out = static_cast<std::uint8_t*>(destination);
    const std::uint32_t n = static_cast<std::uint32_t>(hiChar_) - loChar_ + 1;
    RunningOffset a(shift_);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t x = in[i];
        if (x >= loChar_ && x <= hiChar_)
            out[i] = static_cast<std::uint8_t>(loChar_ + (alphabetPos_[x] - 1u - a.Value() % n + 2 * n) % n);
        else
            out[i] = x;
        a.Advance();
    }
    return true;
}

std::string TKzEncryptString::EncryptString(const std::string& plain) {
    std::string copy = plain;
    std::string result(copy.size(), '\0');
    EncryptBuffer(copy.data(), result.data(), static_cast<std::int32_t>(copy.size()));
    WipeString(copy);
    return result;
}

std::string TKzEncryptString::DecryptString(const std::string& scrambled) {
    std::string result(scrambled.size(), '\0');
    DecryptBuffer(scrambled.data(), result.data(), static_cast<std::int32_t>(scrambled.size()));
    return result;
}

void WipeString(std::string& text) {
    RandomizeProcess();
    // Volatile, so that writes to a string about to be emptied are kept.
    volatile char* bytes = text.data();
    for (int pass = 0; pass < 3; ++pass)
        for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = static_cast<char>(ProcessRandomByte());
    text.clear();
}

}  // namespace rl

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/Encrypt.h"

namespace rl {
namespace {

constexpr std::int32_t kMinKey = std::numeric_limits<std::int32_t>::min();

std::string Range(unsigned lo, unsigned hi) {
    std::string s;
    for (unsigned c = lo; c <= hi; ++c) s += static_cast<char>(c);
    return s;
}

void Configure(TKzEncryptString& e, std::int32_t key, std::uint8_t lo, std::uint8_t hi, std::uint32_t shift) {
    // Range first, the high end first, so that neither setter moves the other end.
    e.SetHiChar(255);
    e.SetLoChar(lo);
    e.SetHiChar(hi);
    e.SetShift(shift);
    e.SetEncryptionKey(key);
}

// Every byte value of the range exactly once, with AlphabetPos its inverse
// and 0 outside the range.
void ExpectPermutation(const TKzEncryptString& e) {
    std::string sorted = e.Alphabet();
    std::sort(sorted.begin(), sorted.end(),
              [](char a, char b) { return static_cast<std::uint8_t>(a) < static_cast<std::uint8_t>(b); });
    EXPECT_EQ(sorted, Range(e.LoChar(), e.HiChar()));
    for (unsigned c = 0; c < 256; ++c) {
        const auto x = static_cast<std::uint8_t>(c);
        if (x < e.LoChar() || x > e.HiChar()) {
            EXPECT_EQ(e.AlphabetPos(x), 0) << c;
        } else {
            ASSERT_GE(e.AlphabetPos(x), 1) << c;
            EXPECT_EQ(static_cast<std::uint8_t>(e.Alphabet()[e.AlphabetPos(x) - 1u]), x) << c;
        }
    }
}

TEST(EncryptString, ConstructionGivesKeyZeroShiftZeroAndTheIdentityAlphabet) {
    TKzEncryptString e;
    EXPECT_EQ(e.EncryptionKey(), 0);
    EXPECT_EQ(e.Shift(), 0u);
    EXPECT_EQ(e.LoChar(), 32);
    EXPECT_EQ(e.HiChar(), 126);
    EXPECT_FALSE(e.Locked());
    EXPECT_FALSE(e.Loading());
    EXPECT_EQ(e.Alphabet(), Range(32, 126));
    ExpectPermutation(e);
    EXPECT_EQ(e.ASCIIString(), "");
    EXPECT_EQ(e.EncryptedString(), "");
}

TEST(EncryptString, KeyZeroAndShiftZeroScrambleNothing) {
    TKzEncryptString e;
    const std::string text = "Hello, World! ~ \x7f\x80\xff\r\n";
    EXPECT_EQ(e.EncryptString(text), text);
    EXPECT_EQ(e.DecryptString(text), text);
    // Over the full range, too.
    Configure(e, 0, 0, 255, 0);
    EXPECT_EQ(e.Alphabet(), Range(0, 255));
    const std::string all = Range(0, 255);
    EXPECT_EQ(e.EncryptString(all), all);
}

// Worked by hand from the algorithm: range 'a'..'e' (N = 5), key 3.
//   Pool "abcde", P = 0.
//   P = 3,  j = 3 mod 5 = 3 -> 'd', pool "abce"
//   P = 6,  j = 6 mod 4 = 2 -> 'c', pool "abe"
//   P = 9,  j = 9 mod 3 = 0 -> 'a', pool "be"
//   P = 12, j = 12 mod 2 = 0 -> 'b', pool "e"
//   P = 15, j = 0 -> 'e'.                      Alphabet "dcabe".
// Shift 0: the offset is always 0, so "abcde" scrambles to the alphabet.
// Shift 1: byte i (from 0) has offset (i + 1) mod 5. "aaaa-e":
//   'a' offset 1 -> Alphabet[1] 'c';  'a' 2 -> 'a';  'a' 3 -> 'b';  'a' 4 -> 'e';
//   '-' is outside the range and stays, the offset still advances;
//   'e' offset 6 mod 5 = 1, index (1 + 4) mod 5 = 0 -> 'd'.   Result "cabe-d".
TEST(EncryptString, SmallVectorWorkedByHand) {
    TKzEncryptString e;
    Configure(e, 3, 'a', 'e', 0);
    EXPECT_EQ(e.Alphabet(), "dcabe");
    EXPECT_EQ(e.AlphabetPos('d'), 1);
    EXPECT_EQ(e.AlphabetPos('e'), 5);
    EXPECT_EQ(e.EncryptString("abcde"), "dcabe");

    e.SetShift(1);
    EXPECT_EQ(e.EncryptString("aaaa-e"), "cabe-d");
    EXPECT_EQ(e.DecryptString("cabe-d"), "aaaa-e");
}

// The magnitude of -2147483648 and of a wrapped sum of -2147483648 is taken
// as 2^31. Range 'a'..'e':
//   key 2^30: P = 2^30 (mod 5 = 4) -> 'e'; P = 2^31 (mod 4 = 0) -> 'a';
//     P = |2^31 + 2^30 wrapped| = 2^30 (mod 3 = 1) -> 'c'; P = 2^31 (mod 2 = 0) -> 'b';
//     then 'd'.                                                  "eacbd"
//   key -2^31: P = 2^31 (mod 5 = 3) -> 'd'; P = 2^31 + 2^31 wrapped = 0 -> 'a';
//     P = 2^31 (mod 3 = 2) -> 'e'; P = 0 -> 'b'; then 'c'.        "daebc"
TEST(EncryptString, UnrepresentableMagnitudesCountAsTwoToThe31) {
    TKzEncryptString e;
    Configure(e, 1 << 30, 'a', 'e', 0);
    EXPECT_EQ(e.Alphabet(), "eacbd");

    e.SetEncryptionKey(kMinKey);
    EXPECT_EQ(e.Alphabet(), "daebc");
    EXPECT_EQ(e.EncryptionKey(), kMinKey);
    // Still a working pair of operations over a wide range.
    Configure(e, kMinKey, 0, 255, 12345);
    ExpectPermutation(e);
    const std::string all = Range(0, 255);
    EXPECT_EQ(e.DecryptString(e.EncryptString(all)), all);
}

TEST(EncryptString, UnscramblingInvertsScramblingForManySettings) {
    struct Settings {
        std::uint8_t lo, hi;
    };
    const std::vector<Settings> ranges{{32, 126}, {32, 254}, {0, 255}, {'a', 'e'}, {'A', 'A'}, {200, 201}};
    const std::vector<std::int32_t> keys{0, 1, 3, 7, 94, 12345, -987654, 2147483647, 1 << 30, kMinKey};
    const std::vector<std::uint32_t> shifts{0, 1, 17, 32767, 32768, 40000, 0xFFFFFFFFu};

    std::mt19937 random(20240611);
    std::vector<std::string> texts{"", "a", Range(0, 255)};
    for (int i = 0; i < 6; ++i) {
        std::string t(random() % 300, '\0');
        for (char& c : t) c = static_cast<char>(random() % 256);
        texts.push_back(t);
    }

    TKzEncryptString e;
    for (const Settings& r : ranges) {
        for (const std::int32_t key : keys) {
            for (const std::uint32_t shift : shifts) {
                SCOPED_TRACE(::testing::Message() << "range " << int(r.lo) << ".." << int(r.hi) << " key " << key
                                                  << " shift " << shift);
                Configure(e, key, r.lo, r.hi, shift);
                ASSERT_EQ(e.LoChar(), r.lo);
                ASSERT_EQ(e.HiChar(), r.hi);
                ExpectPermutation(e);
                for (const std::string& t : texts) {
                    const std::string s = e.EncryptString(t);
                    ASSERT_EQ(s.size(), t.size());
                    for (std::size_t i = 0; i < t.size(); ++i) {
                        const auto x = static_cast<std::uint8_t>(t[i]);
                        const auto y = static_cast<std::uint8_t>(s[i]);
                        if (x < r.lo || x > r.hi)
                            ASSERT_EQ(y, x) << "byte " << i << " is outside the range and must pass through";
                        else
                            ASSERT_TRUE(y >= r.lo && y <= r.hi) << "byte " << i << " left the range";
                    }
                    ASSERT_EQ(e.DecryptString(s), t);
                }
            }
        }
    }
}

TEST(EncryptString, FullRangeScramblesEveryByteValue) {
    TKzEncryptString e;
    Configure(e, 4711, 0, 255, 3);
    ExpectPermutation(e);
    const std::string all = Range(0, 255);
    const std::string s = e.EncryptString(all);
    // Every value is in the range, and the substitution is not the identity.
    EXPECT_NE(s, all);
    EXPECT_EQ(e.DecryptString(s), all);
}

TEST(EncryptString, BytesOutsideTheRangeStillAdvanceTheOffset) {
    TKzEncryptString e;
    Configure(e, 29, 32, 126, 7);
    // The second byte is scrambled with the second position's offset,
    // whether the first byte was in the range or not.
    EXPECT_EQ(e.EncryptString("\nQ")[1], e.EncryptString("xQ")[1]);
    EXPECT_EQ(e.EncryptString("\nQ")[0], '\n');
    EXPECT_EQ(e.EncryptString("\xe4Q")[1], e.EncryptString("xQ")[1]);
}

TEST(EncryptString, NegativeKeyActsAsItsAbsoluteValue) {
    for (const std::int32_t key : {1, 5, 1000, 2147483647}) {
        SCOPED_TRACE(key);
        TKzEncryptString positive;
        TKzEncryptString negative;
        positive.SetShift(11);
        negative.SetShift(11);
        positive.SetEncryptionKey(key);
        negative.SetEncryptionKey(-key);
        EXPECT_EQ(negative.EncryptionKey(), key);
        EXPECT_EQ(negative.Alphabet(), positive.Alphabet());
        EXPECT_EQ(negative.EncryptString("The quick brown fox"), positive.EncryptString("The quick brown fox"));
    }
}

TEST(EncryptString, RangeSettersMoveTheOtherEnd) {
    TKzEncryptString e;
    e.SetLoChar(200);  // above HiChar 126
    EXPECT_EQ(e.LoChar(), 200);
    EXPECT_EQ(e.HiChar(), 200);
    EXPECT_EQ(e.Alphabet(), "\xc8");
    e.SetHiChar(10);  // below LoChar
    EXPECT_EQ(e.LoChar(), 10);
    EXPECT_EQ(e.HiChar(), 10);
    ExpectPermutation(e);
    // A range of one value maps that value onto itself.
    EXPECT_EQ(e.EncryptString("\n\n\x0b"), "\n\n\x0b");
}

TEST(EncryptString, LockedAtRunTimeKeepsKeyRangeAndShift) {
    TKzEncryptString e;
    Configure(e, 77, 32, 126, 5);
    const std::string alphabet = e.Alphabet();
    const std::string expected = e.EncryptString("secret text");
    e.SetLocked(true);

    e.SetEncryptionKey(78);
    e.SetLoChar(40);
    e.SetHiChar(100);
    e.SetShift(6);
    EXPECT_EQ(e.EncryptionKey(), 77);
    EXPECT_EQ(e.LoChar(), 32);
    EXPECT_EQ(e.HiChar(), 126);
    EXPECT_EQ(e.Shift(), 5u);
    EXPECT_EQ(e.Alphabet(), alphabet);

    // The strings still convert, with the settings in force.
    e.SetASCIIString("secret text");
    EXPECT_EQ(e.EncryptedString(), expected);
    e.SetEncryptedString(expected);
    EXPECT_EQ(e.ASCIIString(), "secret text");

    e.SetLocked(false);
    e.SetEncryptionKey(78);
    EXPECT_EQ(e.EncryptionKey(), 78);
}

TEST(EncryptString, LoadingPhaseAppliesSettingsEvenWhenLocked) {
    TKzEncryptString e;
    e.SetLocked(true);
    e.BeginLoading();
    EXPECT_TRUE(e.Loading());
    e.SetEncryptionKey(-9);
    e.SetLoChar(48);
    e.SetHiChar(57);
    e.SetShift(2);
    e.EndLoading();
    EXPECT_FALSE(e.Loading());
    EXPECT_EQ(e.EncryptionKey(), 9);
    EXPECT_EQ(e.LoChar(), 48);
    EXPECT_EQ(e.HiChar(), 57);
    EXPECT_EQ(e.Shift(), 2u);
    ExpectPermutation(e);
    // Locked again once loaded.
    e.SetEncryptionKey(10);
    EXPECT_EQ(e.EncryptionKey(), 9);
}

TEST(EncryptString, LoadAppliesStoredPropertiesInTheirOrder) {
    TKzEncryptString source;
    Configure(source, 4242, 32, 126, 0);
    source.SetASCIIString("http://updates.example/restlevel/");

    // A window's description holds both strings; loading them in order
    // gives back the same pair, and Locked comes last.
    TKzEncryptString::StoredProperties stored;
    stored.EncryptionKey = source.EncryptionKey();
    stored.ASCIIString = source.ASCIIString();
    stored.EncryptedString = source.EncryptedString();
    stored.Locked = true;
    TKzEncryptString loaded;
    loaded.Load(stored);
    EXPECT_FALSE(loaded.Loading());
    EXPECT_TRUE(loaded.Locked());
    EXPECT_EQ(loaded.EncryptionKey(), 4242);
    EXPECT_EQ(loaded.ASCIIString(), source.ASCIIString());
    EXPECT_EQ(loaded.EncryptedString(), source.EncryptedString());

    // The scrambled string comes after the plain one, so it decides the pair.
    stored.ASCIIString = "not this";
    TKzEncryptString second;
    second.Load(stored);
    EXPECT_EQ(second.ASCIIString(), source.ASCIIString());

    // A component that is already locked still takes its stored settings.
    TKzEncryptString locked;
    locked.SetLocked(true);
    stored.LoChar = 40;
    stored.HiChar = 254;
    stored.Shift = 3;
    locked.Load(stored);
    EXPECT_EQ(locked.LoChar(), 40);
    EXPECT_EQ(locked.HiChar(), 254);
    EXPECT_EQ(locked.Shift(), 3u);
    EXPECT_EQ(locked.EncryptionKey(), 4242);
    // The range comes after the strings and, with a key other than 0,
    // re-scrambles the plain text; the shift comes last and rebuilds
    // nothing, so the scrambled text is the one made with shift 0.
    TKzEncryptString shiftZero;
    Configure(shiftZero, 4242, 40, 254, 0);
    EXPECT_EQ(locked.EncryptedString(), shiftZero.EncryptString(locked.ASCIIString()));
}

TEST(EncryptString, StringSettersKeepThePairInStep) {
    TKzEncryptString e;
    Configure(e, 1234, 32, 254, 9);
    e.SetASCIIString("user name");
    EXPECT_EQ(e.ASCIIString(), "user name");
    EXPECT_EQ(e.EncryptedString(), e.EncryptString("user name"));
    EXPECT_NE(e.EncryptedString(), "user name");

    const std::string scrambled = e.EncryptString("password");
    e.SetEncryptedString(scrambled);
    EXPECT_EQ(e.EncryptedString(), scrambled);
    EXPECT_EQ(e.ASCIIString(), "password");

    // Assigning a string to itself (its own storage) works.
    e.SetASCIIString(e.ASCIIString());
    EXPECT_EQ(e.ASCIIString(), "password");
    EXPECT_EQ(e.EncryptedString(), scrambled);

    // A new key other than 0 re-scrambles the plain text.
    e.SetEncryptionKey(99);
    EXPECT_EQ(e.ASCIIString(), "password");
    EXPECT_EQ(e.EncryptedString(), e.EncryptString("password"));
    EXPECT_NE(e.EncryptedString(), scrambled);
}

TEST(EncryptString, SettingsThatRebuildNothingLeaveTheScrambledStringAsItWas) {
    TKzEncryptString e;
    e.SetEncryptionKey(5);
    e.SetASCIIString("hello world");
    const std::string before = e.EncryptedString();

    e.SetShift(3);  // not part of the alphabet
    EXPECT_EQ(e.EncryptedString(), before);
    e.SetEncryptionKey(5);  // the same key again
    EXPECT_EQ(e.EncryptedString(), before);
    e.SetEncryptionKey(-5);  // the same absolute value
    EXPECT_EQ(e.EncryptedString(), before);
    EXPECT_NE(e.EncryptString("hello world"), before);

    e.SetEncryptionKey(6);  // a new key refreshes with the shift now in force
    EXPECT_EQ(e.EncryptedString(), e.EncryptString("hello world"));

    // With key 0 a new alphabet does not refresh either.
    TKzEncryptString zero;
    zero.SetASCIIString("abc");
    zero.SetShift(1);
    zero.SetLoChar('a');
    EXPECT_EQ(zero.Alphabet(), Range('a', 126));
    EXPECT_EQ(zero.EncryptedString(), "abc");
    EXPECT_NE(zero.EncryptString("abc"), "abc");
}

TEST(EncryptString, EncryptStringLeavesTheCallersStringUntouched) {
    TKzEncryptString e;
    Configure(e, 31337, 32, 126, 4);
    const std::string original = "Encr: my password";
    std::string plain = original;
    const std::string s = e.EncryptString(plain);
    EXPECT_EQ(plain, original);
    EXPECT_NE(s, original);
    EXPECT_EQ(e.DecryptString(s), original);
}

TEST(EncryptString, BufferOperationsWorkInPlaceAndIgnoreEmptyCounts) {
    TKzEncryptString e;
    Configure(e, 808, 32, 126, 13);
    std::string buffer = "in place, please";
    const std::string expected = e.EncryptString(buffer);
    EXPECT_TRUE(e.EncryptBuffer(buffer.data(), buffer.data(), static_cast<std::int32_t>(buffer.size())));
    EXPECT_EQ(buffer, expected);
    EXPECT_TRUE(e.DecryptBuffer(buffer.data(), buffer.data(), static_cast<std::int32_t>(buffer.size())));
    EXPECT_EQ(buffer, "in place, please");

    char out[4] = {'x', 'y', 'z', 'w'};
    for (const std::int32_t count : {0, -1, -100}) {
        EXPECT_TRUE(e.EncryptBuffer("abcd", out, count));
        EXPECT_TRUE(e.DecryptBuffer("abcd", out, count));
    }
    EXPECT_EQ(std::string(out, 4), "xyzw");
}

TEST(WipeStringTest, EmptiesTheString) {
    for (const std::string text : {"", "x", "a longer secret that does not fit a small buffer"}) {
        std::string s = text;
        WipeString(s);
        EXPECT_TRUE(s.empty());
    }
}

}  // namespace
}  // namespace rl

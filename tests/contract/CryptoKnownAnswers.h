// The cryptography contract's known answers, made with Python (hashlib;
// python3-cryptography for the P-256 keys and signatures), and the helpers
// that read them; the benchmarks use them too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace rl::contract {

template <std::size_t N>
std::array<std::uint8_t, N> FromHex(const char* hex) {
    std::array<std::uint8_t, N> bytes{};
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i < N; ++i)
        bytes[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
    return bytes;
}

template <std::size_t N>
std::string ToHex(const std::array<std::uint8_t, N>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

// 1 MiB and 7 bytes: byte i is (7 i + 3) mod 256.
inline std::string LongMessage() {
    std::string bytes(1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 3) % 256);
    return bytes;
}

namespace known {
constexpr char kSha256Empty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kSha256Abc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kSha256Long[] = "d66748f132ea9164919c3bc3f127603f3216ea88a1df2f6f250e362dc5379d13";

constexpr char kMessage[] = "KzUpdate signature 1\nname: RestLevel.zbin\ntime: 1765432100\n";
constexpr char kKey[] =
    "945bafbfe49bbffe5c33d49cd083da75ce805aaf1f2a82cfb010e0968163582a"
    "40f7f692a325069e22cc0fe04c0e68322f4459e45106d54325ee23b8c66bd184";
constexpr char kOtherKey[] =
    "71aab3296e2f2cd1267ab24326e2ae6a745f46e97a8ebb192c87be37581e0e34"
    "8e2abe32c4ec035d53f74352fb695082df92028f20f761e0a5e75af9324c1671";
// kKey's point mirrored, (X, p - Y): on the curve, another key.
constexpr char kMirroredKey[] =
    "945bafbfe49bbffe5c33d49cd083da75ce805aaf1f2a82cfb010e0968163582a"
    "bf08096c5cdaf962dd33f01fb3f197cdd0bba61caef92abcda11dc4739942e7b";
// kKey's signatures of kMessage, of the empty message and of LongMessage().
constexpr char kSignature[] =
    "6c5b18fb9323a0046ef63e322e0b39168656c6b59e418c37ec9d846263d11225"
    "3d6344d39e279299e7708af65bc30057f329b0c0c3e8727f6171e328c030586e";
constexpr char kSignatureOfEmpty[] =
    "f7d368fa401886d2960c1c32f6fc94be0ccfaf86ac33b55b9fe22d4b0ecfb1d9"
    "b3472090dfc60b04a16a18f5906ce7a67784d8c87470f16c0ecc5cc174d77586";
constexpr char kSignatureOfLong[] =
    "1861483408b0732838cf11d632c397d63036ceefce69012dcf614e1314974e25"
    "e983000558d1b196ae5de5f90f94814d46ed663db833a454e74944d12dc09f96";
// kOtherKey's signature of kMessage.
constexpr char kOtherSignature[] =
    "14fb96aa81687542ea18ca71a7f6a91ab4d6e957c6f09b3c8b86920df3bdeac4"
    "193c084bc80f5e1b8cd4e758bb346b7864da58d1f6b6a51c8480412b374d04e8";
// n - s of kSignature: (r, n - s) is the same signature in ECDSA.
constexpr char kMirroredS[] = "c29cbb2b61d86d67188f7509a43cffa7c9bd49ece32f2c059247e79a3c32cce3";
// The order of the group.
constexpr char kOrder[] = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
}  // namespace known

}  // namespace rl::contract

// What checking a signed 50 MiB update costs on the Linux adapter (OpenSSL's
// libcrypto): SHA-256 of 50 MiB fed in the chunk sizes a download and an
// inflation hand over (and at once), and one P-256 verification of a
// statement. The download checks two such digests (the package as received
// and the file it inflates to) and verifies one or two statements; set these
// against BM_DownloadAndStage's time for the verification's share.
//
//   cmake --build build/linux -j2 --target rl_bench
//   build/linux/rl_bench --benchmark_filter='Sha256|VerifyP256'
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Crypto.h"
#include "tests/contract/CryptoKnownAnswers.h"

namespace rl {
namespace {

constexpr std::size_t kPackageSize = 50u * 1024 * 1024;

const std::string& PackageBytes() {
    static const std::string bytes = [] {
        std::string data(kPackageSize, '\0');
        std::uint32_t state = 2024;
        for (char& c : data) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        }
        return data;
    }();
    return bytes;
}

// Argument: the chunk size given to each Update.
void BM_Sha256Of50MiB(benchmark::State& state) {
    const std::string& data = PackageBytes();
    const auto chunk = static_cast<std::size_t>(state.range(0));
    const std::unique_ptr<ICrypto> crypto = CreateCrypto();
    for (auto _ : state) {
        const std::unique_ptr<ISha256> hash = crypto->NewSha256();
        if (!hash) {
            state.SkipWithError("no hasher");
            break;
        }
        for (std::size_t at = 0; at < data.size(); at += chunk)
            hash->Update(data.data() + at, std::min(chunk, data.size() - at));
        benchmark::DoNotOptimize(hash->Finish());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPackageSize));
}
BENCHMARK(BM_Sha256Of50MiB)->Arg(16 * 1024)->Arg(64 * 1024)->Arg(1024 * 1024)->Arg(kPackageSize)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VerifyP256Statement(benchmark::State& state) {
    const std::unique_ptr<ICrypto> crypto = CreateCrypto();
    const P256PublicKey key = contract::FromHex<64>(contract::known::kKey);
    const P256Signature signature = contract::FromHex<64>(contract::known::kSignature);
    const std::string message = contract::known::kMessage;
    for (auto _ : state) {
        if (!crypto->VerifyP256(key, message.data(), message.size(), signature)) {
            state.SkipWithError("the known signature did not verify");
            break;
        }
    }
}
BENCHMARK(BM_VerifyP256Statement)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace rl

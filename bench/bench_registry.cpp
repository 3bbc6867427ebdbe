// Cost of one settings write and one settings read on the Linux registry
// store, each a whole call as the program makes it (open or create the key,
// one value, close). The mean includes the WAL checkpoints that SQLite runs
// now and then (they sync the files); the median and 99th percentile are
// reported beside it as counters.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/SqliteRegistry.h"
#include "support/KzRegistry.h"
#include "support/VorlLibRegistry.h"

namespace rl {
namespace {

// A store of its own in a fresh folder under $TMPDIR, removed afterwards.
class BenchStore {
public:
    BenchStore() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rl-bench-registry-XXXXXX").string();
        if (mkdtemp(pattern.data())) dir_ = pattern;
        registry_ = CreateSqliteRegistry({.path = dir_ + "/registry.db", .readOnly = false});
        SetRegistryPort(registry_.get());
    }
    ~BenchStore() {
        SetRegistryPort(nullptr);
        registry_.reset();
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    BenchStore(const BenchStore&) = delete;
    BenchStore& operator=(const BenchStore&) = delete;

private:
    std::string dir_;
    std::unique_ptr<IRegistry> registry_;
};

// Times each call; the percentiles go into the state's counters.
template <typename Call>
void TimeEachCall(benchmark::State& state, Call call) {
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = call();
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (!ok) {
            state.SkipWithError("the registry call failed");
            return;
        }
    }
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void BM_RegWriteInteger(benchmark::State& state) {
    BenchStore store;
    std::int32_t value = 0;
    TimeEachCall(state, [&] { return RegWriteInteger(kHKeyCurrentUser, kSettingsKey, "RestLevel", ++value); });
}
BENCHMARK(BM_RegWriteInteger)->Unit(benchmark::kMicrosecond);

void BM_RegReadInteger(benchmark::State& state) {
    BenchStore store;
    if (!RegWriteInteger(kHKeyCurrentUser, kSettingsKey, "RestLevel", 19660)) {
        state.SkipWithError("the store cannot be written");
        return;
    }
    TimeEachCall(state, [] { return RegReadInteger(kHKeyCurrentUser, kSettingsKey, "RestLevel", kKeyRead, -1) == 19660; });
}
BENCHMARK(BM_RegReadInteger)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace rl

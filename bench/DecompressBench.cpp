// Inflating a 50 MB update package into a file: DecompressToFile over the
// Linux adapter (the package already in memory, as after a download) against
// a whole python3 process that reads the same package, inflates it with
// zlib.decompress and writes the result. Both write into a fresh folder under
// $TMPDIR (or /tmp). The package (three parts text lines, one part random
// bytes) is made once per run with Python's zlib.compress.
//
//   cmake --build build-lx -j2 --target rl_bench
//   bench/decompress.sh build-lx        both throughputs and their ratio
//   build-lx/rl_bench --benchmark_filter=Decompress    the raw figures
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/Files.h"
#include "platform/TextSystem.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"

namespace rl {
namespace {

constexpr std::size_t kPackageSize = 50u * 1024 * 1024;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

class Package {
public:
    Package() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rl-bench-decompress-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        dir_ = pattern;
        const std::string raw = dir_ + "/package.bin";
        packedPath_ = dir_ + "/package.z";
        output_ = dir_ + "/inflated.bin";
        {
            std::ofstream out(raw, std::ios::binary);
            const std::string data = MixedData();
            out.write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        const std::string command = "python3 -c 'import sys,zlib; open(sys.argv[2],\"wb\").write(zlib.compress(open("
                                    "sys.argv[1],\"rb\").read()))' " + Quote(raw) + " " + Quote(packedPath_);
        if (std::system(command.c_str()) != 0) return;
        std::filesystem::remove(raw);
        std::ifstream in(packedPath_, std::ios::binary);
        std::ostringstream packed;
        packed << in.rdbuf();
        packed_ = packed.str();
    }
    ~Package() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;

    bool Ready() const { return !packed_.empty(); }
    const std::string& Packed() const { return packed_; }
    const std::string& PackedPath() const { return packedPath_; }
    const std::string& Output() const { return output_; }

private:
    static std::string MixedData() {
        std::string data;
        data.reserve(kPackageSize + 8192);
        std::uint32_t state = 2024;
        int line = 0;
        while (data.size() < kPackageSize) {
            const std::size_t textEnd = data.size() + 24 * 1024;
            while (data.size() < textEnd)
                data += "line " + std::to_string(++line) + ": RestLevel update package, fade 2000 ms, level 65535\n";
            for (int i = 0; i < 8 * 1024; ++i) {
                state = state * 1664525u + 1013904223u;
                data += static_cast<char>(state >> 24);
            }
        }
        data.resize(kPackageSize);
        return data;
    }

    std::string dir_;
    std::string packedPath_;
    std::string output_;
    std::string packed_;
};

Package& SharedPackage() {
    static Package package;
    return package;
}

void BM_DecompressToFile(benchmark::State& state) {
    Package& package = SharedPackage();
    if (!package.Ready()) {
        state.SkipWithError("the package could not be made with python3");
        return;
    }
    auto files = CreateFileSystem();
    auto text = CreateTextSystem();
    SetFileSystemPort(files.get());
    SetTextSystemPort(text.get());
    for (auto _ : state) {
        if (!DecompressToFile(package.Packed(), package.Output(), 0)) {
            state.SkipWithError(FileLastError.c_str());
            break;
        }
    }
    if (std::filesystem::file_size(package.Output()) != kPackageSize) state.SkipWithError("wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPackageSize));
    SetFileSystemPort(nullptr);
    SetTextSystemPort(nullptr);
}
BENCHMARK(BM_DecompressToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_DecompressPythonProcess(benchmark::State& state) {
    Package& package = SharedPackage();
    if (!package.Ready()) {
        state.SkipWithError("the package could not be made with python3");
        return;
    }
    const std::string command = "python3 -c 'import sys,zlib; open(sys.argv[2],\"wb\").write(zlib.decompress(open("
                                "sys.argv[1],\"rb\").read()))' " + Quote(package.PackedPath()) + " " +
                                Quote(package.Output());
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("python3 failed");
            break;
        }
    }
    if (std::filesystem::file_size(package.Output()) != kPackageSize) state.SkipWithError("wrong size");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPackageSize));
}
BENCHMARK(BM_DecompressPythonProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace
}  // namespace rl

// The download and staging of an update for a 50 MiB program file from a
// loopback server, against curl's command-line tool fetching the same package
// piped into a python3 zlib inflater that writes the file.
//
// Ours is DownloadAndInstall as the program runs it, without the fixed 500 ms
// pause after the download: the probe (HEAD), the staging's registry values,
// the GET with the download window's bar advanced and pending events
// processed between reads, the package inflated into the staging folder, the
// file's subkey, and the launch of the staged program (a script that ends at
// once). It trusts the build's keys, as the program does: the package's
// statement is fetched and verified, and both SHA-256 checks run; the
// "unverified" runs trust no key, which leaves out exactly that work. The
// download window is a plain object here: no display is needed.
// Each iteration's time is the call's wall time; for curl and python3 the
// whole pipeline's, from starting both processes to their end.
//
// The environment gives the package's address (RL_BENCH_UPDATE_HTTP_URL,
// RL_BENCH_UPDATE_HTTPS_URL), the installed program file
// (RL_BENCH_UPDATE_PROGRAM), the size of the inflated file
// (RL_BENCH_UPDATE_SIZE) and the file the pipeline writes
// (RL_BENCH_UPDATE_OUTPUT); XDG_CONFIG_HOME and XDG_CACHE_HOME hold the
// registry and the staging; the test CA is in SSL_CERT_FILE and CURL_CA_BUNDLE.
//
//   bench/update_download.sh [BUILD_DIR]    makes all of that, prints both and the ratios
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Crypto.h"
#include "platform/Files.h"
#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "platform/TextSystem.h"
#include "platform/UpdateUi.h"
#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "update/InstalledPorts.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/UpdateKeys.h"

namespace rl {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class Bar : public IProgressBar {
public:
    int Position() const override { return position_; }
    void SetPosition(int position) override { position_ = position; }
    int Max() const override { return 1000; }
    void Show() override {}
    void BringToFront() override {}
    void Repaint() override {}

private:
    int position_ = 0;
};

class Label : public IUpdateLabel {
public:
    std::string Caption() const override { return caption_; }
    void SetCaption(const std::string& caption) override { caption_ = caption; }
    void Repaint() override {}

private:
    std::string caption_;
};

class ProgressWindow : public IUpdateProgressWindow {
public:
    IUpdateLabel& lbProgress() override { return label_; }
    IProgressBar& pbProgress() override { return bar_; }
    void Show() override {}

private:
    Label label_;
    Bar bar_;
};

class Windows : public IUpdateWindowFactory {
public:
    std::unique_ptr<IUpdateInfoWindow> CreateUpdateInfoWindow() override { return nullptr; }
    std::unique_ptr<IUpdateProgressWindow> CreateUpdateProgressWindow() override {
        return std::make_unique<ProgressWindow>();
    }
};

// The program whose file is RL_BENCH_UPDATE_PROGRAM; it has a main window,
// which the launch asks to close instead of ending the process.
class BenchApplication : public IApplication {
public:
    std::string ExeName() override { return Env("RL_BENCH_UPDATE_PROGRAM"); }
    std::vector<std::string> Arguments() override { return {}; }
    std::uint32_t CurrentThreadId() override { return 1; }
    std::uint32_t CurrentProcessId() override { return 1; }
    bool HasMainForm() override { return true; }
    void CloseMainForm() override {}
    void MessageBox(const std::string&, std::uint32_t) override {}
    void ProcessMessages() override { MessagePump().ProcessMessages(); }
    [[noreturn]] void Terminate(int) override { std::abort(); }
};

// The ports as the program installs them, for one benchmark.
class Ports {
public:
    Ports() = default;
    Ports(const Ports&) = delete;
    Ports& operator=(const Ports&) = delete;

private:
    std::unique_ptr<IRegistry> registry_ = CreateRegistry();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
    std::unique_ptr<IFileSystem> files_ = CreateFileSystem();
    std::unique_ptr<IInternet> internet_ = CreateInternet();
    BenchApplication application_;
    Windows windows_;
    std::unique_ptr<ICrypto> crypto_ = CreateCrypto();
    InstalledPorts installed_{{registry_.get(), text_.get(), nullptr, files_.get(), nullptr, &MessagePump(),
                               &application_, internet_.get(), &windows_, crypto_.get()}};
};

// The largest file of the staging folder: the staged program.
std::uintmax_t StagedSize() {
    std::uintmax_t largest = 0;
    std::error_code ec;
    const std::filesystem::path folder = GetTempFolder() + "restlevel";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec)) largest = std::max(largest, entry.file_size(ec));
    return largest;
}

void BM_DownloadAndStage(benchmark::State& state, const char* variable, bool verified) {
    const std::string url = Env(variable);
    const auto size = std::strtoull(Env("RL_BENCH_UPDATE_SIZE").c_str(), nullptr, 10);
    if (url.empty() || Env("RL_BENCH_UPDATE_PROGRAM").empty() || size == 0) {
        state.SkipWithError("run bench/update_download.sh");
        return;
    }
    Ports ports;
    const std::uint32_t pause = DownloadPauseMs;
    DownloadPauseMs = 0;
    TKzAutoUpdate component;
    component.UpdateURL = url;
    component.ForcedTerminate = false;
    if (verified) component.TrustedKeys = BuiltInUpdateKeys();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const bool launched = component.DownloadAndInstall(true);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!launched || StagedSize() != size) {
            state.SkipWithError("nothing was staged; see the update log");
            break;
        }
    }
    DownloadPauseMs = pause;
    ClearStagedUpdate();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_CurlInflate(benchmark::State& state, const char* variable) {
    const std::string url = Env(variable);
    const std::string output = Env("RL_BENCH_UPDATE_OUTPUT");
    const auto size = std::strtoull(Env("RL_BENCH_UPDATE_SIZE").c_str(), nullptr, 10);
    if (url.empty() || output.empty() || size == 0) {
        state.SkipWithError("run bench/update_download.sh");
        return;
    }
    // Inflates standard input as it arrives, writing as it goes.
    const std::string inflater =
        "import sys, zlib\n"
        "d = zlib.decompressobj()\n"
        "with open(sys.argv[1], \"wb\") as out:\n"
        "    for block in iter(lambda: sys.stdin.buffer.read1(1 << 20), b\"\"):\n"
        "        out.write(d.decompress(block))\n"
        "    out.write(d.flush())\n"
        "sys.exit(0 if d.eof else 1)\n";
    const std::string command = "bash -c 'set -o pipefail; curl -s -f \"$0\" | python3 -c \"$1\" \"$2\"' '" + url +
                                "' '" + inflater + "' '" + output + "'";
    for (auto _ : state) {
        std::filesystem::remove(output);
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::error_code ec;
        if (status != 0 || std::filesystem::file_size(output, ec) != size) {
            state.SkipWithError("curl or python3 failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

BENCHMARK_CAPTURE(BM_DownloadAndStage, http, "RL_BENCH_UPDATE_HTTP_URL", true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_DownloadAndStage, http_unverified, "RL_BENCH_UPDATE_HTTP_URL", false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_CurlInflate, http, "RL_BENCH_UPDATE_HTTP_URL")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_DownloadAndStage, https, "RL_BENCH_UPDATE_HTTPS_URL", true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_DownloadAndStage, https_unverified, "RL_BENCH_UPDATE_HTTPS_URL", false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_CurlInflate, https, "RL_BENCH_UPDATE_HTTPS_URL")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace rl

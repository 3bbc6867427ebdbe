// HTTPGet of a large file from a loopback server over the libcurl adapter,
// against curl's command-line tool fetching the same file. HTTPGet runs as in
// the program: with a progress bar, processing pending Qt events before each
// read. The URLs come from the environment (RL_BENCH_HTTP_URL,
// RL_BENCH_HTTPS_URL); the test CA is in SSL_CERT_FILE for HTTPGet and in
// CURL_CA_BUNDLE for curl.
// Each iteration's time is the request's wall time: for HTTPGet the call
// itself, for curl its own time_total (process start-up left out).
//
//   bench/http_get.sh [BUILD_DIR]      starts the servers, prints both and the ratios
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "platform/Platform.h"
#include "platform/TextSystem.h"
#include "support/Application.h"
#include "support/VorlLibText.h"
#include "update/KzHTTP.h"

namespace rl {
namespace {

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

class PumpingApplication : public IApplication {
public:
    std::string ExeName() override { return {}; }
    std::vector<std::string> Arguments() override { return {}; }
    std::uint32_t CurrentThreadId() override { return 0; }
    std::uint32_t CurrentProcessId() override { return 0; }
    bool HasMainForm() override { return false; }
    void CloseMainForm() override {}
    void MessageBox(const std::string&, std::uint32_t) override {}
    void ProcessMessages() override { MessagePump().ProcessMessages(); }
    [[noreturn]] void Terminate(int) override { std::abort(); }
};

void BM_HTTPGet(benchmark::State& state, const char* variable) {
    const char* url = std::getenv(variable);
    if (url == nullptr) {
        state.SkipWithError((std::string(variable) + " is not set").c_str());
        return;
    }
    const auto internet = CreateInternet();
    const auto text = CreateTextSystem();
    PumpingApplication application;
    SetInternetPort(internet.get());
    SetTextSystemPort(text.get());
    SetApplicationPort(&application);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        std::string body, error;
        std::uint32_t status = 0, length = 0;
        double modified = 0;
        Bar bar;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = HTTPGet(url, body, status, length, modified, error, &bar, 20000, 0, NullStringValue,
                                NullStringValue, false, false);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!ok || bar.Position() != 1000) {
            state.SkipWithError(("HTTPGet failed: " + error).c_str());
            break;
        }
        bytes += static_cast<std::int64_t>(body.size());
    }
    state.SetBytesProcessed(bytes);
    SetApplicationPort(nullptr);
    SetTextSystemPort(nullptr);
    SetInternetPort(nullptr);
}

// The adapter alone, as curl's tool writes to /dev/null: the same request
// through the port, each 16 KiB read dropped.
void BM_PortReads(benchmark::State& state, const char* variable) {
    const char* url = std::getenv(variable);
    if (url == nullptr) {
        state.SkipWithError((std::string(variable) + " is not set").c_str());
        return;
    }
    const std::string u = url;
    const bool secure = u.starts_with("https");
    const std::size_t hostStart = u.find("//") + 2;
    const std::size_t pathStart = u.find('/', hostStart);
    const std::string hostPort = u.substr(hostStart, pathStart - hostStart);
    const std::string host = hostPort.substr(0, hostPort.find(':'));
    const auto port = static_cast<std::uint16_t>(std::atoi(hostPort.substr(hostPort.find(':') + 1).c_str()));
    const auto internet = CreateInternet();
    std::vector<char> buffer(16384);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const InetHandle session = internet->Open("bench", kInternetOpenTypePreconfig, 0);
        const InetHandle connection =
            internet->Connect(session, host, port, nullptr, nullptr, kInternetServiceHttp, 0, 1);
        const InetHandle request = internet->OpenRequest(connection, "GET", u.substr(pathStart), {"*/*"},
                                                         secure ? kInternetFlagSecure : 0, 1);
        bool ok = internet->SendRequest(request, "", nullptr, 0);
        std::uint32_t read = 0;
        while (ok && (ok = internet->ReadFile(request, buffer.data(), 16384, read)) && read > 0) bytes += read;
        internet->CloseHandle(session);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!ok) {
            state.SkipWithError("the request failed");
            break;
        }
    }
    state.SetBytesProcessed(bytes);
}

// curl's tool dropping the body, or keeping it as HTTPGet does (in a file of
// the temporary folder, which stays in the page cache).
void BM_CurlCommand(benchmark::State& state, const char* variable, bool keepBody) {
    const char* url = std::getenv(variable);
    if (url == nullptr) {
        state.SkipWithError((std::string(variable) + " is not set").c_str());
        return;
    }
    const char* folder = std::getenv("TMPDIR");
    const std::string output =
        keepBody ? std::string(folder != nullptr ? folder : "/tmp") + "/rl_bench_curl_body" : "/dev/null";
    const std::string command =
        "curl -s -o '" + output + "' -w '%{time_total} %{size_download}' '" + url + "'";
    std::int64_t bytes = 0;
    for (auto _ : state) {
        FILE* pipe = popen(command.c_str(), "r");
        double seconds = 0;
        long long size = 0;
        const int fields = pipe != nullptr ? std::fscanf(pipe, "%lf %lld", &seconds, &size) : 0;
        const int status = pipe != nullptr ? pclose(pipe) : -1;
        if (fields != 2 || status != 0 || seconds <= 0) {
            state.SkipWithError("curl failed");
            break;
        }
        state.SetIterationTime(seconds);
        bytes += size;
    }
    if (keepBody) std::remove(output.c_str());
    state.SetBytesProcessed(bytes);
}

BENCHMARK_CAPTURE(BM_HTTPGet, http, "RL_BENCH_HTTP_URL")->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_PortReads, http, "RL_BENCH_HTTP_URL")->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_CurlCommand, http, "RL_BENCH_HTTP_URL", false)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_CurlCommand, http_kept, "RL_BENCH_HTTP_URL", true)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_HTTPGet, https, "RL_BENCH_HTTPS_URL")->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_PortReads, https, "RL_BENCH_HTTPS_URL")->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_CurlCommand, https, "RL_BENCH_HTTPS_URL", false)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_CurlCommand, https_kept, "RL_BENCH_HTTPS_URL", true)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace rl

// Costs of the idle monitor on the real Linux adapters: one ordinary tick,
// one fade step, and the exception gate over every process of this machine.
// Needs an X display and a PulseAudio server (the test services).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <limits>

#include "app/IdleMonitor.h"
#include "app/MasterVolume.h"
#include "platform/Platform.h"
#include "procenum/KzEnumProcesses.h"

namespace rl {
namespace {

struct Tray : ITrayState {
    int index = 0;
    int ImageIndex() const override { return index; }
    void SetImageIndex(int i) override { index = i; }
    void SetHint(const std::string&) override {}
};

struct Check : ICheckMark {
    bool checked = false;
    bool Checked() const override { return checked; }
    void SetChecked(bool c) override { checked = c; }
};

struct Items : IItemList {
    int Count() const override { return 0; }
    std::string Item(int) const override { return {}; }
};

void BM_OrdinaryTick(benchmark::State& state) {
    auto clock = CreateClockInput();
    auto devices = CreateAudioDevices();
    auto timer = CreateTimer();
    timer->SetEnabled(false);
    TMasterVolume volume(*devices, *clock, *timer, MessagePump());
    if (!volume.ConnectEndpoint()) {
        state.SkipWithError("no PulseAudio server");
        return;
    }
    if (clock->GetLastInputTick() == kNoInputTick) {
        state.SkipWithError("no X display");
        return;
    }
    Tray tray;
    Check disabled, relative;
    Items programs;
    TIdleMonitor monitor(*clock, volume, {tray, disabled, relative, programs});
    // Far away: neither entering nor leaving ever happens.
    monitor.IdleThreshold = std::numeric_limits<std::uint32_t>::max();
    for (auto _ : state) monitor.tmrCheckTimer();
    if (tray.index != kImageWatching) state.SkipWithError("the monitor faded");
}
BENCHMARK(BM_OrdinaryTick);

// What the monitor adds where an idle period starts: the three automatic
// exceptions asked of the display, the session bus and the sound server,
// none of them holding (each is asked).
void BM_AutomaticExceptions(benchmark::State& state) {
    auto automatic = CreateAutoExceptions();
    for (auto _ : state) {
        if (automatic->Present() != TAutoReason::NoReason) {
            state.SkipWithError("a reason holds on this machine");
            return;
        }
    }
}
BENCHMARK(BM_AutomaticExceptions)->Unit(benchmark::kMillisecond);

// One step of a fade: the adapter reads the default sink's channels and
// writes them scaled, two round trips to the sound server.
void BM_FadeStep(benchmark::State& state) {
    auto endpoint = CreateAudioDevices()->ActivateDefaultEndpointVolume();
    if (endpoint == nullptr) {
        state.SkipWithError("no PulseAudio server");
        return;
    }
    float level = 0.5f;
    for (auto _ : state) {
        level = level == 0.5f ? 0.25f : 0.5f;
        if (endpoint->SetMasterVolumeLevelScalar(level) != kS_OK) state.SkipWithError("the level was not set");
    }
}
BENCHMARK(BM_FadeStep)->Unit(benchmark::kMicrosecond);

void BM_ExceptionGate(benchmark::State& state) {
    auto port = CreateSnapshotPort();
    SetSnapshotPort(port.get());
    const auto self = static_cast<std::uint32_t>(getpid());
    std::size_t processes = 0;
    for (auto _ : state) {
        TProcessList list;
        TWindowList windows;
        GetProcessList(false, true, list);
        GetWindowList(self, 0, false, windows);
        processes = list.size();
        FreeWindowList(windows);
        FreeProcessList(list);
    }
    state.counters["processes"] = static_cast<double>(processes);
    SetSnapshotPort(nullptr);
}
BENCHMARK(BM_ExceptionGate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace rl

int main(int argc, char** argv) {
    // The notes window needs widgets; without a display they go off-screen
    // and the benchmarks that need X say so.
    if (std::getenv("DISPLAY") == nullptr) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

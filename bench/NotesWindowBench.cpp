// Filling the release notes window with a long RTF document, as the start-up
// check does before it asks the question: the start waits for it. Needs an X
// display (the test services).
#include <benchmark/benchmark.h>

#include <string>

#include "platform/linux/QtUpdateWindows.h"

namespace rl {
namespace {

// Runs that switch bold on and off: the most formatted runs for their size.
std::string FormattedNotes(std::size_t bytes) {
    std::string rtf = "{\\rtf1\\ansi ";
    while (rtf.size() < bytes) rtf += "\\b a\\b0 b ";
    rtf += "}";
    return rtf;
}

void BM_NotesWindowFill(benchmark::State& state) {
    const std::string notes = FormattedNotes(static_cast<std::size_t>(state.range(0)));
    qt::UpdateInfoWindow window;
    for (auto _ : state) {
        window.Edit().Clear();
        window.Edit().LoadFromStream(notes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * notes.size()));
}
BENCHMARK(BM_NotesWindowFill)->Arg(180 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace rl

// The release-notes window filled with long notes: the program's start
// waits for this. The notes repeat a bold and a plain run ("\b a\b0 b"),
// one paragraph of many formatted runs, the costliest shape for the text
// document; the size is the notes' length in bytes.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTextEdit>

#include <algorithm>
#include <string>

#include "platform/linux/QtUpdateWindows.h"
#include "update/KzAutoUpdateInfo.h"

namespace rl {
namespace {

std::string AlternatingRuns(std::size_t size) {
    std::string notes = "{\\rtf1\\ansi ";
    while (notes.size() < size) notes += "\\b a\\b0 b";
    notes += "}";
    return notes;
}

// What the program does before showing the window: rich-text mode, empty,
// then the notes.
void BM_NotesWindowFill(benchmark::State& state) {
    const std::string notes = AlternatingRuns(static_cast<std::size_t>(state.range(0)));
    qt::UpdateWindowFactory factory;
    TfrmUpdateInfo form(factory.CreateUpdateInfoWindow());
    for (auto _ : state) form.SetInfoText(notes);
    // "ab" for each pair of runs; the long paragraph goes on in further blocks.
    const std::string shown = form.Window().reInfo().Text();
    if (shown.size() - static_cast<std::size_t>(std::count(shown.begin(), shown.end(), '\n')) != (notes.size() - 13) / 9 * 2) {
        state.SkipWithError("the notes were not read");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(notes.size()));
}
BENCHMARK(BM_NotesWindowFill)->Arg(45 << 10)->Arg(180 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

// The fill and the window's first showing, where the notes are laid out.
void BM_NotesWindowFillAndShow(benchmark::State& state) {
    const std::string notes = AlternatingRuns(static_cast<std::size_t>(state.range(0)));
    qt::UpdateWindowFactory factory;
    for (auto _ : state) {
        TfrmUpdateInfo form(factory.CreateUpdateInfoWindow());
        form.SetInfoText(notes);
        auto& window = static_cast<qt::UpdateInfoWindow&>(form.Window());
        window.Widget()->show();
        window.Widget()->repaint();
        QApplication::processEvents();
        window.Widget()->hide();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(notes.size()));
}
BENCHMARK(BM_NotesWindowFillAndShow)->Arg(45 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace rl

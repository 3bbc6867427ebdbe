// Fakes of the update windows and their controls. Each control records what
// is done to it in its fields and, in order, in the log that its window's
// controls share, one line per call ("Label.SetCaption Downloading...",
// "Label.Repaint", "ProgressBar.SetPosition 500", "Window.ShowModal",
// "Window.Destroyed", ...). The factory keeps every window it made, also
// after the logic has destroyed it, so that a test can read a window's
// history afterwards.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/UpdateUi.h"
#include "tests/fakes/FakeProgressBar.h"

namespace rl::fake {

using UpdateLog = std::vector<std::string>;

class UpdateLabel : public IUpdateLabel {
public:
    UpdateLabel(std::string initial, UpdateLog& log) : caption(std::move(initial)), log_(log) {}
    std::string caption;
    std::vector<std::string> captions;  // every caption set, in order
    int repaints = 0;

    std::string Caption() const override { return caption; }
    void SetCaption(const std::string& value) override;
    void Repaint() override;

private:
    UpdateLog& log_;
};

// Does not read RTF: Text() is what was loaded last, as it was.
class RichEdit : public IRichEdit {
public:
    explicit RichEdit(UpdateLog& log) : log_(log) {}
    bool plain = false;
    std::string text;
    int clears = 0;
    int loads = 0;
    bool plainAtLoad = false;  // the mode the last load found

    void SetPlainText(bool value) override;
    void Clear() override;
    void LoadFromStream(const std::string& value) override;
    std::string Text() const override { return text; }

private:
    UpdateLog& log_;
};

class UpdateInfoWindow : public IUpdateInfoWindow {
public:
    UpdateInfoWindow() : edit(log) {}
    UpdateInfoWindow(const UpdateInfoWindow&) = delete;
    UpdateInfoWindow& operator=(const UpdateInfoWindow&) = delete;
    UpdateLog log;
    RichEdit edit;
    std::string caption = "Update";
    // ShowModal's answer: `answer`, or what onShowModal returns when set
    // (it sees the window as the user would).
    int answer = kMrNo;
    std::function<int(UpdateInfoWindow&)> onShowModal;
    int modalShows = 0;
    bool destroyed = false;

    IRichEdit& reInfo() override { return edit; }
    std::string Caption() const override { return caption; }
    void SetCaption(const std::string& value) override;
    int ShowModal() override;
};

// The bar's calls go to the window's log as well.
class UpdateProgressWindow : public IUpdateProgressWindow {
public:
    UpdateProgressWindow() : label("Downloading...", log) { bar.journal = &log; }
    UpdateProgressWindow(const UpdateProgressWindow&) = delete;
    UpdateProgressWindow& operator=(const UpdateProgressWindow&) = delete;
    UpdateLog log;
    UpdateLabel label;
    ProgressBar bar;
    int shows = 0;
    bool destroyed = false;

    IUpdateLabel& lbProgress() override { return label; }
    IProgressBar& pbProgress() override { return bar; }
    void Show() override;
};

class UpdateWindowFactory : public IUpdateWindowFactory {
public:
    // Given to each new information window.
    int answer = kMrNo;
    std::function<int(UpdateInfoWindow&)> onShowModal;
    // Makes no windows (returns null), as a toolkit that cannot.
    bool refuse = false;
    std::vector<std::shared_ptr<UpdateInfoWindow>> infoWindows;
    std::vector<std::shared_ptr<UpdateProgressWindow>> progressWindows;

    std::unique_ptr<IUpdateInfoWindow> CreateUpdateInfoWindow() override;
    std::unique_ptr<IUpdateProgressWindow> CreateUpdateProgressWindow() override;
};

}  // namespace rl::fake

// The update component's two windows as their portable logic sees them: the
// release-notes window (a rich edit, a question and Yes/No) and the download
// window (a label and a progress bar). Each toolkit makes the real windows;
// the tests use fakes.
#pragma once

#include <memory>
#include <string>

namespace rl {

// Modal results of the release-notes window.
constexpr int kMrNone = 0;
constexpr int kMrYes = 6;
constexpr int kMrNo = 7;

// A progress bar, range 0..Max. HTTPGet is handed one to show and advance.
class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    virtual int Position() const = 0;
    virtual void SetPosition(int position) = 0;
    virtual int Max() const = 0;
    // Shows the bar (and its window), brings it to the front.
    virtual void Show() = 0;
    virtual void BringToFront() = 0;
    // Repaints at once, without waiting for the message loop.
    virtual void Repaint() = 0;
};

// A rich edit that reads RTF itself.
class IRichEdit {
public:
    virtual ~IRichEdit() = default;
    virtual void SetPlainText(bool plain) = 0;
    virtual void Clear() = 0;
    // Loads the text as a stream: RTF markup is interpreted unless the
    // control is in plain-text mode; text that is not RTF shows as it is.
    virtual void LoadFromStream(const std::string& text) = 0;
    // What the control shows, as plain text (for tests).
    virtual std::string Text() const = 0;
};

class IUpdateLabel {
public:
    virtual ~IUpdateLabel() = default;
    virtual std::string Caption() const = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // Repaints at once.
    virtual void Repaint() = 0;
};

// The release-notes window TfrmUpdateInfo as the toolkit made it.
class IUpdateInfoWindow {
public:
    virtual ~IUpdateInfoWindow() = default;
    virtual IRichEdit& reInfo() = 0;
    virtual std::string Caption() const = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // Shows the window modally (centred on the screen) and gives its modal
    // result: kMrYes, kMrNo, or kMrNone when it was closed another way.
    virtual int ShowModal() = 0;
};

// The download window TfrmKzAutoUpdate as the toolkit made it.
class IUpdateProgressWindow {
public:
    virtual ~IUpdateProgressWindow() = default;
    virtual IUpdateLabel& lbProgress() = 0;
    virtual IProgressBar& pbProgress() = 0;
    // Shows it non-modally, centred on the screen.
    virtual void Show() = 0;
};

// Makes the windows; destroying what it gave destroys the window.
class IUpdateWindowFactory {
public:
    virtual ~IUpdateWindowFactory() = default;
    virtual std::unique_ptr<IUpdateInfoWindow> CreateUpdateInfoWindow() = 0;
    virtual std::unique_ptr<IUpdateProgressWindow> CreateUpdateProgressWindow() = 0;
};

}  // namespace rl

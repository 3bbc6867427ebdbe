// The download window TfrmKzAutoUpdate: a status text and a progress bar
// (0..1000) that HTTPGet advances.
#pragma once

#include <memory>
#include <string>

#include "platform/UpdateUi.h"

namespace rl {

inline constexpr char kProgressCaption[] = "Downloading Update...";
inline constexpr char kProgressInitialText[] = "Downloading...";

class TfrmKzAutoUpdate {
public:
    explicit TfrmKzAutoUpdate(std::unique_ptr<IUpdateProgressWindow> window);
    // Repaints the label only when the text changes.
    void SetProgressText(const std::string& text);
    // Sets and repaints the bar, then lets pending messages be processed.
    void SetProgressPosition(int position);
    IProgressBar& pbProgress() { return window_->pbProgress(); }
    void Show() { window_->Show(); }
    IUpdateProgressWindow& Window() { return *window_; }

private:
    std::unique_ptr<IUpdateProgressWindow> window_;
};

// A new download window from the window port; null without one.
std::unique_ptr<TfrmKzAutoUpdate> CreateKzAutoUpdateForm();

}  // namespace rl

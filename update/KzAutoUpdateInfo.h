// The release-notes window TfrmUpdateInfo: the notes in a rich edit, the
// question "Would you like to install this version?", Yes (Enter) and No
// (Escape).
#pragma once

#include <memory>
#include <string>

#include "platform/UpdateUi.h"

namespace rl {

inline constexpr char kUpdateInfoPrompt[] = "Would you like to install this version?";

// The update windows are made through this port; without one no window can
// be made (ExecuteUpdateInfo answers No, the download runs without window).
void SetUpdateWindowPort(IUpdateWindowFactory* port);
IUpdateWindowFactory* UpdateWindowPort();

class TfrmUpdateInfo {
public:
    // Runs FormCreate.
    explicit TfrmUpdateInfo(std::unique_ptr<IUpdateInfoWindow> window);
    void FormCreate();
    void SetInfoText(const std::string& text);
    int ShowModal();
    IUpdateInfoWindow& Window() { return *window_; }

private:
    std::unique_ptr<IUpdateInfoWindow> window_;
};

// Shows the text in a new release-notes window, modally; true on Yes.
bool ExecuteUpdateInfo(const std::string& text);

}  // namespace rl

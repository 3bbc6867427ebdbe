#include "update/KzAutoUpdateProgress.h"

#include <utility>

#include "support/Application.h"
#include "update/KzAutoUpdateInfo.h"

namespace rl {

TfrmKzAutoUpdate::TfrmKzAutoUpdate(std::unique_ptr<IUpdateProgressWindow> window) : window_(std::move(window)) {}

// The message loop may not run for a while (the download blocks), so the
// label paints at once; an unchanged text is not worth a paint.
void TfrmKzAutoUpdate::SetProgressText(const std::string& text) {
    IUpdateLabel& label = window_->lbProgress();
    if (label.Caption() == text) return;
    label.SetCaption(text);
    label.Repaint();
}

void TfrmKzAutoUpdate::SetProgressPosition(int position) {
    IProgressBar& bar = window_->pbProgress();
    bar.SetPosition(position);
    bar.Repaint();
    if (IApplication* application = ApplicationPort()) application->ProcessMessages();
}

std::unique_ptr<TfrmKzAutoUpdate> CreateKzAutoUpdateForm() {
    IUpdateWindowFactory* port = UpdateWindowPort();
    if (port == nullptr) return nullptr;
    std::unique_ptr<IUpdateProgressWindow> window = port->CreateUpdateProgressWindow();
    if (window == nullptr) return nullptr;
    return std::make_unique<TfrmKzAutoUpdate>(std::move(window));
}

}  // namespace rl

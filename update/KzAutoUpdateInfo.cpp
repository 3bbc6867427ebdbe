#include "update/KzAutoUpdateInfo.h"

#include <utility>

#include "support/Application.h"

namespace rl {

namespace {
IUpdateWindowFactory* gWindowPort = nullptr;
}  // namespace

void SetUpdateWindowPort(IUpdateWindowFactory* port) { gWindowPort = port; }
IUpdateWindowFactory* UpdateWindowPort() { return gWindowPort; }

TfrmUpdateInfo::TfrmUpdateInfo(std::unique_ptr<IUpdateInfoWindow> window) : window_(std::move(window)) { FormCreate(); }

void TfrmUpdateInfo::FormCreate() { window_->SetCaption(ApplicationTitle() + " Update"); }

// Rich-text mode, so that the notes' markup is read rather than shown.
void TfrmUpdateInfo::SetInfoText(const std::string& text) {
    IRichEdit& edit = window_->reInfo();
    edit.SetPlainText(false);
    edit.Clear();
    edit.LoadFromStream(text);
}

int TfrmUpdateInfo::ShowModal() { return window_->ShowModal(); }

bool ExecuteUpdateInfo(const std::string& text) {
    IUpdateWindowFactory* port = UpdateWindowPort();
    if (port == nullptr) return false;
    std::unique_ptr<IUpdateInfoWindow> window = port->CreateUpdateInfoWindow();
    if (window == nullptr) return false;
    int result = kMrNone;
    {
        TfrmUpdateInfo form(std::move(window));
        form.SetInfoText(text);
        result = form.ShowModal();
    }
    return result == kMrYes;
}

}  // namespace rl

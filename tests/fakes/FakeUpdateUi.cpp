#include "tests/fakes/FakeUpdateUi.h"

namespace rl::fake {

namespace {

// What the logic holds: destroying it marks the window destroyed, while the
// factory keeps the window for the test.
class InfoWindowHandle : public IUpdateInfoWindow {
public:
    explicit InfoWindowHandle(std::shared_ptr<UpdateInfoWindow> window) : window_(std::move(window)) {}
    ~InfoWindowHandle() override {
        window_->destroyed = true;
        window_->log.push_back("Window.Destroyed");
    }
    IRichEdit& reInfo() override { return window_->reInfo(); }
    std::string Caption() const override { return window_->Caption(); }
    void SetCaption(const std::string& caption) override { window_->SetCaption(caption); }
    int ShowModal() override { return window_->ShowModal(); }

private:
    std::shared_ptr<UpdateInfoWindow> window_;
};

class ProgressWindowHandle : public IUpdateProgressWindow {
public:
    explicit ProgressWindowHandle(std::shared_ptr<UpdateProgressWindow> window) : window_(std::move(window)) {}
    ~ProgressWindowHandle() override {
        window_->destroyed = true;
        window_->log.push_back("Window.Destroyed");
    }
    IUpdateLabel& lbProgress() override { return window_->lbProgress(); }
    IProgressBar& pbProgress() override { return window_->pbProgress(); }
    void Show() override { window_->Show(); }

private:
    std::shared_ptr<UpdateProgressWindow> window_;
};

}  // namespace

void UpdateLabel::SetCaption(const std::string& value) {
    caption = value;
    captions.push_back(value);
    log_.push_back("Label.SetCaption " + value);
}

void UpdateLabel::Repaint() {
    ++repaints;
    log_.push_back("Label.Repaint");
}

void RichEdit::SetPlainText(bool value) {
    plain = value;
    log_.push_back(value ? "RichEdit.SetPlainText true" : "RichEdit.SetPlainText false");
}

void RichEdit::Clear() {
    text.clear();
    ++clears;
    log_.push_back("RichEdit.Clear");
}

void RichEdit::LoadFromStream(const std::string& value) {
    text = value;
    ++loads;
    plainAtLoad = plain;
    log_.push_back("RichEdit.LoadFromStream " + value);
}

void UpdateInfoWindow::SetCaption(const std::string& value) {
    caption = value;
    log.push_back("Window.SetCaption " + value);
}

int UpdateInfoWindow::ShowModal() {
    ++modalShows;
    log.push_back("Window.ShowModal");
    return onShowModal ? onShowModal(*this) : answer;
}

void UpdateProgressWindow::Show() {
    ++shows;
    log.push_back("Window.Show");
}

std::unique_ptr<IUpdateInfoWindow> UpdateWindowFactory::CreateUpdateInfoWindow() {
    if (refuse) return nullptr;
    auto window = std::make_shared<UpdateInfoWindow>();
    window->answer = answer;
    window->onShowModal = onShowModal;
    infoWindows.push_back(window);
    return std::make_unique<InfoWindowHandle>(window);
}

std::unique_ptr<IUpdateProgressWindow> UpdateWindowFactory::CreateUpdateProgressWindow() {
    if (refuse) return nullptr;
    auto window = std::make_shared<UpdateProgressWindow>();
    progressWindows.push_back(window);
    return std::make_unique<ProgressWindowHandle>(window);
}

}  // namespace rl::fake

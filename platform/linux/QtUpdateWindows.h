// The update component's two windows on Qt 6 Widgets: the release-notes
// window (a modal dialog with the notes, read by our RTF reader, and Yes/No)
// and the download window (a tool window with a status line and a bar).
// Both are laid out at their 96-DPI places in the program's font.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QWidget>

#include <memory>
#include <string>

#include "platform/UpdateUi.h"

namespace rl::qt {

class RichEdit : public IRichEdit {
public:
    explicit RichEdit(QTextEdit* edit) : edit_(edit) {}
    void SetPlainText(bool plain) override { plain_ = plain; }
    void Clear() override;
    void LoadFromStream(const std::string& text) override;
    std::string Text() const override;
    QTextEdit* Widget() const { return edit_; }

private:
    QTextEdit* edit_;
    bool plain_ = false;
};

class UpdateLabel : public IUpdateLabel {
public:
    explicit UpdateLabel(QLabel* label) : label_(label) {}
    std::string Caption() const override;
    // The label sizes itself to its text.
    void SetCaption(const std::string& caption) override;
    void Repaint() override;
    QLabel* Widget() const { return label_; }

private:
    QLabel* label_;
};

// Positions beyond the range are brought into it, as the system's bar does.
class ProgressBar : public IProgressBar {
public:
    explicit ProgressBar(QProgressBar* bar) : bar_(bar) {}
    int Position() const override;
    void SetPosition(int position) override;
    int Max() const override;
    void Show() override;
    void BringToFront() override;
    void Repaint() override;
    QProgressBar* Widget() const { return bar_; }

private:
    QProgressBar* bar_;
};

class InfoDialog;

// TfrmUpdateInfo: fixed size, no minimize or maximize button, centred on
// the screen. Enter answers Yes, Escape No; closing it otherwise gives
// kMrNone.
class UpdateInfoWindow : public IUpdateInfoWindow {
public:
    static constexpr int kClientWidth = 505;
    static constexpr int kClientHeight = 293;

    UpdateInfoWindow();
    ~UpdateInfoWindow() override;
    UpdateInfoWindow(const UpdateInfoWindow&) = delete;
    UpdateInfoWindow& operator=(const UpdateInfoWindow&) = delete;

    IRichEdit& reInfo() override { return reInfo_; }
    std::string Caption() const override;
    void SetCaption(const std::string& caption) override;
    int ShowModal() override;

    QDialog* Widget() const;
    QLabel* lbVersionPrompt() const { return lbVersionPrompt_; }
    QPushButton* btnYes() const { return btnYes_; }
    QPushButton* btnNo() const { return btnNo_; }
    RichEdit& Edit() { return reInfo_; }

private:
    std::unique_ptr<InfoDialog> dialog_;
    RichEdit reInfo_;
    QLabel* lbVersionPrompt_;
    QPushButton* btnYes_;
    QPushButton* btnNo_;
};

// TfrmKzAutoUpdate: a tool window without a close button that refuses to be
// closed, centred on the screen; Show brings it to the front.
class UpdateProgressWindow : public IUpdateProgressWindow {
public:
    static constexpr int kClientWidth = 297;
    static constexpr int kClientHeight = 57;

    UpdateProgressWindow();
    ~UpdateProgressWindow() override;
    UpdateProgressWindow(const UpdateProgressWindow&) = delete;
    UpdateProgressWindow& operator=(const UpdateProgressWindow&) = delete;

    IUpdateLabel& lbProgress() override { return lbProgress_; }
    IProgressBar& pbProgress() override { return pbProgress_; }
    void Show() override;

    QWidget* Widget() const { return window_.get(); }
    UpdateLabel& Label() { return lbProgress_; }
    ProgressBar& Bar() { return pbProgress_; }

private:
    std::unique_ptr<QWidget> window_;
    UpdateLabel lbProgress_;
    ProgressBar pbProgress_;
};

class UpdateWindowFactory : public IUpdateWindowFactory {
public:
    std::unique_ptr<IUpdateInfoWindow> CreateUpdateInfoWindow() override;
    std::unique_ptr<IUpdateProgressWindow> CreateUpdateProgressWindow() override;
};

// Puts a top-level window's centre on its screen's centre (the available
// part, without panels).
void CenterOnScreen(QWidget* window);

}  // namespace rl::qt

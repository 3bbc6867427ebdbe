#include "platform/linux/QtUpdateWindows.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QTextCursor>

#include <algorithm>

#include "platform/linux/QtWindow.h"
#include "platform/linux/RtfReader.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzAutoUpdateProgress.h"

namespace rl::qt {

namespace {

QString FromBytes(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToBytes(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

void CenterOnScreen(QWidget* window) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    // With its native window made, the frame is known where the platform
    // knows it before the window is mapped; move() places the frame.
    window->winId();
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

// Rich edit ----------------------------------------------------------------

void RichEdit::Clear() { edit_->clear(); }

void RichEdit::LoadFromStream(const std::string& text) {
    if (plain_) FillPlainText(*edit_->document(), DecodePlainText(text));
    else LoadRichText(*edit_->document(), text);
    // The notes are read from their beginning.
    edit_->moveCursor(QTextCursor::Start);
    edit_->ensureCursorVisible();
}

std::string RichEdit::Text() const { return ToBytes(ShownText(*edit_->document())); }

// Label and progress bar ---------------------------------------------------

std::string UpdateLabel::Caption() const { return ToBytes(label_->text()); }

void UpdateLabel::SetCaption(const std::string& caption) {
    label_->setText(FromBytes(caption));
    label_->adjustSize();
}

void UpdateLabel::Repaint() { label_->repaint(); }

int ProgressBar::Position() const { return bar_->value(); }

// QProgressBar ignores a value outside its range.
void ProgressBar::SetPosition(int position) {
    bar_->setValue(std::clamp(position, bar_->minimum(), bar_->maximum()));
}

int ProgressBar::Max() const { return bar_->maximum(); }

void ProgressBar::Show() {
    bar_->show();
    QWidget* window = bar_->window();
    if (!window->isVisible()) {
        CenterOnScreen(window);
        window->show();
    }
    BringToFront();
}

void ProgressBar::BringToFront() {
    bar_->window()->raise();
}

void ProgressBar::Repaint() { bar_->repaint(); }

// The release-notes window -------------------------------------------------

// Escape "clicks" No, as a cancel button is clicked; Enter goes to the
// default button (Yes), or to the button that has the focus.
class InfoDialog : public QDialog {
public:
    InfoDialog()
        : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::MSWindowsFixedSizeDialogHint) {
        // Before any child exists, so that every control inherits it.
        setFont(WindowFont());
        setWindowTitle(QStringLiteral("Update"));
        setFixedSize(UpdateInfoWindow::kClientWidth, UpdateInfoWindow::kClientHeight);
        setModal(true);

        reInfo = new QTextEdit(this);
        reInfo->setReadOnly(true);
        reInfo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        reInfo->setUndoRedoEnabled(false);
        reInfo->setTabChangesFocus(true);
        reInfo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        reInfo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        reInfo->setLineWrapMode(QTextEdit::WidgetWidth);
        reInfo->setGeometry(16, 16, 473, 238);

        lbVersionPrompt = new QLabel(QString::fromLatin1(kUpdateInfoPrompt), this);
        lbVersionPrompt->setTextFormat(Qt::PlainText);
        // Anchored to the right: a font wider than Tahoma makes it grow to
        // the left, away from the buttons.
        const QSize text = lbVersionPrompt->sizeHint();
        const int width = std::max(175, text.width());
        lbVersionPrompt->setGeometry(140 + 175 - width, 265, width, std::max(13, text.height()));

        btnYes = new QPushButton(QStringLiteral("Yes"), this);
        btnYes->setGeometry(328, 260, 75, 25);
        btnYes->setDefault(true);
        btnNo = new QPushButton(QStringLiteral("No"), this);
        btnNo->setGeometry(409, 260, 75, 25);
        connect(btnYes, &QPushButton::clicked, this, [this] { done(kMrYes); });
        connect(btnNo, &QPushButton::clicked, this, [this] { done(kMrNo); });

        setTabOrder(btnYes, btnNo);
        setTabOrder(btnNo, reInfo);
        btnYes->setFocus();
    }

    QTextEdit* reInfo;
    QLabel* lbVersionPrompt;
    QPushButton* btnYes;
    QPushButton* btnNo;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            btnNo->click();
            return;
        }
        QDialog::keyPressEvent(event);
    }
};

UpdateInfoWindow::UpdateInfoWindow()
    : dialog_(std::make_unique<InfoDialog>()),
      reInfo_(dialog_->reInfo),
      lbVersionPrompt_(dialog_->lbVersionPrompt),
      btnYes_(dialog_->btnYes),
      btnNo_(dialog_->btnNo) {}

UpdateInfoWindow::~UpdateInfoWindow() = default;

std::string UpdateInfoWindow::Caption() const { return ToBytes(dialog_->windowTitle()); }
void UpdateInfoWindow::SetCaption(const std::string& caption) { dialog_->setWindowTitle(FromBytes(caption)); }

int UpdateInfoWindow::ShowModal() {
    CenterOnScreen(dialog_.get());
    btnYes_->setFocus();
    const int result = dialog_->exec();
    return result == kMrYes || result == kMrNo ? result : kMrNone;
}

QDialog* UpdateInfoWindow::Widget() const { return dialog_.get(); }

// The download window ------------------------------------------------------

namespace {

// A tool window's title without a close button: the download cannot be
// stopped half-way. Only its owner ends it, when the download is done; a
// close request (the window manager's, Alt+F4) is refused.
class ProgressWidget : public QWidget {
public:
    ProgressWidget()
        : QWidget(nullptr,
                  Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint) {}

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

std::unique_ptr<QWidget> MakeProgressWindow() {
    auto window = std::make_unique<ProgressWidget>();
    window->setFont(WindowFont());
    window->setWindowTitle(QString::fromLatin1(kProgressCaption));
    window->setFixedSize(UpdateProgressWindow::kClientWidth, UpdateProgressWindow::kClientHeight);
    return window;
}

QLabel* MakeProgressLabel(QWidget* window) {
    auto* label = new QLabel(QString::fromLatin1(kProgressInitialText), window);
    label->setTextFormat(Qt::PlainText);
    label->move(14, 8);
    label->adjustSize();
    return label;
}

QProgressBar* MakeProgressBar(QWidget* window) {
    auto* bar = new QProgressBar(window);
    bar->setRange(0, 1000);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setGeometry(12, 24, 273, 20);
    return bar;
}

}  // namespace

UpdateProgressWindow::UpdateProgressWindow()
    : window_(MakeProgressWindow()),
      lbProgress_(MakeProgressLabel(window_.get())),
      pbProgress_(MakeProgressBar(window_.get())) {}

UpdateProgressWindow::~UpdateProgressWindow() = default;

void UpdateProgressWindow::Show() {
    if (!window_->isVisible()) CenterOnScreen(window_.get());
    window_->show();
    window_->raise();
    window_->activateWindow();
}

// The factory --------------------------------------------------------------

std::unique_ptr<IUpdateInfoWindow> UpdateWindowFactory::CreateUpdateInfoWindow() {
    return std::make_unique<UpdateInfoWindow>();
}

std::unique_ptr<IUpdateProgressWindow> UpdateWindowFactory::CreateUpdateProgressWindow() {
    return std::make_unique<UpdateProgressWindow>();
}

}  // namespace rl::qt

#include "platform/linux/QtWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QShowEvent>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace rl::qt {

namespace {

constexpr int kSliderMax = 1000;
constexpr int kPageSize = 100;
constexpr int kTickEvery = 50;

QString FromBytes(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToBytes(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::function<void()> gAfterHandler;

void Fire(const EventHandler& handler) {
    if (!handler) return;
    handler();
    if (gAfterHandler) gAfterHandler();
}


// Runs a handler when the watched widget loses the focus to another
// control of its window.
class FocusOutFilter : public QObject {
public:
    explicit FocusOutFilter(std::function<void()> onExit) : onExit_(std::move(onExit)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusOut) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            // Switching to another window or opening the box's own context
            // menu leaves the focus where it was, as far as the window goes.
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) onExit_();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onExit_;
};

void Place(QWidget* widget, int left, int top, int width, int height) { widget->setGeometry(left, top, width, height); }

// A text control keeps its place; where the font is wider than Tahoma, it
// grows to the right so that its text is not cut off.
void PlaceText(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(left, top, std::max(width, widget->sizeHint().width()), height);
}

// Auto-sized labels: only their top-left corner is given.
void Place(QLabel* label, int left, int top) {
    label->adjustSize();
    label->move(left, top);
}

void MakeLink(QLabel* label, bool bold) {
    QFont font = label->font();
    font.setUnderline(true);
    font.setBold(bold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
}

}  // namespace

// A label that reports a left click (press and release on it).
class ClickLabel : public QLabel {
public:
    using QLabel::QLabel;
    EventHandler onClick;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) event->accept();
        else QLabel::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onClick) onClick();
        else QLabel::mouseReleaseEvent(event);
    }
};

// The top-level widget: showing and closing are the form's to decide.
class FormWidget : public QWidget {
public:
    FormWidget()
        : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                               Qt::MSWindowsFixedSizeDialogHint) {}
    std::function<void()> onShow;
    std::function<bool()> onClose;

protected:
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        // Spontaneous shows come from the window system (a desktop switch),
        // not from the window becoming visible.
        if (!event->spontaneous() && onShow) onShow();
    }
    void closeEvent(QCloseEvent* event) override {
        if (onClose && !onClose()) {
            // The form has hidden the window; the program goes on.
            event->ignore();
            return;
        }
        event->accept();
        QCoreApplication::exit(0);
    }
};

void SetAfterHandlerHook(std::function<void()> hook) { gAfterHandler = std::move(hook); }

// Track bar ----------------------------------------------------------------

TrackBar::TrackBar(int lineSize, int position) : lineSize_(lineSize), position_(position) {}

void TrackBar::Realize(QWidget* parent) {
    slider_ = new QSlider(Qt::Horizontal, parent);
    slider_->setRange(0, kSliderMax);
    slider_->setPageStep(kPageSize);
    slider_->setSingleStep(lineSize_);
    slider_->setTickPosition(QSlider::TicksBelow);
    slider_->setTickInterval(kTickEvery);
    slider_->setValue(position_);
    QObject::connect(slider_, &QSlider::valueChanged, [this](int) { Fire(onChange_); });
    // Emitted before the new position is applied: when it will not change,
    // valueChanged stays silent, so the notification is passed on here.
    QObject::connect(slider_, &QSlider::actionTriggered, [this](int action) {
        if (action != QAbstractSlider::SliderNoAction && slider_->sliderPosition() == slider_->value())
            Fire(onChange_);
    });
    QObject::connect(slider_, &QSlider::sliderReleased, [this] { Fire(onChange_); });
}

int TrackBar::Position() const { return slider_ != nullptr ? slider_->value() : position_; }

void TrackBar::SetPosition(int position) {
    position = std::clamp(position, 0, kSliderMax);
    if (slider_ != nullptr) {
        slider_->setValue(position);
    } else if (position != position_) {
        position_ = position;
        Fire(onChange_);
    }
}

void TrackBar::SetOnChange(EventHandler handler) { onChange_ = std::move(handler); }

// Edit box -----------------------------------------------------------------

EditBox::EditBox() = default;
EditBox::~EditBox() = default;

void EditBox::Realize(QWidget* parent) {
    edit_ = new QLineEdit(FromBytes(text_), parent);
    filter_ = std::make_unique<FocusOutFilter>([this] { Fire(onExit_); });
    edit_->installEventFilter(filter_.get());
}

std::string EditBox::Text() const { return edit_ != nullptr ? ToBytes(edit_->text()) : text_; }

void EditBox::SetText(const std::string& text) {
    if (edit_ != nullptr) edit_->setText(FromBytes(text));
    else text_ = text;
}

void EditBox::SetOnExit(EventHandler handler) { onExit_ = std::move(handler); }

// Check box ----------------------------------------------------------------

CheckBox::CheckBox(QString caption) : caption_(std::move(caption)) {}

void CheckBox::Realize(QWidget* parent) {
    box_ = new QCheckBox(caption_, parent);
    box_->setChecked(checked_);
    // toggled covers both the user's click and a programmatic change, and
    // only when the mark really changes.
    QObject::connect(box_, &QCheckBox::toggled, [this](bool) { Fire(onClick_); });
}

bool CheckBox::Checked() const { return box_ != nullptr ? box_->isChecked() : checked_; }

void CheckBox::SetChecked(bool checked) {
    if (box_ != nullptr) {
        box_->setChecked(checked);
    } else if (checked != checked_) {
        checked_ = checked;
        Fire(onClick_);
    }
}

void CheckBox::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// Menu item ----------------------------------------------------------------

MenuItem::MenuItem(QMenu* menu, const QString& caption, bool checkable) : action_(menu->addAction(caption)) {
    action_->setCheckable(checkable);
    QObject::connect(action_, &QAction::triggered, [this](bool checked) {
        if (action_->isCheckable()) action_->setChecked(!checked);
        Fire(onClick_);
    });
}

bool MenuItem::Checked() const { return action_->isChecked(); }
void MenuItem::SetChecked(bool checked) { action_->setChecked(checked); }
void MenuItem::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// Button -------------------------------------------------------------------

Button::Button(QString caption) : caption_(std::move(caption)) {}

void Button::Realize(QWidget* parent) {
    button_ = new QPushButton(caption_, parent);
    button_->setAutoDefault(false);
    button_->setEnabled(enabled_);
    QObject::connect(button_, &QPushButton::clicked, [this] { Fire(onClick_); });
}

bool Button::Enabled() const { return button_ != nullptr ? button_->isEnabled() : enabled_; }

void Button::SetEnabled(bool enabled) {
    if (button_ != nullptr) button_->setEnabled(enabled);
    else enabled_ = enabled;
}

void Button::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// Label --------------------------------------------------------------------

Label::Label(QString caption) : caption_(std::move(caption)) {}

void Label::Realize(QWidget* parent) {
    auto* label = new ClickLabel(caption_, parent);
    label->setTextFormat(Qt::PlainText);
    label->onClick = [this] { Fire(onClick_); };
    label_ = label;
}

std::string Label::Caption() const { return ToBytes(label_ != nullptr ? label_->text() : caption_); }

void Label::SetCaption(const std::string& caption) {
    caption_ = FromBytes(caption);
    if (label_ != nullptr) label_->setText(caption_);
}

void Label::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// Page control -------------------------------------------------------------

PageControl::PageControl(QStringList captions) : captions_(std::move(captions)) {}

void PageControl::Realize(QWidget* parent) {
    tabs_ = new QTabWidget(parent);
    for (const QString& caption : captions_) tabs_->addTab(new QWidget, caption);
    tabs_->setCurrentIndex(page_);
    QObject::connect(tabs_, &QTabWidget::currentChanged, [this](int) {
        if (!programmatic_) Fire(onChange_);
    });
}

int PageControl::ActivePage() const { return tabs_ != nullptr ? tabs_->currentIndex() : page_; }

void PageControl::SetActivePage(int page) {
    if (page < 0 || page >= captions_.size()) return;
    page_ = page;
    if (tabs_ == nullptr) return;
    programmatic_ = true;
    tabs_->setCurrentIndex(page);
    programmatic_ = false;
}

void PageControl::SetOnChange(EventHandler handler) { onChange_ = std::move(handler); }
QWidget* PageControl::Page(int index) const { return tabs_ != nullptr ? tabs_->widget(index) : nullptr; }

// Combo box ----------------------------------------------------------------

void ComboBox::Realize(QWidget* parent) {
    combo_ = new QComboBox(parent);
    combo_->setEditable(false);
    for (std::size_t i = 0; i < entries_.size(); ++i) combo_->addItem(entries_[i].shown);
    // Qt selects the first entry put into an empty box; a list of the
    // system stays without a selection.
    combo_->setCurrentIndex(index_);
    if (updateDepth_ > 0) combo_->setUpdatesEnabled(false);
    // activated is the user's pick (mouse or keys); setCurrentIndex does
    // not emit it.
    QObject::connect(combo_, &QComboBox::activated, [this](int) { Fire(onClick_); });
}

int ComboBox::Count() const { return static_cast<int>(entries_.size()); }

std::string ComboBox::ItemText(int index) const {
    return index >= 0 && index < Count() ? entries_[static_cast<std::size_t>(index)].text : std::string();
}

std::string ComboBox::ItemData(int index) const {
    return index >= 0 && index < Count() ? entries_[static_cast<std::size_t>(index)].data : std::string();
}

int ComboBox::AddItem(const std::string& text, const std::string& data) {
    Entry entry{text, data, FromBytes(text)};
    // After the last entry that does not sort behind the new one.
    int position = Count();
    while (position > 0 &&
           QString::compare(entry.shown, entries_[static_cast<std::size_t>(position - 1)].shown, Qt::CaseInsensitive) < 0)
        --position;
    if (combo_ != nullptr) {
        const int selected = combo_->currentIndex();
        combo_->insertItem(position, entry.shown);
        if (selected < 0) combo_->setCurrentIndex(-1);
    } else if (index_ >= position) {
        ++index_;
    }
    entries_.insert(entries_.begin() + position, std::move(entry));
    return position;
}

void ComboBox::DeleteItem(int index) {
    if (index < 0 || index >= Count()) return;
    entries_.erase(entries_.begin() + index);
    if (combo_ != nullptr) {
        const int selected = combo_->currentIndex();
        combo_->removeItem(index);
        // Qt moves the selection to a neighbour; the system's list drops it.
        if (selected == index) combo_->setCurrentIndex(-1);
    } else if (index_ == index) {
        index_ = -1;
    } else if (index_ > index) {
        --index_;
    }
}

int ComboBox::ItemIndex() const { return combo_ != nullptr ? combo_->currentIndex() : index_; }

void ComboBox::SetItemIndex(int index) {
    if (index < 0 || index >= Count()) index = -1;
    if (combo_ != nullptr) combo_->setCurrentIndex(index);
    else index_ = index;
}

void ComboBox::BeginUpdate() {
    if (updateDepth_++ == 0 && combo_ != nullptr) combo_->setUpdatesEnabled(false);
}

void ComboBox::EndUpdate() {
    if (updateDepth_ > 0 && --updateDepth_ == 0 && combo_ != nullptr) combo_->setUpdatesEnabled(true);
}

void ComboBox::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// List box -----------------------------------------------------------------

namespace {
// What the list shows before it exists: 13-pixel entries in the 93-pixel
// box less its border.
constexpr int kDesignItemHeight = 13;
constexpr int kDesignClientHeight = 91;
}  // namespace

void ListBox::Realize(QWidget* parent) {
    list_ = new QListWidget(parent);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    list_->setUniformItemSizes(true);
    ++programmatic_;
    for (const std::string& text : items_) list_->addItem(FromBytes(text));
    if (index_ >= 0) list_->setCurrentRow(index_, QItemSelectionModel::ClearAndSelect);
    --programmatic_;
    QObject::connect(list_, &QListWidget::itemSelectionChanged, [this] {
        if (programmatic_ == 0) Fire(onClick_);
    });
}

int ListBox::Count() const { return static_cast<int>(items_.size()); }

std::string ListBox::Item(int index) const {
    return index >= 0 && index < Count() ? items_[static_cast<std::size_t>(index)] : std::string();
}

int ListBox::AddItem(const std::string& text) {
    items_.push_back(text);
    if (list_ != nullptr) {
        ++programmatic_;
        list_->addItem(FromBytes(text));
        --programmatic_;
    }
    return Count() - 1;
}

void ListBox::DeleteItem(int index) {
    if (index < 0 || index >= Count()) return;
    items_.erase(items_.begin() + index);
    if (list_ == nullptr) {
        if (index_ == index) index_ = -1;
        else if (index_ > index) --index_;
        return;
    }
    ++programmatic_;
    const int selected = ItemIndex();
    delete list_->takeItem(index);
    // Qt selects the next entry in place of a deleted selected one; the
    // system's list box is left without a selection.
    if (selected == index) {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
    --programmatic_;
}

void ListBox::Clear() {
    items_.clear();
    index_ = -1;
    top_ = 0;
    if (list_ == nullptr) return;
    ++programmatic_;
    list_->clear();
    --programmatic_;
}

int ListBox::ItemIndex() const {
    if (list_ == nullptr) return index_;
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->row(selected.first());
}

void ListBox::SetItemIndex(int index) {
    if (index < 0 || index >= Count()) index = -1;
    if (list_ == nullptr) {
        index_ = index;
        return;
    }
    ++programmatic_;
    if (index >= 0) {
        list_->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    } else {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
    --programmatic_;
}

// Scrolling is by whole entries, so the scroll bar counts entries.
int ListBox::TopIndex() const {
    if (list_ == nullptr) return top_;
    return list_->count() == 0 ? 0 : list_->verticalScrollBar()->value();
}

void ListBox::SetTopIndex(int index) {
    if (index < 0 || index >= Count()) return;
    if (list_ == nullptr) {
        top_ = index;
        return;
    }
    // Lays the entries out first, so that the scroll bar has its range.
    list_->scrollToItem(list_->item(index), QAbstractItemView::PositionAtTop);
    list_->verticalScrollBar()->setValue(index);
}

int ListBox::ItemHeight() const {
    if (list_ == nullptr) return kDesignItemHeight;
    const int height = list_->count() > 0 ? list_->sizeHintForRow(0) : list_->fontMetrics().height();
    return std::max(1, height);
}

int ListBox::ClientHeight() const { return list_ != nullptr ? list_->viewport()->height() : kDesignClientHeight; }
void ListBox::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// Tray icon ----------------------------------------------------------------

TrayIcon::TrayIcon(std::array<QIcon, 3> images, QMenu* menu) : images_(std::move(images)) {
    icon_.setIcon(images_[0]);
    icon_.setToolTip(QStringLiteral("RestLevel"));
    // Qt opens the context menu on a right click by itself.
    icon_.setContextMenu(menu);
    QObject::connect(&icon_, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) Fire(onClick_);
    });
}

int TrayIcon::ImageIndex() const { return index_; }

void TrayIcon::SetImageIndex(int index) {
    if (index < 0 || index >= static_cast<int>(images_.size()) || index == index_) return;
    index_ = index;
    icon_.setIcon(images_[static_cast<std::size_t>(index)]);
}

void TrayIcon::SetHint(const std::string& hint) {
    const QString text = QString::fromStdString(hint);
    if (icon_.toolTip() != text) icon_.setToolTip(text);
}

void TrayIcon::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }
void TrayIcon::Show() { icon_.show(); }

// Screen cursor ------------------------------------------------------------

void ScreenCursor::SetCursor(int cursor) {
    if (cursor == kCursorHourGlass && !overridden_) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        overridden_ = true;
    } else if (cursor == kCursorDefault && overridden_) {
        QApplication::restoreOverrideCursor();
        overridden_ = false;
    }
}

// The window ---------------------------------------------------------------

QFont WindowFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    if (QFontInfo(font).family().compare(QStringLiteral("Tahoma"), Qt::CaseInsensitive) == 0) return font;
    QFont fallback = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    fallback.setPixelSize(11);
    return fallback;
}

namespace {

std::array<QIcon, 3> TrayImages() {
    return {QIcon(QStringLiteral(":/tray-watching.png")), QIcon(QStringLiteral(":/tray-resting.png")),
            QIcon(QStringLiteral(":/tray-disabled.png"))};
}


}  // namespace

MainWindow::MainWindow()
    : pcMain({QStringLiteral("Basic Settings"), QStringLiteral("Exceptions")}),
      lbCopyright(QString()),
      Label6(QStringLiteral("Site")),
      Label3(QStringLiteral("When the computer has been idle for:")),
      tbIdleTime(1, 100),
      Label4(QStringLiteral("minutes")),
      Label1(QStringLiteral("Set System Volume to:")),
      tbRestLevel(10, 300),
      Label2(QStringLiteral("%")),
      ckbRelative(QStringLiteral("Make adjustment relative to active volume level")),
      Label5(QStringLiteral("Add:")),
      btnAdd(QStringLiteral("+")),
      btnRemove(QStringLiteral("-")),
      ckbAutoExceptions(QStringLiteral("Also while a program is full screen,\nkeeps the screen on, or records sound")),
      lbNoForeground(QStringLiteral("This desktop does not tell which program is in front:\nthe list cannot apply.")),
      pmPopup(std::make_unique<QMenu>()),
      OpenRestLevel1(pmPopup.get(), QStringLiteral("&Open RestLevel"), false),
      DisableRestLevel1(pmPopup.get(), QStringLiteral("&Disable RestLevel"), true),
      Exit1(pmPopup.get(), QStringLiteral("E&xit"), false),
      tiMain(TrayImages(), pmPopup.get()) {
    btnAdd.SetEnabled(false);
    btnRemove.SetEnabled(false);
    ckbAutoExceptions.SetChecked(true);
}

MainWindow::~MainWindow() = default;

void MainWindow::Realize() {
    if (window_ != nullptr) return;
    window_ = std::make_unique<FormWidget>();
    FormWidget* w = window_.get();
    // Before any child exists, so that every control inherits the font and
    // the auto-sized labels measure with it.
    w->setFont(WindowFont());
    w->setWindowTitle(QStringLiteral("RestLevel"));
    w->setFixedSize(kClientWidth, kClientHeight);
    w->setWindowIcon(QApplication::windowIcon());
    if (toolWindow_) w->setWindowFlag(Qt::Tool, true);

    pcMain.Realize(w);
    QWidget* basic = pcMain.Page(kPageBasic);
    QWidget* exceptions = pcMain.Page(kPageExceptions);
    lbCopyright.Realize(w);
    Label6.Realize(w);
    Label3.Realize(basic);
    tbIdleTime.Realize(basic);
    ebIdleTime.Realize(basic);
    Label4.Realize(basic);
    Label1.Realize(basic);
    tbRestLevel.Realize(basic);
    ebRestLvl.Realize(basic);
    Label2.Realize(basic);
    ckbRelative.Realize(basic);
    Label5.Realize(exceptions);
    cbPrograms.Realize(exceptions);
    lbPrograms.Realize(exceptions);
    btnAdd.Realize(exceptions);
    btnRemove.Realize(exceptions);
    ckbAutoExceptions.Realize(exceptions);
    lbNoForeground.Realize(exceptions);

    Place(pcMain.Widget(), 9, 8, 342, 169 + kExtraHeight);
    MakeLink(lbCopyright.Widget(), false);
    Place(lbCopyright.Widget(), 21, 188 + kExtraHeight, 242, 13);
    MakeLink(Label6.Widget(), true);
    PlaceText(Label6.Widget(), 311, 188 + kExtraHeight, 22, 13);

    Place(Label3.Widget(), 8, 8);
    Place(tbIdleTime.Widget(), 20, 27, 209, 30);
    Place(ebIdleTime.Widget(), 235, 28, 42, 21);
    Place(Label4.Widget(), 283, 31);
    Place(Label1.Widget(), 8, 64);
    Place(tbRestLevel.Widget(), 20, 83, 209, 30);
    Place(ebRestLvl.Widget(), 235, 84, 42, 21);
    Place(Label2.Widget(), 295, 86);
    PlaceText(ckbRelative.Widget(), 27, 117, 250, 17);

    Place(Label5.Widget(), 12, 12);
    Place(cbPrograms.Widget(), 41, 9, 260, 21);
    PlaceProgramList();
    Place(btnAdd.Widget(), 307, 8, 24, 23);
    Place(btnRemove.Widget(), 307, 36, 24, 23);
    // Two lines: as high as the font needs where it is taller than Tahoma.
    Place(ckbAutoExceptions.Widget(), 12, 134, 319, std::max(28, ckbAutoExceptions.Widget()->sizeHint().height()));

    QWidget::setTabOrder(tbRestLevel.Widget(), ebRestLvl.Widget());
    QWidget::setTabOrder(ebRestLvl.Widget(), tbIdleTime.Widget());
    QWidget::setTabOrder(tbIdleTime.Widget(), ebIdleTime.Widget());
    QWidget::setTabOrder(ebIdleTime.Widget(), ckbRelative.Widget());
    QWidget::setTabOrder(cbPrograms.Widget(), lbPrograms.Widget());
    QWidget::setTabOrder(lbPrograms.Widget(), btnAdd.Widget());
    QWidget::setTabOrder(btnAdd.Widget(), btnRemove.Widget());
    QWidget::setTabOrder(btnRemove.Widget(), ckbAutoExceptions.Widget());

    w->onShow = [this] {
        if (onShow_) onShow_();
    };
    w->onClose = [this] { return !onClose_ || onClose_(); };
}

void MainWindow::SetForegroundUnknown(bool unknown) {
    foregroundUnknown_ = unknown;
    if (window_ != nullptr) PlaceProgramList();
}

void MainWindow::PlaceProgramList() {
    // The line takes the list's lower two lines; the list scrolls.
    constexpr int kLineHeight = 28;
    const int listHeight = foregroundUnknown_ ? 93 - kLineHeight - 2 : 93;
    Place(lbPrograms.Widget(), 12, 36, 289, listHeight);
    Place(lbNoForeground.Widget(), 12, 36 + listHeight + 2, 289, kLineHeight);
    lbNoForeground.Widget()->setVisible(foregroundUnknown_);
}

TRestLevelControls MainWindow::Controls() {
    return TRestLevelControls{pcMain,      lbCopyright, Label6,     tbIdleTime, ebIdleTime,     tbRestLevel,
                              ebRestLvl,   ckbRelative, cbPrograms, lbPrograms, btnAdd,         btnRemove,
                              ckbAutoExceptions, tiMain, OpenRestLevel1, DisableRestLevel1, Exit1};
}

void MainWindow::SetOnShow(std::function<void()> handler) { onShow_ = std::move(handler); }
void MainWindow::SetOnClose(std::function<bool()> handler) { onClose_ = std::move(handler); }

QWidget* MainWindow::Widget() {
    Realize();
    return window_.get();
}

// Asking for the handle makes the window (as on Windows, where it exists
// from creation on).
WindowHandle MainWindow::Handle() const {
    const_cast<MainWindow*>(this)->Realize();
    return static_cast<WindowHandle>(window_->winId());
}

bool MainWindow::Visible() const { return window_ != nullptr && window_->isVisible(); }

void MainWindow::Show() {
    Realize();
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void MainWindow::Hide() {
    if (window_ != nullptr) window_->hide();
}

void MainWindow::Close() {
    if (window_ != nullptr) {
        window_->close();
        return;
    }
    // Never shown: the close is only the form's answer.
    if (!onClose_ || onClose_()) QCoreApplication::exit(0);
}

void MainWindow::AddExStyle(std::uint32_t bits) {
    // A tool window has no taskbar entry; the app-window bit only ever adds
    // one, which is what a window without Qt::Tool already has.
    if ((bits & kWsExToolWindow) == 0 || toolWindow_) return;
    toolWindow_ = true;
    if (window_ == nullptr) return;
    const bool visible = window_->isVisible();
    window_->setWindowFlag(Qt::Tool, true);
    // Changing the flags takes the window off the screen.
    if (visible) window_->show();
}

void MainWindow::ShowError(const std::string& text) {
    // Also for the session's log: a program started at login may show its
    // box to nobody.
    std::fprintf(stderr, "restlevel: %s\n", text.c_str());
    std::fflush(stderr);
    // Start-up failures come before the window is made.
    QWidget* owner = Visible() ? window_.get() : nullptr;
    QMessageBox::critical(owner, QStringLiteral("RestLevel"), FromBytes(text), QMessageBox::Ok);
}

void MainWindow::Halt(int exitCode) {
    std::fflush(nullptr);
    std::exit(exitCode);
}

void MainWindow::ShellOpen(const std::string&, const std::string& file, int) {
    QDesktopServices::openUrl(QUrl::fromUserInput(FromBytes(file)));
}

char MainWindow::DecimalSeparator() const {
    const QString point = QLocale::system().decimalPoint();
    if (point.size() == 1 && point[0].unicode() < 0x80) return static_cast<char>(point[0].unicode());
    return '.';
}

}  // namespace rl::qt

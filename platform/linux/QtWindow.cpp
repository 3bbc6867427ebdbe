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

void Fire(const EventHandler& handler) {
    if (handler) handler();
}

// Entries keep the exact bytes they were given, so that a text that is not
// valid UTF-8 still comes back as it went in.
constexpr int kTextRole = Qt::UserRole;
constexpr int kDataRole = Qt::UserRole + 1;

std::string RoleBytes(const QVariant& value) {
    const QByteArray bytes = value.toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QByteArray Bytes(const std::string& text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }

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
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Fire(onClick);
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

// Track bar ----------------------------------------------------------------

TrackBar::TrackBar(QWidget* parent, int lineSize, int position) : slider_(new QSlider(Qt::Horizontal, parent)) {
    slider_->setRange(0, kSliderMax);
    slider_->setPageStep(kPageSize);
    slider_->setSingleStep(lineSize);
    slider_->setTickPosition(QSlider::TicksBelow);
    slider_->setTickInterval(kTickEvery);
    slider_->setValue(position);
    QObject::connect(slider_, &QSlider::valueChanged, [this](int) { Fire(); });
    // Emitted before the new position is applied: when it will not change,
    // valueChanged stays silent, so the notification is passed on here.
    QObject::connect(slider_, &QSlider::actionTriggered, [this](int action) {
        if (action != QAbstractSlider::SliderNoAction && slider_->sliderPosition() == slider_->value()) Fire();
    });
    QObject::connect(slider_, &QSlider::sliderReleased, [this] { Fire(); });
}

int TrackBar::Position() const { return slider_->value(); }
void TrackBar::SetPosition(int position) { slider_->setValue(std::clamp(position, 0, kSliderMax)); }
void TrackBar::SetOnChange(EventHandler handler) { onChange_ = std::move(handler); }
void TrackBar::Fire() const { rl::qt::Fire(onChange_); }

// Edit box -----------------------------------------------------------------

EditBox::EditBox(QWidget* parent) : edit_(new QLineEdit(parent)) {
    filter_ = std::make_unique<FocusOutFilter>([this] { Fire(onExit_); });
    edit_->installEventFilter(filter_.get());
}

std::string EditBox::Text() const { return ToBytes(edit_->text()); }
void EditBox::SetText(const std::string& text) { edit_->setText(FromBytes(text)); }
void EditBox::SetOnExit(EventHandler handler) { onExit_ = std::move(handler); }

// Check box ----------------------------------------------------------------

CheckBox::CheckBox(QWidget* parent, const QString& caption) : box_(new QCheckBox(caption, parent)) {
    // toggled covers both the user's click and a programmatic change, and
    // only when the mark really changes.
    QObject::connect(box_, &QCheckBox::toggled, [this](bool) { Fire(onClick_); });
}

bool CheckBox::Checked() const { return box_->isChecked(); }
void CheckBox::SetChecked(bool checked) { box_->setChecked(checked); }
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

Button::Button(QWidget* parent, const QString& caption) : button_(new QPushButton(caption, parent)) {
    button_->setAutoDefault(false);
    QObject::connect(button_, &QPushButton::clicked, [this] { Fire(onClick_); });
}

bool Button::Enabled() const { return button_->isEnabled(); }
void Button::SetEnabled(bool enabled) { button_->setEnabled(enabled); }
void Button::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// Label --------------------------------------------------------------------

Label::Label(QWidget* parent, const QString& caption) : label_(new ClickLabel(caption, parent)) {
    label_->setTextFormat(Qt::PlainText);
}
std::string Label::Caption() const { return ToBytes(label_->text()); }
void Label::SetCaption(const std::string& caption) { label_->setText(FromBytes(caption)); }
void Label::SetOnClick(EventHandler handler) { label_->onClick = std::move(handler); }
QLabel* Label::Widget() const { return label_; }

// Page control -------------------------------------------------------------

PageControl::PageControl(QWidget* parent, const QStringList& captions) : tabs_(new QTabWidget(parent)) {
    for (const QString& caption : captions) tabs_->addTab(new QWidget, caption);
    QObject::connect(tabs_, &QTabWidget::currentChanged, [this](int) {
        if (!programmatic_) Fire(onChange_);
    });
}

int PageControl::ActivePage() const { return tabs_->currentIndex(); }

void PageControl::SetActivePage(int page) {
    programmatic_ = true;
    tabs_->setCurrentIndex(page);
    programmatic_ = false;
}

void PageControl::SetOnChange(EventHandler handler) { onChange_ = std::move(handler); }
QWidget* PageControl::Page(int index) const { return tabs_->widget(index); }

// Combo box ----------------------------------------------------------------

ComboBox::ComboBox(QWidget* parent) : combo_(new QComboBox(parent)) {
    combo_->setEditable(false);
    // activated is the user's pick (mouse or keys); setCurrentIndex does
    // not emit it.
    QObject::connect(combo_, &QComboBox::activated, [this](int) { Fire(onClick_); });
}

int ComboBox::Count() const { return combo_->count(); }
std::string ComboBox::ItemText(int index) const { return RoleBytes(combo_->itemData(index, kTextRole)); }
std::string ComboBox::ItemData(int index) const { return RoleBytes(combo_->itemData(index, kDataRole)); }

int ComboBox::AddItem(const std::string& text, const std::string& data) {
    const QString shown = FromBytes(text);
    // After the last entry that does not sort behind the new one.
    int position = combo_->count();
    while (position > 0 && QString::compare(shown, combo_->itemText(position - 1), Qt::CaseInsensitive) < 0)
        --position;
    const int selected = combo_->currentIndex();
    combo_->insertItem(position, shown);
    combo_->setItemData(position, Bytes(text), kTextRole);
    combo_->setItemData(position, Bytes(data), kDataRole);
    // Qt selects the first entry put into an empty box; a list box of the
    // system stays without a selection.
    if (selected < 0) combo_->setCurrentIndex(-1);
    return position;
}

void ComboBox::DeleteItem(int index) {
    const int selected = combo_->currentIndex();
    combo_->removeItem(index);
    // Qt moves the selection to a neighbour; the system's list drops it.
    if (selected == index) combo_->setCurrentIndex(-1);
}

int ComboBox::ItemIndex() const { return combo_->currentIndex(); }
void ComboBox::SetItemIndex(int index) { combo_->setCurrentIndex(index >= 0 && index < combo_->count() ? index : -1); }

void ComboBox::BeginUpdate() {
    if (updateDepth_++ == 0) combo_->setUpdatesEnabled(false);
}

void ComboBox::EndUpdate() {
    if (updateDepth_ > 0 && --updateDepth_ == 0) combo_->setUpdatesEnabled(true);
}

void ComboBox::SetOnClick(EventHandler handler) { onClick_ = std::move(handler); }

// List box -----------------------------------------------------------------

ListBox::ListBox(QWidget* parent) : list_(new QListWidget(parent)) {
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    list_->setUniformItemSizes(true);
    QObject::connect(list_, &QListWidget::itemSelectionChanged, [this] {
        if (programmatic_ == 0) Fire(onClick_);
    });
}

int ListBox::Count() const { return list_->count(); }

std::string ListBox::Item(int index) const {
    const QListWidgetItem* item = list_->item(index);
    return item == nullptr ? std::string() : RoleBytes(item->data(kTextRole));
}

int ListBox::AddItem(const std::string& text) {
    ++programmatic_;
    auto* item = new QListWidgetItem(FromBytes(text));
    item->setData(kTextRole, Bytes(text));
    list_->addItem(item);
    --programmatic_;
    return list_->count() - 1;
}

void ListBox::DeleteItem(int index) {
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
    ++programmatic_;
    list_->clear();
    --programmatic_;
}

int ListBox::ItemIndex() const {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->row(selected.first());
}

void ListBox::SetItemIndex(int index) {
    ++programmatic_;
    if (index >= 0 && index < list_->count()) {
        list_->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    } else {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
    --programmatic_;
}

// Scrolling is by whole entries, so the scroll bar counts entries.
int ListBox::TopIndex() const { return list_->count() == 0 ? 0 : list_->verticalScrollBar()->value(); }

void ListBox::SetTopIndex(int index) {
    if (index < 0 || index >= list_->count()) return;
    // Lays the entries out first, so that the scroll bar has its range.
    list_->scrollToItem(list_->item(index), QAbstractItemView::PositionAtTop);
    list_->verticalScrollBar()->setValue(index);
}

int ListBox::ItemHeight() const {
    const int height = list_->count() > 0 ? list_->sizeHintForRow(0) : list_->fontMetrics().height();
    return std::max(1, height);
}

int ListBox::ClientHeight() const { return list_->viewport()->height(); }
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

// The window needs its font before any child exists, so that every control
// inherits it and the auto-sized labels measure with it.
std::unique_ptr<FormWidget> MakeFormWidget() {
    auto window = std::make_unique<FormWidget>();
    window->setFont(WindowFont());
    return window;
}

QWidget* BasicPage(PageControl& pages) { return pages.Page(kPageBasic); }
QWidget* ExceptionsPage(PageControl& pages) { return pages.Page(kPageExceptions); }

}  // namespace

MainWindow::MainWindow()
    : window_(MakeFormWidget()),
      pcMain(window_.get(), {QStringLiteral("Basic Settings"), QStringLiteral("Exceptions")}),
      lbCopyright(window_.get(), QString()),
      Label6(window_.get(), QStringLiteral("Site")),
      Label3(BasicPage(pcMain), QStringLiteral("When the computer has been idle for:")),
      tbIdleTime(BasicPage(pcMain), 1, 100),
      ebIdleTime(BasicPage(pcMain)),
      Label4(BasicPage(pcMain), QStringLiteral("minutes")),
      Label1(BasicPage(pcMain), QStringLiteral("Set System Volume to:")),
      tbRestLevel(BasicPage(pcMain), 10, 300),
      ebRestLvl(BasicPage(pcMain)),
      Label2(BasicPage(pcMain), QStringLiteral("%")),
      ckbRelative(BasicPage(pcMain), QStringLiteral("Make adjustment relative to active volume level")),
      Label5(ExceptionsPage(pcMain), QStringLiteral("Add:")),
      cbPrograms(ExceptionsPage(pcMain)),
      lbPrograms(ExceptionsPage(pcMain)),
      btnAdd(ExceptionsPage(pcMain), QStringLiteral("+")),
      btnRemove(ExceptionsPage(pcMain), QStringLiteral("-")),
      pmPopup(std::make_unique<QMenu>()),
      OpenRestLevel1(pmPopup.get(), QStringLiteral("&Open RestLevel"), false),
      DisableRestLevel1(pmPopup.get(), QStringLiteral("&Disable RestLevel"), true),
      Exit1(pmPopup.get(), QStringLiteral("E&xit"), false),
      tiMain(TrayImages(), pmPopup.get()) {
    QWidget* w = window_.get();
    w->setWindowTitle(QStringLiteral("RestLevel"));
    w->setFixedSize(kClientWidth, kClientHeight);
    w->setWindowIcon(QApplication::windowIcon());

    Place(pcMain.Widget(), 9, 8, 342, 169);
    MakeLink(lbCopyright.Widget(), false);
    Place(lbCopyright.Widget(), 21, 188, 242, 13);
    MakeLink(Label6.Widget(), true);
    PlaceText(Label6.Widget(), 311, 188, 22, 13);

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
    Place(lbPrograms.Widget(), 12, 36, 289, 93);
    Place(btnAdd.Widget(), 307, 8, 24, 23);
    Place(btnRemove.Widget(), 307, 36, 24, 23);
    btnAdd.SetEnabled(false);
    btnRemove.SetEnabled(false);

    QWidget::setTabOrder(tbRestLevel.Widget(), ebRestLvl.Widget());
    QWidget::setTabOrder(ebRestLvl.Widget(), tbIdleTime.Widget());
    QWidget::setTabOrder(tbIdleTime.Widget(), ebIdleTime.Widget());
    QWidget::setTabOrder(ebIdleTime.Widget(), ckbRelative.Widget());
    QWidget::setTabOrder(cbPrograms.Widget(), lbPrograms.Widget());
    QWidget::setTabOrder(lbPrograms.Widget(), btnAdd.Widget());
    QWidget::setTabOrder(btnAdd.Widget(), btnRemove.Widget());

    pcMain.SetActivePage(kPageBasic);
}

MainWindow::~MainWindow() = default;

TRestLevelControls MainWindow::Controls() {
    return TRestLevelControls{pcMain,      lbCopyright, Label6,     tbIdleTime, ebIdleTime,     tbRestLevel,
                              ebRestLvl,   ckbRelative, cbPrograms, lbPrograms, btnAdd,         btnRemove,
                              tiMain,      OpenRestLevel1, DisableRestLevel1, Exit1};
}

void MainWindow::SetOnShow(std::function<void()> handler) { window_->onShow = std::move(handler); }
void MainWindow::SetOnClose(std::function<bool()> handler) { window_->onClose = std::move(handler); }
QWidget* MainWindow::Widget() const { return window_.get(); }

WindowHandle MainWindow::Handle() const { return static_cast<WindowHandle>(window_->winId()); }
bool MainWindow::Visible() const { return window_->isVisible(); }

void MainWindow::Show() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void MainWindow::Hide() { window_->hide(); }
void MainWindow::Close() { window_->close(); }

void MainWindow::AddExStyle(std::uint32_t bits) {
    // A tool window has no taskbar entry; the app-window bit only ever adds
    // one, which is what a window without Qt::Tool already has.
    if ((bits & kWsExToolWindow) == 0 || window_->windowFlags().testFlag(Qt::Tool)) return;
    const bool visible = window_->isVisible();
    window_->setWindowFlag(Qt::Tool, true);
    // Changing the flags takes the window off the screen.
    if (visible) window_->show();
}

void MainWindow::ShowError(const std::string& text) {
    QWidget* owner = window_->isVisible() ? window_.get() : nullptr;
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

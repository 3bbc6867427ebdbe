// The settings window and the tray on Qt 6 Widgets: one adapter per control
// interface of platform/Ui.h, each keeping that header's event rules, and
// the window that lays the controls out at their 96-DPI places.
//
// Most starts never show the window, and its widgets are most of the
// program's memory (they load the style and the fonts). So each control
// keeps its state itself until the window is first shown; then the widgets
// are made from that state and take over. The tray icon and its menu exist
// from the start.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/RestLevel01.h"
#include "platform/Controls.h"
#include "platform/Ui.h"

namespace rl::qt {

// Runs after every control handler (a setting or a mark may have changed).
void SetAfterHandlerHook(std::function<void()> hook);

// A slider. Programmatic moves fire through valueChanged; a user action
// that leaves the position where it was fires from actionTriggered (Qt
// only emits valueChanged for a change), and the end of a drag fires once
// more, as a track bar's end-of-track notification does.
class TrackBar : public ITrackBar {
public:
    TrackBar(int lineSize, int position);
    void Realize(QWidget* parent);
    int Position() const override;
    void SetPosition(int position) override;
    void SetOnChange(EventHandler handler) override;
    QSlider* Widget() const { return slider_; }

private:
    int lineSize_;
    int position_;
    QSlider* slider_ = nullptr;
    EventHandler onChange_;
};

// A one-line edit box; its handler runs when the focus moves to another
// control of the window (not when the whole window loses activation).
class EditBox : public IEditBox {
public:
    EditBox();
    ~EditBox() override;
    void Realize(QWidget* parent);
    std::string Text() const override;
    void SetText(const std::string& text) override;
    void SetOnExit(EventHandler handler) override;
    QLineEdit* Widget() const { return edit_; }

private:
    std::string text_;
    QLineEdit* edit_ = nullptr;
    EventHandler onExit_;
    std::unique_ptr<QObject> filter_;
};

// A check box: every change of the mark fires, by the user or the program.
class CheckBox : public ICheckControl {
public:
    explicit CheckBox(QString caption);
    void Realize(QWidget* parent);
    bool Checked() const override;
    void SetChecked(bool checked) override;
    void SetOnClick(EventHandler handler) override;
    QCheckBox* Widget() const { return box_; }

private:
    QString caption_;
    bool checked_ = false;
    QCheckBox* box_ = nullptr;
    EventHandler onClick_;
};

// A menu item. Qt flips a checkable action's mark before it reports the
// click; the mark is put back so that only the handler decides it.
class MenuItem : public IMenuItem {
public:
    MenuItem(QMenu* menu, const QString& caption, bool checkable);
    bool Checked() const override;
    void SetChecked(bool checked) override;
    void SetOnClick(EventHandler handler) override;
    QAction* Action() const { return action_; }

private:
    QAction* action_;
    EventHandler onClick_;
};

class Button : public IButton {
public:
    explicit Button(QString caption);
    void Realize(QWidget* parent);
    bool Enabled() const override;
    void SetEnabled(bool enabled) override;
    void SetOnClick(EventHandler handler) override;
    QPushButton* Widget() const { return button_; }

private:
    QString caption_;
    bool enabled_ = true;
    QPushButton* button_ = nullptr;
    EventHandler onClick_;
};

class Label : public ILabel {
public:
    explicit Label(QString caption);
    void Realize(QWidget* parent);
    std::string Caption() const override;
    void SetCaption(const std::string& caption) override;
    void SetOnClick(EventHandler handler) override;
    QLabel* Widget() const { return label_; }

private:
    QString caption_;
    QLabel* label_ = nullptr;
    EventHandler onClick_;
};

// Pages by index; only the user's change of page fires.
class PageControl : public IPageControl {
public:
    explicit PageControl(QStringList captions);
    void Realize(QWidget* parent);
    int ActivePage() const override;
    void SetActivePage(int page) override;
    void SetOnChange(EventHandler handler) override;
    QTabWidget* Widget() const { return tabs_; }
    QWidget* Page(int index) const;

private:
    QStringList captions_;
    int page_ = 0;
    QTabWidget* tabs_ = nullptr;
    bool programmatic_ = false;
    EventHandler onChange_;
};

// A pick-only drop-down list kept in order of its texts without regard to
// case, each entry with a string of data. Starts and stays without a
// selection until one is made.
class ComboBox : public IComboBox {
public:
    ComboBox() = default;
    void Realize(QWidget* parent);
    int Count() const override;
    std::string ItemText(int index) const override;
    std::string ItemData(int index) const override;
    int AddItem(const std::string& text, const std::string& data) override;
    void DeleteItem(int index) override;
    int ItemIndex() const override;
    void SetItemIndex(int index) override;
    void BeginUpdate() override;
    void EndUpdate() override;
    void SetOnClick(EventHandler handler) override;
    QComboBox* Widget() const { return combo_; }

private:
    struct Entry {
        std::string text;
        std::string data;
        QString shown;
    };
    std::vector<Entry> entries_;  // the widget's entries, in its order
    int index_ = -1;
    int updateDepth_ = 0;
    QComboBox* combo_ = nullptr;
    EventHandler onClick_;
};

// An unsorted single-selection list; the user's selections fire, the
// program's do not.
class ListBox : public IListBox {
public:
    ListBox() = default;
    void Realize(QWidget* parent);
    int Count() const override;
    std::string Item(int index) const override;
    int AddItem(const std::string& text) override;
    void DeleteItem(int index) override;
    void Clear() override;
    int ItemIndex() const override;
    void SetItemIndex(int index) override;
    int TopIndex() const override;
    void SetTopIndex(int index) override;
    int ItemHeight() const override;
    int ClientHeight() const override;
    void SetOnClick(EventHandler handler) override;
    QListWidget* Widget() const { return list_; }

private:
    std::vector<std::string> items_;  // the widget's entries
    int index_ = -1;
    int top_ = 0;
    QListWidget* list_ = nullptr;
    int programmatic_ = 0;
    EventHandler onClick_;
};

// The notification-area icon with its three images and its menu.
class TrayIcon : public ITrayIcon {
public:
    TrayIcon(std::array<QIcon, 3> images, QMenu* menu);
    int ImageIndex() const override;
    void SetImageIndex(int index) override;
    void SetHint(const std::string& hint) override;
    void SetOnClick(EventHandler handler) override;
    QSystemTrayIcon& Icon() { return icon_; }
    // Shows the icon; a desktop without a tray simply has none.
    void Show();

private:
    std::array<QIcon, 3> images_;
    QSystemTrayIcon icon_;
    int index_ = 0;
    EventHandler onClick_;
};

// The application's cursor: the hourglass stacks once over whatever the
// widgets show, and 0 takes it away again.
class ScreenCursor : public IScreenCursor {
public:
    void SetCursor(int cursor) override;

private:
    bool overridden_ = false;
};

class FormWidget;

// The settings window with its controls, the tray icon and its menu. The
// form's handlers are attached by TfrmRestLevel itself; the window only
// needs to know what showing and closing mean (FormShow, FormClose).
class MainWindow : public IFormHost {
public:
    // Client size at 96 DPI.
    static constexpr int kClientWidth = 359;
    // The design's 214, and room for the automatic exceptions' box.
    static constexpr int kExtraHeight = 24;
    static constexpr int kClientHeight = 214 + kExtraHeight;

    MainWindow();
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    TRestLevelControls Controls();
    // Runs each time the window becomes visible.
    void SetOnShow(std::function<void()> handler);
    // Asked when the window is closed: true lets the close go ahead, which
    // ends the program (the event loop is left with code 0).
    void SetOnClose(std::function<bool()> handler);
    // The window's widget, made (with every control's) on first use.
    QWidget* Widget();
    bool Realized() const { return window_ != nullptr; }
    // The session tells nothing about the program in front: the Exceptions
    // page says under the list that the list cannot apply.
    void SetForegroundUnknown(bool unknown);

    // IFormHost
    WindowHandle Handle() const override;
    bool Visible() const override;
    void Show() override;
    void Hide() override;
    void Close() override;
    void AddExStyle(std::uint32_t bits) override;
    void ShowError(const std::string& text) override;
    void Halt(int exitCode) override;
    void ShellOpen(const std::string& verb, const std::string& file, int show) override;
    char DecimalSeparator() const override;

    // The controls, in the window's own names.
    PageControl pcMain;
    Label lbCopyright;
    Label Label6;
    Label Label3;
    TrackBar tbIdleTime;
    EditBox ebIdleTime;
    Label Label4;
    Label Label1;
    TrackBar tbRestLevel;
    EditBox ebRestLvl;
    Label Label2;
    CheckBox ckbRelative;
    Label Label5;
    ComboBox cbPrograms;
    ListBox lbPrograms;
    Button btnAdd;
    Button btnRemove;
    CheckBox ckbAutoExceptions;
    Label lbNoForeground;
    std::unique_ptr<QMenu> pmPopup;
    MenuItem OpenRestLevel1;
    MenuItem DisableRestLevel1;
    MenuItem Exit1;
    TrayIcon tiMain;

private:
    void Realize();
    void PlaceProgramList();

    std::unique_ptr<FormWidget> window_;
    bool toolWindow_ = false;
    bool foregroundUnknown_ = false;
    std::function<void()> onShow_;
    std::function<bool()> onClose_;
};

// The program's font: Tahoma at 11 pixels (8 points at 96 DPI), or the
// desktop's sans font at that height where Tahoma is missing.
QFont WindowFont();

}  // namespace rl::qt

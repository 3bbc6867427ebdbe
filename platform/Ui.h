// The controls of the settings window and the tray, as the window's portable
// handlers see them. Each toolkit adapter keeps these event rules:
// - a programmatic change of a slider position or of a check box's mark
//   fires the change or click handler when the value changes (and only
//   then); a menu item's check mark fires nothing;
// - a user scroll fires the slider's handler on every notification, also at
//   the end of a drag when the position stayed;
// - an edit box fires its handler when it loses the focus;
// - list and drop-down clicks fire when the user makes a selection, never
//   on a programmatic one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Controls.h"
#include "platform/Snapshots.h"
#include "platform/Types.h"

namespace rl {

using EventHandler = std::function<void()>;

class ITrackBar {
public:
    virtual ~ITrackBar() = default;
    virtual int Position() const = 0;
    // Clamped to the bar's range.
    virtual void SetPosition(int position) = 0;
    virtual void SetOnChange(EventHandler handler) = 0;
};

class IEditBox {
public:
    virtual ~IEditBox() = default;
    virtual std::string Text() const = 0;
    virtual void SetText(const std::string& text) = 0;
    // Leaving the box.
    virtual void SetOnExit(EventHandler handler) = 0;
};

// A check box: a programmatic change of its check mark fires its click
// handler, as a click does.
class ICheckControl : public ICheckMark {
public:
    virtual void SetOnClick(EventHandler handler) = 0;
};

// A menu item with an optional check mark; only a click fires its handler.
class IMenuItem : public ICheckMark {
public:
    virtual void SetOnClick(EventHandler handler) = 0;
};

class IButton {
public:
    virtual ~IButton() = default;
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual void SetOnClick(EventHandler handler) = 0;
};

class ILabel {
public:
    virtual ~ILabel() = default;
    virtual std::string Caption() const = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void SetOnClick(EventHandler handler) = 0;
};

// A page control; pages by index. A programmatic change fires nothing.
class IPageControl {
public:
    virtual ~IPageControl() = default;
    virtual int ActivePage() const = 0;
    virtual void SetActivePage(int page) = 0;
    virtual void SetOnChange(EventHandler handler) = 0;
};

// A sorted pick-only drop-down list; each entry carries a string of data.
// Indices are 0-based; -1 = no selection.
class IComboBox {
public:
    virtual ~IComboBox() = default;
    virtual int Count() const = 0;
    virtual std::string ItemText(int index) const = 0;
    virtual std::string ItemData(int index) const = 0;
    // Inserts at the entry's sorted place; gives its index.
    virtual int AddItem(const std::string& text, const std::string& data) = 0;
    virtual void DeleteItem(int index) = 0;
    virtual int ItemIndex() const = 0;
    virtual void SetItemIndex(int index) = 0;
    // Suspends and resumes redrawing.
    virtual void BeginUpdate() = 0;
    virtual void EndUpdate() = 0;
    virtual void SetOnClick(EventHandler handler) = 0;
};

// An unsorted list box. Indices are 0-based; -1 = no selection.
class IListBox : public IItemList {
public:
    virtual int AddItem(const std::string& text) = 0;
    virtual void DeleteItem(int index) = 0;
    virtual void Clear() = 0;
    virtual int ItemIndex() const = 0;
    virtual void SetItemIndex(int index) = 0;
    // Scrolling: the first visible entry; the height of an entry and of the
    // client area in pixels.
    virtual int TopIndex() const = 0;
    virtual void SetTopIndex(int index) = 0;
    virtual int ItemHeight() const = 0;
    virtual int ClientHeight() const = 0;
    virtual void SetOnClick(EventHandler handler) = 0;
};

// The notification-area icon: its image index picks one of the three
// images; its hint is its tooltip. A left click fires the click handler; a
// right click opens the menu, which the adapter owns.
class ITrayIcon : public ITrayState {
public:
    virtual void SetOnClick(EventHandler handler) = 0;
};

// With kWsExToolWindow (Snapshots.h): whether a window has a taskbar button.
constexpr std::uint32_t kWsExAppWindow = 0x00040000;

constexpr int kSwShow = 5;

// The main window itself and what the program does around it.
class IFormHost {
public:
    virtual ~IFormHost() = default;
    virtual WindowHandle Handle() const = 0;
    virtual bool Visible() const = 0;
    // Shows the window and brings it to the front.
    virtual void Show() = 0;
    virtual void Hide() = 0;
    // Closes the window as its close box does (the form decides what
    // closing means).
    virtual void Close() = 0;
    // ORs extended style bits into the window.
    virtual void AddExStyle(std::uint32_t bits) = 0;
    // An error message box with a single OK button.
    virtual void ShowError(const std::string& text) = 0;
    // Ends the process at once with the given exit code.
    virtual void Halt(int exitCode) = 0;
    // Hands a document or address to the shell (ShellExecute); the result is
    // not examined.
    virtual void ShellOpen(const std::string& verb, const std::string& file, int show) = 0;
    // The user's locale's decimal separator.
    virtual char DecimalSeparator() const = 0;
};

}  // namespace rl

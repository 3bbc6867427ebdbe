// Fakes of the window's controls with the toolkit's event rules: programmatic
// changes fire only when the value changes, user actions always fire.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/Ui.h"

namespace rl::fake {

inline void Fire(const EventHandler& handler) {
    if (handler) handler();
}

class TrackBar : public ITrackBar {
public:
    TrackBar(int min, int max, int position) : min_(min), max_(max), position_(position) {}
    int Position() const override { return position_; }
    void SetPosition(int position) override {
        position = std::clamp(position, min_, max_);
        if (position == position_) return;
        position_ = position;
        ++changes;
        Fire(onChange_);
    }
    void SetOnChange(EventHandler handler) override { onChange_ = std::move(handler); }
    // A user's scroll: the handler runs even when the position stays.
    void UserScroll(int position) {
        position_ = std::clamp(position, min_, max_);
        ++changes;
        Fire(onChange_);
    }
    int changes = 0;  // handler runs

private:
    int min_, max_, position_;
    EventHandler onChange_;
};

class EditBox : public IEditBox {
public:
    std::string text;
    std::string Text() const override { return text; }
    void SetText(const std::string& t) override { text = t; }
    void SetOnExit(EventHandler handler) override { onExit_ = std::move(handler); }
    // The user types and then leaves the box.
    void UserEnter(const std::string& typed) {
        text = typed;
        Fire(onExit_);
    }

private:
    EventHandler onExit_;
};

class CheckControl : public ICheckControl {
public:
    bool checked = false;
    int clicks = 0;
    bool Checked() const override { return checked; }
    void SetChecked(bool value) override {
        if (value == checked) return;
        checked = value;
        ++clicks;
        Fire(onClick_);
    }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    // A check box toggles itself before its handler runs.
    void UserClick() {
        checked = !checked;
        ++clicks;
        Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

class MenuItem : public IMenuItem {
public:
    bool checked = false;
    bool Checked() const override { return checked; }
    void SetChecked(bool value) override { checked = value; }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void UserClick() { Fire(onClick_); }

private:
    EventHandler onClick_;
};

class Button : public IButton {
public:
    bool enabled = true;
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void UserClick() {
        if (enabled) Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

class Label : public ILabel {
public:
    std::string caption;
    std::string Caption() const override { return caption; }
    void SetCaption(const std::string& c) override { caption = c; }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void UserClick() { Fire(onClick_); }

private:
    EventHandler onClick_;
};

class PageControl : public IPageControl {
public:
    int page = 0;
    int ActivePage() const override { return page; }
    void SetActivePage(int p) override { page = p; }
    void SetOnChange(EventHandler handler) override { onChange_ = std::move(handler); }
    void UserSelect(int p) {
        if (p == page) return;
        page = p;
        Fire(onChange_);
    }

private:
    EventHandler onChange_;
};

// Sorted without regard to case, as the system's sorted lists are.
class ComboBox : public IComboBox {
public:
    struct Entry {
        std::string text;
        std::string data;
    };
    std::vector<Entry> entries;
    int index = -1;
    int updateDepth = 0;
    int deletions = 0;
    std::vector<int> deletedIndices;

    int Count() const override { return static_cast<int>(entries.size()); }
    std::string ItemText(int i) const override { return entries.at(static_cast<std::size_t>(i)).text; }
    std::string ItemData(int i) const override { return entries.at(static_cast<std::size_t>(i)).data; }
    int AddItem(const std::string& text, const std::string& data) override;
    void DeleteItem(int i) override;
    int ItemIndex() const override { return index; }
    void SetItemIndex(int i) override { index = i; }
    void BeginUpdate() override { ++updateDepth; }
    void EndUpdate() override { --updateDepth; }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void UserSelect(int i) {
        index = i;
        Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

class ListBox : public IListBox {
public:
    std::vector<std::string> items;
    int index = -1;
    int top = 0;
    int itemHeight = 13;
    int clientHeight = 91;  // seven entries

    int Count() const override { return static_cast<int>(items.size()); }
    std::string Item(int i) const override { return items.at(static_cast<std::size_t>(i)); }
    int AddItem(const std::string& text) override {
        items.push_back(text);
        return Count() - 1;
    }
    void DeleteItem(int i) override {
        items.erase(items.begin() + i);
        if (index == i) index = -1;
        else if (index > i) --index;
    }
    void Clear() override {
        items.clear();
        index = -1;
        top = 0;
    }
    int ItemIndex() const override { return index; }
    void SetItemIndex(int i) override { index = i; }
    int TopIndex() const override { return top; }
    void SetTopIndex(int i) override { top = i; }
    int ItemHeight() const override { return itemHeight; }
    int ClientHeight() const override { return clientHeight; }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void UserSelect(int i) {
        index = i;
        Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

class TrayIcon : public ITrayIcon {
public:
    int image = 0;
    std::string hint = "RestLevel";
    int ImageIndex() const override { return image; }
    void SetImageIndex(int i) override { image = i; }
    void SetHint(const std::string& h) override { hint = h; }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void UserClick() { Fire(onClick_); }

private:
    EventHandler onClick_;
};

// The window: showing runs the form's show handler, closing asks the form.
class FormHost : public IFormHost {
public:
    bool visible = false;
    std::uint32_t exStyle = 0;
    std::vector<std::string> errors;
    std::vector<int> halts;
    std::vector<std::pair<std::string, std::string>> opened;  // verb, file
    std::vector<int> openShows;
    char separator = '.';
    bool ended = false;  // the close went ahead
    int shows = 0;
    std::function<void()> onShow;    // FormShow
    std::function<bool()> onClose;   // FormClose

    WindowHandle Handle() const override { return 0x4711; }
    bool Visible() const override { return visible; }
    void Show() override {
        ++shows;
        if (visible) return;
        visible = true;
        if (onShow) onShow();
    }
    void Hide() override { visible = false; }
    void Close() override {
        if (onClose && onClose()) {
            ended = true;
            visible = false;
        }
    }
    void AddExStyle(std::uint32_t bits) override { exStyle |= bits; }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    void Halt(int exitCode) override { halts.push_back(exitCode); }
    void ShellOpen(const std::string& verb, const std::string& file, int show) override {
        opened.emplace_back(verb, file);
        openShows.push_back(show);
    }
    char DecimalSeparator() const override { return separator; }
};

}  // namespace rl::fake

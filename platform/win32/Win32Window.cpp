#include "platform/win32/Win32Window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/Win32WindowSupport.h"
#include "resources/resource.h"

namespace rl::win32 {

namespace {

constexpr int kClientWidth = 359;
// The design's 214, and room for the automatic exceptions' box.
constexpr int kExtraHeight = 24;
constexpr int kClientHeight = 214 + kExtraHeight;
constexpr int kSnapDistance = 10;
constexpr int kSliderMax = 1000;
constexpr int kTrayImages = 3;
constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr char kPageClass[] = "RestLevel.Page";
// A fixed single border with the system menu only.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

// Control events reach the form only while it is attached.
struct Events {
    bool on = true;
    void Fire(const EventHandler& handler) const {
        if (on && handler) handler();
    }
};

// A control that gets its parent's notifications.
class Child {
public:
    explicit Child(Events& events) : events_(events) {}
    virtual ~Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    virtual void OnCommand(WORD) {}
    virtual void OnScroll() {}
    virtual void OnNotify(const NMHDR&) {}

    HWND hwnd = nullptr;

protected:
    const Events& events_;
};

// TBM_SETPOS does not notify, so a programmatic move fires here, and only
// when the position changed; every scroll notification of the user fires,
// the end of a drag included.
class TrackBar : public ITrackBar, public Child {
public:
    using Child::Child;
    int Position() const override { return static_cast<int>(SendMessageA(hwnd, TBM_GETPOS, 0, 0)); }
    void SetPosition(int position) override {
        const int low = static_cast<int>(SendMessageA(hwnd, TBM_GETRANGEMIN, 0, 0));
        const int high = static_cast<int>(SendMessageA(hwnd, TBM_GETRANGEMAX, 0, 0));
        position = std::clamp(position, low, std::max(low, high));
        if (position == Position()) return;
        SendMessageA(hwnd, TBM_SETPOS, TRUE, position);
        events_.Fire(onChange_);
    }
    void SetOnChange(EventHandler handler) override { onChange_ = std::move(handler); }
    void OnScroll() override { events_.Fire(onChange_); }

private:
    EventHandler onChange_;
};

class EditBox : public IEditBox, public Child {
public:
    using Child::Child;
    std::string Text() const override { return WindowText(hwnd); }
    void SetText(const std::string& text) override { SetWindowTextA(hwnd, text.c_str()); }
    void SetOnExit(EventHandler handler) override { onExit_ = std::move(handler); }
    void OnCommand(WORD code) override {
        if (code == EN_KILLFOCUS) events_.Fire(onExit_);
    }

private:
    EventHandler onExit_;
};

// BM_SETCHECK does not notify: a programmatic change fires here when the
// mark changed; the user's click arrives as BN_CLICKED after the box
// toggled itself.
class CheckBox : public ICheckControl, public Child {
public:
    using Child::Child;
    bool Checked() const override { return SendMessageA(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void SetChecked(bool checked) override {
        if (checked == Checked()) return;
        SendMessageA(hwnd, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
        events_.Fire(onClick_);
    }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void OnCommand(WORD code) override {
        if (code == BN_CLICKED) events_.Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

class Button : public IButton, public Child {
public:
    using Child::Child;
    bool Enabled() const override { return IsWindowEnabled(hwnd) != FALSE; }
    void SetEnabled(bool enabled) override { EnableWindow(hwnd, enabled ? TRUE : FALSE); }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void OnCommand(WORD code) override {
        if (code == BN_CLICKED) events_.Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

// A static text; SS_NOTIFY makes it report clicks.
class Label : public ILabel, public Child {
public:
    using Child::Child;
    std::string Caption() const override { return WindowText(hwnd); }
    void SetCaption(const std::string& caption) override { SetWindowTextA(hwnd, caption.c_str()); }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void OnCommand(WORD code) override {
        if (code == STN_CLICKED) events_.Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

// The tab control and its pages, which are sibling windows laid over its
// display area. A programmatic change fires nothing; the user's change
// fires after the pages were switched.
class PageControl : public IPageControl, public Child {
public:
    using Child::Child;
    int ActivePage() const override { return static_cast<int>(SendMessageA(hwnd, TCM_GETCURSEL, 0, 0)); }
    void SetActivePage(int page) override {
        SendMessageA(hwnd, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
        ShowPages();
    }
    void SetOnChange(EventHandler handler) override { onChange_ = std::move(handler); }
    void OnNotify(const NMHDR& header) override {
        if (header.code != static_cast<UINT>(TCN_SELCHANGE)) return;
        ShowPages();
        events_.Fire(onChange_);
    }
    // A page chosen by keyboard shortcut counts as the user's choice.
    void UserSelect(int page) {
        if (page == ActivePage()) return;
        SendMessageA(hwnd, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
        ShowPages();
        events_.Fire(onChange_);
    }

    std::vector<HWND> pages;

private:
    void ShowPages() {
        const int active = ActivePage();
        // The focus must not stay behind on a hidden page.
        const HWND focus = GetFocus();
        for (std::size_t i = 0; i < pages.size(); ++i) {
            if (static_cast<int>(i) == active) continue;
            if (focus != nullptr && IsChild(pages[i], focus)) SetFocus(hwnd);
            ShowWindow(pages[i], SW_HIDE);
        }
        if (active >= 0 && static_cast<std::size_t>(active) < pages.size()) ShowWindow(pages[active], SW_SHOW);
    }

    EventHandler onChange_;
};

// A sorted drop-down list; each entry owns a copy of its data string.
class ComboBox : public IComboBox, public Child {
public:
    using Child::Child;
    int Count() const override { return std::max(0, static_cast<int>(SendMessageA(hwnd, CB_GETCOUNT, 0, 0))); }
    std::string ItemText(int index) const override {
        const LRESULT length = SendMessageA(hwnd, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
        if (length < 0) return {};
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        const LRESULT got = SendMessageA(hwnd, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                         reinterpret_cast<LPARAM>(text.data()));
        text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        return text;
    }
    std::string ItemData(int index) const override {
        const std::string* data = Data(index);
        return data != nullptr ? *data : std::string();
    }
    int AddItem(const std::string& text, const std::string& data) override {
        const LRESULT index = SendMessageA(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        if (index < 0) return -1;
        auto* owned = new std::string(data);
        if (SendMessageA(hwnd, CB_SETITEMDATA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(owned)) ==
            CB_ERR) {
            delete owned;
            SendMessageA(hwnd, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
            return -1;
        }
        return static_cast<int>(index);
    }
    void DeleteItem(int index) override {
        const std::string* data = Data(index);
        if (SendMessageA(hwnd, CB_DELETESTRING, static_cast<WPARAM>(index), 0) != CB_ERR) delete data;
    }
    int ItemIndex() const override { return static_cast<int>(SendMessageA(hwnd, CB_GETCURSEL, 0, 0)); }
    void SetItemIndex(int index) override { SendMessageA(hwnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }
    void BeginUpdate() override {
        if (updates_++ == 0) SendMessageA(hwnd, WM_SETREDRAW, FALSE, 0);
    }
    void EndUpdate() override {
        if (updates_ == 0 || --updates_ > 0) return;
        SendMessageA(hwnd, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(hwnd, nullptr, TRUE);
    }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void OnCommand(WORD code) override {
        if (code == CBN_SELCHANGE) events_.Fire(onClick_);
    }
    // The window is going: entries still listed give back their data.
    void FreeAll() {
        for (int i = Count() - 1; i >= 0; --i) {
            delete Data(i);
            SendMessageA(hwnd, CB_SETITEMDATA, static_cast<WPARAM>(i), 0);
        }
    }

private:
    std::string* Data(int index) const {
        const LRESULT data = SendMessageA(hwnd, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
        return data == CB_ERR ? nullptr : reinterpret_cast<std::string*>(data);
    }

    int updates_ = 0;
    EventHandler onClick_;
};

class ListBox : public IListBox, public Child {
public:
    using Child::Child;
    int Count() const override { return std::max(0, static_cast<int>(SendMessageA(hwnd, LB_GETCOUNT, 0, 0))); }
    std::string Item(int index) const override {
        const LRESULT length = SendMessageA(hwnd, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
        if (length < 0) return {};
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        const LRESULT got =
            SendMessageA(hwnd, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
        text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        return text;
    }
    int AddItem(const std::string& text) override {
        return static_cast<int>(SendMessageA(hwnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    void DeleteItem(int index) override { SendMessageA(hwnd, LB_DELETESTRING, static_cast<WPARAM>(index), 0); }
    void Clear() override { SendMessageA(hwnd, LB_RESETCONTENT, 0, 0); }
    int ItemIndex() const override { return static_cast<int>(SendMessageA(hwnd, LB_GETCURSEL, 0, 0)); }
    void SetItemIndex(int index) override { SendMessageA(hwnd, LB_SETCURSEL, static_cast<WPARAM>(index), 0); }
    int TopIndex() const override { return static_cast<int>(SendMessageA(hwnd, LB_GETTOPINDEX, 0, 0)); }
    void SetTopIndex(int index) override { SendMessageA(hwnd, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0); }
    int ItemHeight() const override { return static_cast<int>(SendMessageA(hwnd, LB_GETITEMHEIGHT, 0, 0)); }
    int ClientHeight() const override {
        RECT client{};
        GetClientRect(hwnd, &client);
        return client.bottom - client.top;
    }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void OnCommand(WORD code) override {
        if (code == LBN_SELCHANGE) events_.Fire(onClick_);
    }

private:
    EventHandler onClick_;
};

// A menu item's check mark fires nothing; only a click does.
class MenuItem : public IMenuItem {
public:
    MenuItem(Events& events, UINT id) : events_(events), id_(id) {}
    bool Checked() const override { return checked_; }
    void SetChecked(bool checked) override {
        checked_ = checked;
        if (menu != nullptr) CheckMenuItem(menu, id_, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
    }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void Click() { events_.Fire(onClick_); }
    UINT Id() const { return id_; }

    HMENU menu = nullptr;

private:
    const Events& events_;
    UINT id_;
    bool checked_ = false;
    EventHandler onClick_;
};

// The notification-area icon. It keeps its image index while the shell has
// no icon of ours, so that adding it again shows the right picture.
class TrayIcon : public ITrayIcon {
public:
    explicit TrayIcon(Events& events) : events_(events) {}
    int ImageIndex() const override { return index_; }
    void SetImageIndex(int index) override {
        if (index == index_) return;
        index_ = index;
        if (added_) Notify(NIM_MODIFY);
    }
    void SetHint(const std::string& hint) override {
        if (hint == hint_) return;
        hint_ = hint;
        if (added_) Notify(NIM_MODIFY);
    }
    void SetOnClick(EventHandler handler) override { onClick_ = std::move(handler); }
    void Click() { events_.Fire(onClick_); }

    bool Add() {
        wanted_ = true;
        if (!added_) added_ = Notify(NIM_ADD);
        return added_;
    }
    void Remove() {
        if (added_) Notify(NIM_DELETE);
        added_ = false;
        wanted_ = false;
    }
    // Explorer started anew and forgot every icon.
    void AddAgain() {
        if (!wanted_) return;
        added_ = Notify(NIM_ADD);
    }

    // The wide form: the hint is UTF-8 whatever the code page.
    NOTIFYICONDATAW Data() const {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof(data);
        data.hWnd = window;
        data.uID = kTrayId;
        data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
        data.uCallbackMessage = kTrayMessage;
        data.hIcon = index_ >= 0 && index_ < kTrayImages ? images[index_] : nullptr;
        const int room = static_cast<int>(sizeof(data.szTip) / sizeof(data.szTip[0]));
        if (MultiByteToWideChar(CP_UTF8, 0, hint_.c_str(), -1, data.szTip, room) == 0) {
            // Too long for the tip (or not UTF-8): the title alone.
            MultiByteToWideChar(CP_UTF8, 0, kTitle, -1, data.szTip, room);
        }
        return data;
    }

    HWND window = nullptr;
    HICON images[kTrayImages] = {};

private:
    bool Notify(DWORD action) {
        NOTIFYICONDATAW data = Data();
        return Shell_NotifyIconW(action, &data) != FALSE;
    }

    const Events& events_;
    int index_ = 0;
    std::string hint_ = kTitle;
    bool wanted_ = false;
    bool added_ = false;
    EventHandler onClick_;
};

// Where a control sits at 96 DPI, relative to its container. Labels with
// no given size take the size of their text.
struct Placement {
    HWND hwnd;
    int x, y, width, height;
    bool autoSize;
};

}  // namespace

struct MainWindow::Impl : public IFormHost {
    explicit Impl(HINSTANCE module) : instance(module) {}
    ~Impl() override = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Window life ---------------------------------------------------------

    void Create();
    void Destroy();
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool Route(HWND control, WORD code);
    void RouteScroll(HWND control);
    void RouteNotify(const NMHDR& header);

    HWND CreateChild(HWND parent, DWORD exStyle, const char* windowClass, const char* text, DWORD style, int id);
    HWND CreatePage(int id, bool visible);
    void Place(HWND control, int x, int y, int width, int height) {
        placements.push_back({control, x, y, width, height, false});
    }
    void PlaceLabel(HWND control, int x, int y) { placements.push_back({control, x, y, 0, 0, true}); }

    int Scale(int value) const { return MulDiv(value, dpi, kDesignDpi); }
    void ApplyDpi(int newDpi);
    void Layout();
    void FitFrame();
    void Snap(RECT& rect) const;
    void RestoreFocus();
    void ShowTrayMenu();
    void MenuCommand(UINT id);

    // IFormHost -----------------------------------------------------------

    WindowHandle Handle() const override { return reinterpret_cast<WindowHandle>(hwnd); }
    bool Visible() const override { return IsWindowVisible(hwnd) != FALSE; }
    void Show() override {
        ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
        SetForegroundWindow(hwnd);
        BringWindowToTop(hwnd);
    }
    void Hide() override { ShowWindow(hwnd, SW_HIDE); }
    void Close() override { SendMessageA(hwnd, WM_CLOSE, 0, 0); }
    void AddExStyle(std::uint32_t bits) override {
        const LONG_PTR exStyle = GetWindowLongPtrA(hwnd, GWL_EXSTYLE);
        SetWindowLongPtrA(hwnd, GWL_EXSTYLE, exStyle | static_cast<LONG_PTR>(bits));
        // A tool window has a smaller caption; the client area keeps its size.
        FitFrame();
    }
    void ShowError(const std::string& text) override {
        MessageBoxA(IsWindow(hwnd) ? hwnd : nullptr, text.c_str(), kTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    }
    void Halt(int exitCode) override {
        tiMain.Remove();
        ExitProcess(static_cast<UINT>(exitCode));
    }
    void ShellOpen(const std::string& verb, const std::string& file, int show) override {
        ShellExecuteA(hwnd, verb.c_str(), file.c_str(), nullptr, nullptr, show);
    }
    char DecimalSeparator() const override {
        char separator[8] = {};
        if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof(separator)) > 1)
            return separator[0];
        return '.';
    }

    // State ---------------------------------------------------------------

    HINSTANCE instance;
    HWND hwnd = nullptr;
    HWND pageBasic = nullptr;
    HWND pageExceptions = nullptr;
    int dpi = kDesignDpi;
    HFONT font = nullptr;
    HFONT linkFont = nullptr;
    HFONT siteFont = nullptr;
    HMENU menu = nullptr;
    HWND lastFocus = nullptr;
    bool shown = false;
    UINT taskbarCreated = 0;
    UINT showRequest = 0;
    Events events;
    FormEvents form;
    std::vector<Placement> placements;
    std::vector<Child*> children;

    PageControl pcMain{events};
    Label lbCopyright{events};
    Label Label6{events};
    TrackBar tbIdleTime{events};
    EditBox ebIdleTime{events};
    TrackBar tbRestLevel{events};
    EditBox ebRestLvl{events};
    CheckBox ckbRelative{events};
    ComboBox cbPrograms{events};
    ListBox lbPrograms{events};
    Button btnAdd{events};
    Button btnRemove{events};
    CheckBox ckbAutoExceptions{events};
    TrayIcon tiMain{events};
    MenuItem OpenRestLevel1{events, kCmdOpen};
    MenuItem DisableRestLevel1{events, kCmdDisable};
    MenuItem Exit1{events, kCmdExit};
};

namespace {

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return RouteToOwner<MainWindow::Impl>(window, message, wParam, lParam, DefWindowProcA);
}

// The pages are windows of a dialog class: the dialog manager gives their
// controls the tab control's background when a visual style is active.
INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MainWindow::Impl*>(GetWindowLongPtrA(page, GWLP_USERDATA));
    if (self == nullptr) return FALSE;
    switch (message) {
        case WM_COMMAND:
            return self->Route(reinterpret_cast<HWND>(lParam), HIWORD(wParam)) ? TRUE : FALSE;
        case WM_HSCROLL:
            self->RouteScroll(reinterpret_cast<HWND>(lParam));
            return TRUE;
        case WM_NOTIFY:
            self->RouteNotify(*reinterpret_cast<const NMHDR*>(lParam));
            return FALSE;
        default:
            return FALSE;
    }
}

void RegisterClasses(HINSTANCE instance) {
    RegisterWindowClass(instance, kMainWindowClass, MainWindowProc, 0);

    WNDCLASSEXA page{};
    page.cbSize = sizeof(page);
    page.lpfnWndProc = DefDlgProcA;
    page.cbWndExtra = DLGWINDOWEXTRA;
    page.hInstance = instance;
    page.hCursor = LoadCursor(nullptr, IDC_ARROW);
    page.lpszClassName = kPageClass;
    RegisterClassExA(&page);
}

}  // namespace

// Building the window -------------------------------------------------------

HWND MainWindow::Impl::CreateChild(HWND parent, DWORD exStyle, const char* windowClass, const char* text,
                                   DWORD style, int id) {
    return win32::CreateChild(parent, instance, exStyle, windowClass, text, style, id);
}

HWND MainWindow::Impl::CreatePage(int id, bool visible) {
    HWND page = CreateWindowExA(WS_EX_CONTROLPARENT, kPageClass, "", WS_CHILD | WS_CLIPSIBLINGS | (visible ? WS_VISIBLE : 0),
                                0, 0, 0, 0, hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SetWindowLongPtrA(page, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(page, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(PageProc));
    EnableThemeDialogTexture(page, ETDT_ENABLETAB);
    return page;
}

void MainWindow::Impl::Create() {
    InitControlClasses(ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_WIN95_CLASSES);
    RegisterClasses(instance);
    taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    showRequest = RegisterWindowMessageA(kShowRequestMessage);

    RECT frame{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
    CreateWindowExA(0, kMainWindowClass, kTitle, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                    frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (hwnd == nullptr) return;
    dpi = DpiOfWindow(hwnd);

    // The pages lie above the tab control, which clips them out of its
    // painting. Within each container the creation order is the tab order.
    pageBasic = CreatePage(kIdPageBasic, true);
    pageExceptions = CreatePage(kIdPageExceptions, false);
    pcMain.hwnd = CreateChild(hwnd, 0, WC_TABCONTROLA, "", WS_TABSTOP | WS_CLIPSIBLINGS, kIdPageControl);
    SetWindowPos(pcMain.hwnd, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    pcMain.pages = {pageBasic, pageExceptions};
    const char* captions[] = {"Basic Settings", "Exceptions"};
    for (int i = 0; i < 2; ++i) {
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<char*>(captions[i]);
        SendMessageA(pcMain.hwnd, TCM_INSERTITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    }
    Place(pcMain.hwnd, 9, 8, 342, 169 + kExtraHeight);
    lbCopyright.hwnd = CreateChild(hwnd, 0, "STATIC", "", SS_LEFT | SS_NOPREFIX | SS_NOTIFY, kIdCopyright);
    Place(lbCopyright.hwnd, 21, 188 + kExtraHeight, 242, 13);
    Label6.hwnd = CreateChild(hwnd, 0, "STATIC", "Site", SS_LEFT | SS_NOPREFIX | SS_NOTIFY, kIdSite);
    Place(Label6.hwnd, 311, 188 + kExtraHeight, 22, 13);

    // Basic Settings, in tab order: rest level, its box, idle time, its box,
    // the check box.
    const DWORD bar = WS_TABSTOP | TBS_HORZ | TBS_BOTTOM | TBS_AUTOTICKS;
    const DWORD edit = WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
    tbRestLevel.hwnd = CreateChild(pageBasic, 0, TRACKBAR_CLASSA, "", bar, kIdRestLevelBar);
    Place(tbRestLevel.hwnd, 20, 83, 209, 30);
    ebRestLvl.hwnd = CreateChild(pageBasic, WS_EX_CLIENTEDGE, "EDIT", "", edit, kIdRestLevelEdit);
    Place(ebRestLvl.hwnd, 235, 84, 42, 21);
    tbIdleTime.hwnd = CreateChild(pageBasic, 0, TRACKBAR_CLASSA, "", bar, kIdIdleTimeBar);
    Place(tbIdleTime.hwnd, 20, 27, 209, 30);
    ebIdleTime.hwnd = CreateChild(pageBasic, WS_EX_CLIENTEDGE, "EDIT", "", edit, kIdIdleTimeEdit);
    Place(ebIdleTime.hwnd, 235, 28, 42, 21);
    ckbRelative.hwnd = CreateChild(pageBasic, 0, "BUTTON", "Make adjustment relative to active volume level",
                                   WS_TABSTOP | BS_AUTOCHECKBOX, kIdRelative);
    Place(ckbRelative.hwnd, 27, 117, 250, 17);
    const DWORD text = SS_LEFT | SS_NOPREFIX;
    PlaceLabel(CreateChild(pageBasic, 0, "STATIC", "When the computer has been idle for:", text, kIdIdleTimeLabel), 8,
               8);
    PlaceLabel(CreateChild(pageBasic, 0, "STATIC", "minutes", text, kIdMinutesLabel), 283, 31);
    PlaceLabel(CreateChild(pageBasic, 0, "STATIC", "Set System Volume to:", text, kIdRestLevelLabel), 8, 64);
    PlaceLabel(CreateChild(pageBasic, 0, "STATIC", "%", text, kIdPercentLabel), 295, 86);

    // Exceptions, in tab order: the running programs, the list, "+", "-",
    // the automatic exceptions (on by design).
    // The drop-down's height includes its list of eight entries.
    cbPrograms.hwnd = CreateChild(pageExceptions, 0, "COMBOBOX", "",
                                  WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT, kIdPrograms);
    Place(cbPrograms.hwnd, 41, 9, 260, 21 + 8 * 13 + 2);
    // Common controls v6 size the list by this count instead.
    SendMessageA(cbPrograms.hwnd, CB_SETMINVISIBLE, 8, 0);
    lbPrograms.hwnd = CreateChild(pageExceptions, WS_EX_CLIENTEDGE, "LISTBOX", "",
                                  WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, kIdExceptions);
    Place(lbPrograms.hwnd, 12, 36, 289, 93);
    btnAdd.hwnd = CreateChild(pageExceptions, 0, "BUTTON", "+", WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, kIdAdd);
    Place(btnAdd.hwnd, 307, 8, 24, 23);
    btnRemove.hwnd =
        CreateChild(pageExceptions, 0, "BUTTON", "-", WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, kIdRemove);
    Place(btnRemove.hwnd, 307, 36, 24, 23);
    ckbAutoExceptions.hwnd =
        CreateChild(pageExceptions, 0, "BUTTON", "Also while a program is full screen, keeps the screen on, or records sound",
                    WS_TABSTOP | BS_AUTOCHECKBOX | BS_MULTILINE, kIdAutoExceptions);
    Place(ckbAutoExceptions.hwnd, 12, 134, 319, 28);
    SendMessageA(ckbAutoExceptions.hwnd, BM_SETCHECK, BST_CHECKED, 0);
    PlaceLabel(CreateChild(pageExceptions, 0, "STATIC", "Add:", text, kIdAddLabel), 12, 12);

    children = {&pcMain, &lbCopyright, &Label6, &tbIdleTime, &ebIdleTime, &tbRestLevel, &ebRestLvl,
                &ckbRelative, &cbPrograms, &lbPrograms, &btnAdd, &btnRemove, &ckbAutoExceptions};

    // The sliders' design state; no handler is attached yet.
    for (TrackBar* slider : {&tbIdleTime, &tbRestLevel}) {
        SendMessageA(slider->hwnd, TBM_SETRANGE, FALSE, MAKELPARAM(0, kSliderMax));
        SendMessageA(slider->hwnd, TBM_SETPAGESIZE, 0, 100);
        SendMessageA(slider->hwnd, TBM_SETTICFREQ, 50, 0);
    }
    SendMessageA(tbIdleTime.hwnd, TBM_SETLINESIZE, 0, 1);
    SendMessageA(tbRestLevel.hwnd, TBM_SETLINESIZE, 0, 10);
    SendMessageA(tbIdleTime.hwnd, TBM_SETPOS, TRUE, 100);
    SendMessageA(tbRestLevel.hwnd, TBM_SETPOS, TRUE, 300);
    pcMain.SetActivePage(kPageBasic);

    menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, kCmdOpen, "&Open RestLevel");
    AppendMenuA(menu, MF_STRING, kCmdDisable, "&Disable RestLevel");
    AppendMenuA(menu, MF_STRING, kCmdExit, "E&xit");
    for (MenuItem* item : {&OpenRestLevel1, &DisableRestLevel1, &Exit1}) item->menu = menu;

    tiMain.window = hwnd;
    const int iconWidth = GetSystemMetrics(SM_CXSMICON);
    const int iconHeight = GetSystemMetrics(SM_CYSMICON);
    const int icons[kTrayImages] = {IDI_TRAY_WATCHING, IDI_TRAY_RESTING, IDI_TRAY_DISABLED};
    for (int i = 0; i < kTrayImages; ++i)
        tiMain.images[i] = static_cast<HICON>(
            LoadImageA(instance, MAKEINTRESOURCEA(icons[i]), IMAGE_ICON, iconWidth, iconHeight, 0));

    ApplyDpi(dpi);
}

void MainWindow::Impl::Destroy() {
    events.on = false;
    tiMain.Remove();
    if (hwnd != nullptr) DestroyWindow(hwnd);
    if (menu != nullptr) DestroyMenu(menu);
    menu = nullptr;
    for (HICON& icon : tiMain.images) {
        if (icon != nullptr) DestroyIcon(icon);
        icon = nullptr;
    }
    for (HFONT* f : {&font, &linkFont, &siteFont}) {
        if (*f != nullptr) DeleteObject(*f);
        *f = nullptr;
    }
}

// Layout --------------------------------------------------------------------

void MainWindow::Impl::ApplyDpi(int newDpi) {
    dpi = newDpi;
    HFONT old[] = {font, linkFont, siteFont};
    font = MakeFont(dpi, FW_NORMAL, false);
    linkFont = MakeFont(dpi, FW_NORMAL, true);
    siteFont = MakeFont(dpi, FW_BOLD, true);
    for (const Placement& placement : placements)
        SendMessageA(placement.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageA(lbCopyright.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(linkFont), FALSE);
    SendMessageA(Label6.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(siteFont), FALSE);
    for (HFONT f : old) {
        if (f != nullptr) DeleteObject(f);
    }
    Layout();
    FitFrame();
    InvalidateRect(hwnd, nullptr, TRUE);
}

void MainWindow::Impl::Layout() {
    for (const Placement& p : placements) {
        int width = Scale(p.width);
        int height = Scale(p.height);
        if (p.autoSize) {
            const SIZE size = TextSize(p.hwnd);
            width = size.cx;
            height = size.cy;
        }
        SetWindowPos(p.hwnd, nullptr, Scale(p.x), Scale(p.y), width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // The pages cover the tab control's display area.
    RECT area{0, 0, Scale(342), Scale(169 + kExtraHeight)};
    SendMessageA(pcMain.hwnd, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    OffsetRect(&area, Scale(9), Scale(8));
    for (HWND page : pcMain.pages)
        SetWindowPos(page, nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::Impl::FitFrame() { FitClientArea(hwnd, Scale(kClientWidth), Scale(kClientHeight), dpi); }

// Dragged near an edge of the monitor's work area, the window moves onto it.
void MainWindow::Impl::Snap(RECT& rect) const {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (!GetMonitorInfoA(MonitorFromRect(&rect, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    const RECT& work = monitor.rcWork;
    const int distance = Scale(kSnapDistance);
    int dx = 0;
    int dy = 0;
    if (std::abs(rect.left - work.left) <= distance) {
        dx = work.left - rect.left;
    } else if (std::abs(rect.right - work.right) <= distance) {
        dx = work.right - rect.right;
    }
    if (std::abs(rect.top - work.top) <= distance) {
        dy = work.top - rect.top;
    } else if (std::abs(rect.bottom - work.bottom) <= distance) {
        dy = work.bottom - rect.bottom;
    }
    OffsetRect(&rect, dx, dy);
}

// Messages ------------------------------------------------------------------

bool MainWindow::Impl::Route(HWND control, WORD code) {
    for (Child* child : children) {
        if (child->hwnd == control) {
            child->OnCommand(code);
            return true;
        }
    }
    return false;
}

void MainWindow::Impl::RouteScroll(HWND control) {
    for (Child* child : children) {
        if (child->hwnd == control) child->OnScroll();
    }
}

void MainWindow::Impl::RouteNotify(const NMHDR& header) {
    for (Child* child : children) {
        if (child->hwnd == header.hwndFrom) child->OnNotify(header);
    }
}

void MainWindow::Impl::RestoreFocus() {
    HWND target = lastFocus;
    if (target == nullptr || !IsWindow(target) || !IsChild(hwnd, target) || !IsWindowVisible(target) ||
        !IsWindowEnabled(target))
        target = pcMain.hwnd;
    SetFocus(target);
}

void MainWindow::Impl::ShowTrayMenu() {
    POINT at{};
    GetCursorPos(&at);
    // Without the foreground the menu would not close when the user clicks
    // elsewhere; the posted message lets it close on the next click.
    SetForegroundWindow(hwnd);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, 0, hwnd, nullptr);
    PostMessageA(hwnd, WM_NULL, 0, 0);
}

void MainWindow::Impl::MenuCommand(UINT id) {
    for (MenuItem* item : {&OpenRestLevel1, &DisableRestLevel1, &Exit1}) {
        if (item->Id() == id) item->Click();
    }
}

LRESULT MainWindow::Impl::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == showRequest && showRequest != 0) {
        events.Fire(form.showRequest);
        return 0;
    }
    if (message == taskbarCreated && taskbarCreated != 0) {
        tiMain.AddAgain();
        return 0;
    }
    switch (message) {
        case WM_COMMAND:
            if (lParam == 0) {
                if (HIWORD(wParam) == 0) MenuCommand(LOWORD(wParam));
                return 0;
            }
            if (Route(reinterpret_cast<HWND>(lParam), HIWORD(wParam))) return 0;
            break;
        case WM_NOTIFY:
            RouteNotify(*reinterpret_cast<const NMHDR*>(lParam));
            return 0;
        case WM_CTLCOLORSTATIC: {
            const auto control = reinterpret_cast<HWND>(lParam);
            if (control != lbCopyright.hwnd && control != Label6.hwnd) break;
            const auto dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kLinkColour);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        case WM_SETCURSOR: {
            const auto over = reinterpret_cast<HWND>(wParam);
            if ((over == lbCopyright.hwnd || over == Label6.hwnd) && LOWORD(lParam) == HTCLIENT) {
                SetCursor(LoadCursor(nullptr, IDC_HAND));
                return TRUE;
            }
            break;
        }
        case WM_SHOWWINDOW:
            // Only ShowWindow itself, not an owner's minimising, counts.
            if (lParam == 0) {
                if (wParam != FALSE && !shown) {
                    shown = true;
                    events.Fire(form.show);
                } else if (wParam == FALSE) {
                    shown = false;
                }
            }
            break;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                const HWND focus = GetFocus();
                if (focus != nullptr && IsChild(hwnd, focus)) lastFocus = focus;
            } else {
                RestoreFocus();
                return 0;
            }
            break;
        case WM_CLOSE:
            if (events.on && (!form.close || form.close())) {
                ShowWindow(hwnd, SW_HIDE);
                PostQuitMessage(0);
            }
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wParam != FALSE && form.endSession) form.endSession();
            return 0;
        case WM_MOVING:
            Snap(*reinterpret_cast<RECT*>(lParam));
            return TRUE;
        case WM_DPICHANGED:
            return OnDpiChanged(hwnd, wParam, lParam, dpi, [this](int newDpi) { ApplyDpi(newDpi); });
        case kTrayMessage:
            switch (LOWORD(lParam)) {
                case WM_LBUTTONUP:
                    tiMain.Click();
                    break;
                case WM_RBUTTONUP:
                case WM_CONTEXTMENU:
                    ShowTrayMenu();
                    break;
                default:
                    break;
            }
            return 0;
        case WM_DESTROY:
            cbPrograms.FreeAll();
            tiMain.Remove();
            return 0;
        default:
            break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// MainWindow ----------------------------------------------------------------

MainWindow::MainWindow(HINSTANCE instance) : impl_(std::make_unique<Impl>(instance)) { impl_->Create(); }

MainWindow::~MainWindow() { impl_->Destroy(); }

HWND MainWindow::Handle() const { return impl_->hwnd; }

HWND MainWindow::Item(int id) const {
    for (HWND parent : {impl_->hwnd, impl_->pageBasic, impl_->pageExceptions}) {
        if (parent == nullptr) continue;
        if (HWND item = GetDlgItem(parent, id)) return item;
    }
    return nullptr;
}

int MainWindow::Dpi() const { return impl_->dpi; }

TRestLevelControls MainWindow::Controls() {
    Impl& w = *impl_;
    return TRestLevelControls{w.pcMain,     w.lbCopyright, w.Label6,    w.tbIdleTime,     w.ebIdleTime,
                              w.tbRestLevel, w.ebRestLvl,  w.ckbRelative, w.cbPrograms,   w.lbPrograms,
                              w.btnAdd,     w.btnRemove,   w.ckbAutoExceptions, w.tiMain, w.OpenRestLevel1,
                              w.DisableRestLevel1, w.Exit1};
}

IFormHost& MainWindow::Host() { return *impl_; }

void MainWindow::SetFormEvents(FormEvents events) { impl_->form = std::move(events); }

void MainWindow::DetachForm() { impl_->events.on = false; }

bool MainWindow::AddTrayIcon() { return impl_->tiMain.Add(); }

void MainWindow::RemoveTrayIcon() { impl_->tiMain.Remove(); }

HMENU MainWindow::TrayMenu() const { return impl_->menu; }
NOTIFYICONDATAW MainWindow::TrayIconData() const { return impl_->tiMain.Data(); }

bool MainWindow::PreTranslateMessage(MSG& msg) {
    const HWND window = impl_->hwnd;
    if (window == nullptr || (msg.hwnd != window && !IsChild(window, msg.hwnd))) return false;
    // Ctrl+Tab and Ctrl+Shift+Tab turn the pages, as in property sheets.
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB && GetKeyState(VK_CONTROL) < 0) {
        const int count = static_cast<int>(impl_->pcMain.pages.size());
        const int step = GetKeyState(VK_SHIFT) < 0 ? count - 1 : 1;
        impl_->pcMain.UserSelect((impl_->pcMain.ActivePage() + step) % count);
        return true;
    }
    return IsDialogMessageA(window, &msg) != FALSE;
}

void Win32ScreenCursor::SetCursor(int cursor) {
    ::SetCursor(LoadCursor(nullptr, cursor == kCursorHourGlass ? IDC_WAIT : IDC_ARROW));
}

}  // namespace rl::win32

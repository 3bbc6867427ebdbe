#include "platform/win32/Win32UpdateWindows.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/win32/Win32WindowSupport.h"

namespace rl::win32 {

namespace {

constexpr int kInfoWidth = 505;
constexpr int kInfoHeight = 293;
constexpr int kProgressWidth = 297;
constexpr int kProgressHeight = 57;
constexpr int kProgressMax = 1000;
constexpr int kNotesMargin = 4;
constexpr char kInfoDesignCaption[] = "Update";
constexpr char kInfoPrompt[] = "Would you like to install this version?";
constexpr char kProgressCaption[] = "Downloading Update...";
constexpr char kProgressText[] = "Downloading...";
// A fixed single border without title-bar buttons.
constexpr DWORD kInfoStyle = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
// A tool-window caption without a close button: the download cannot be
// stopped half-way.
constexpr DWORD kProgressStyle = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
constexpr DWORD kProgressExStyle = WS_EX_TOOLWINDOW;

// The primary monitor's work area: "the screen" the windows centre on.
RECT ScreenArea() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor)) return monitor.rcWork;
    return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

// A fixed window laid out at design pixels (96 DPI), scaled to its DPI.
class Layout {
public:
    enum class Fit { Fixed, ToText, GrowLeft };
    struct Placement {
        HWND hwnd;
        int x, y, width, height;
        // ToText: sized to its text, at most up to maxRight (design pixels).
        // GrowLeft: at least the given box; a longer text widens it to the
        // left, so that its right edge stays beside what lies right of it.
        Fit fit;
        int maxRight;
    };

    Layout(int clientWidth, int clientHeight) : clientWidth_(clientWidth), clientHeight_(clientHeight) {}
    ~Layout() {
        if (font_ != nullptr) DeleteObject(font_);
    }
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;

    void Place(HWND control, int x, int y, int width, int height) {
        placements_.push_back({control, x, y, width, height, Fit::Fixed, 0});
    }
    void PlaceLabel(HWND control, int x, int y, int maxRight) {
        placements_.push_back({control, x, y, 0, 0, Fit::ToText, maxRight});
    }
    void PlaceRightLabel(HWND control, int x, int y, int width, int height) {
        placements_.push_back({control, x, y, width, height, Fit::GrowLeft, 0});
    }

    int Dpi() const { return dpi_; }
    SIZE DesignSize() const { return SIZE{clientWidth_, clientHeight_}; }
    HFONT Font() const { return font_; }
    int Scale(int value) const { return MulDiv(value, dpi_, kDesignDpi); }

    // New fonts for the controls (but those in keepFont), positions, frame.
    void Apply(HWND window, int dpi, HWND keepFont = nullptr) {
        dpi_ = dpi;
        HFONT old = font_;
        font_ = MakeFont(dpi_);
        for (const Placement& p : placements_) {
            if (p.hwnd != keepFont) SendMessageA(p.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        }
        if (old != nullptr) DeleteObject(old);
        for (const Placement& p : placements_) Position(p);
        FitFrame(window);
        InvalidateRect(window, nullptr, TRUE);
    }

    // A label's text changed: its size follows.
    void Refit(HWND control) const {
        for (const Placement& p : placements_) {
            if (p.hwnd == control) Position(p);
        }
    }

    void CentreOnScreen(HWND window) const {
        const RECT area = ScreenArea();
        RECT frame{};
        GetWindowRect(window, &frame);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        const int x = area.left + (area.right - area.left - width) / 2;
        const int y = area.top + (area.bottom - area.top - height) / 2;
        SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

private:
    void Position(const Placement& p) const {
        int x = Scale(p.x);
        int width = Scale(p.width);
        int height = Scale(p.height);
        if (p.fit == Fit::ToText) {
            const SIZE size = TextSize(p.hwnd);
            width = std::min(static_cast<int>(size.cx), Scale(p.maxRight) - x);
            height = size.cy;
        } else if (p.fit == Fit::GrowLeft) {
            const SIZE size = TextSize(p.hwnd);
            const int right = Scale(p.x + p.width);
            width = std::max(width, static_cast<int>(size.cx));
            height = std::max(height, static_cast<int>(size.cy));
            x = right - width;
        }
        SetWindowPos(p.hwnd, nullptr, x, Scale(p.y), width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // The client area keeps its design size at every DPI, whatever frame
    // the system draws around it.
    void FitFrame(HWND window) const { FitClientArea(window, Scale(clientWidth_), Scale(clientHeight_), dpi_); }

    int clientWidth_;
    int clientHeight_;
    int dpi_ = kDesignDpi;
    HFONT font_ = nullptr;
    std::vector<Placement> placements_;
};

// The rich edit of Windows XP SP1 and newer (Msftedit, RICHEDIT50W); the
// 2.0 control where that is missing. Loaded once and kept for the process.
const char* RichEditClass() {
    static const char* const name = [] {
        if (LoadLibraryA("Msftedit.dll") != nullptr) {
            WNDCLASSEXA info{};
            info.cbSize = sizeof(info);
            if (GetClassInfoExA(nullptr, "RICHEDIT50W", &info)) return "RICHEDIT50W";
        }
        LoadLibraryA("Riched20.dll");
        return RICHEDIT_CLASSA;
    }();
    return name;
}

struct StreamSource {
    const char* data;
    std::size_t size;
    std::size_t offset;
};

DWORD CALLBACK ReadSource(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got) {
    auto* source = reinterpret_cast<StreamSource*>(cookie);
    const std::size_t count = std::min(source->size - source->offset, static_cast<std::size_t>(std::max(wanted, 0L)));
    std::memcpy(buffer, source->data + source->offset, count);
    source->offset += count;
    *got = static_cast<LONG>(count);
    return 0;
}

// As RichEdit decides: it refuses RTF before whose "{\rtf" anything stands,
// blanks included, and that text is shown as it is.
bool StartsAsRtf(const std::string& text) { return text.starts_with("{\\rtf"); }

class RichEdit : public IRichEdit {
public:
    void SetPlainText(bool plain) override {
        plain_ = plain;
        // The control changes its mode only while it is empty; the format
        // the text is read in follows the flag in any case.
        if (Length() == 0) SendMessageA(hwnd, EM_SETTEXTMODE, plain ? TM_PLAINTEXT : TM_RICHTEXT, 0);
    }
    void Clear() override {
        SetWindowTextA(hwnd, "");
        SendMessageA(hwnd, EM_EMPTYUNDOBUFFER, 0, 0);
    }
    void LoadFromStream(const std::string& text) override {
        const bool rtf = !plain_ && StartsAsRtf(text);
        StreamSource source{text.data(), text.size(), 0};
        EDITSTREAM stream{};
        stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
        stream.pfnCallback = ReadSource;
        SendMessageA(hwnd, EM_STREAMIN, rtf ? SF_RTF : SF_TEXT, reinterpret_cast<LPARAM>(&stream));
        SendMessageA(hwnd, EM_EMPTYUNDOBUFFER, 0, 0);
        // The notes are read from their beginning.
        SendMessageA(hwnd, EM_SETSEL, 0, 0);
        SendMessageA(hwnd, WM_VSCROLL, SB_TOP, 0);
    }
    std::string Text() const override {
        const LONG length = Length();
        if (length <= 0) return {};
        // Up to four bytes per character in any code page the system uses.
        std::string text(static_cast<std::size_t>(length) * 4 + 4, '\0');
        GETTEXTEX get{};
        get.cb = static_cast<DWORD>(text.size());
        get.flags = GT_DEFAULT;
        get.codepage = CP_ACP;
        SendMessageA(hwnd, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&get), reinterpret_cast<LPARAM>(text.data()));
        text.resize(std::strlen(text.c_str()));
        // Paragraph ends as the other toolkit gives them.
        std::replace(text.begin(), text.end(), '\r', '\n');
        return text;
    }

    HWND hwnd = nullptr;

private:
    LONG Length() const {
        GETTEXTLENGTHEX length{};
        length.flags = GTL_DEFAULT | GTL_NUMCHARS;
        length.codepage = 1200;  // UTF-16
        return static_cast<LONG>(SendMessageA(hwnd, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0));
    }

    bool plain_ = false;
};

class ProgressLabel : public IUpdateLabel {
public:
    explicit ProgressLabel(const Layout& layout) : layout_(layout) {}
    std::string Caption() const override { return WindowText(hwnd); }
    void SetCaption(const std::string& caption) override {
        // What the old text covered is painted over on the next repaint.
        RECT old{};
        GetWindowRect(hwnd, &old);
        MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&old), 2);
        SetWindowTextA(hwnd, caption.c_str());
        layout_.Refit(hwnd);
        InvalidateRect(GetParent(hwnd), &old, TRUE);
        InvalidateRect(hwnd, nullptr, TRUE);
    }
    void Repaint() override {
        RedrawWindow(GetParent(hwnd), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

    HWND hwnd = nullptr;

private:
    const Layout& layout_;
};

class ProgressBar : public IProgressBar {
public:
    int Position() const override { return static_cast<int>(SendMessageA(hwnd, PBM_GETPOS, 0, 0)); }
    void SetPosition(int position) override { SendMessageA(hwnd, PBM_SETPOS, static_cast<WPARAM>(position), 0); }
    int Max() const override { return static_cast<int>(SendMessageA(hwnd, PBM_GETRANGE, FALSE, 0)); }
    void Show() override { ShowWindow(hwnd, SW_SHOW); }
    void BringToFront() override {
        SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    void Repaint() override { RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW); }

    HWND hwnd = nullptr;
};

// The windows of this thread that the user could reach while ours is up.
std::vector<HWND> DisableThreadWindows(HWND keep) {
    struct Found {
        HWND keep;
        std::vector<HWND> windows;
    } found{keep, {}};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM data) -> BOOL {
            auto& f = *reinterpret_cast<Found*>(data);
            if (window != f.keep && IsWindowVisible(window) && IsWindowEnabled(window)) f.windows.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    for (HWND window : found.windows) EnableWindow(window, FALSE);
    return found.windows;
}

}  // namespace

// The window and its layout, shared by both windows.
struct Win32UpdateWindow::Impl {
    Impl(HINSTANCE module, int clientWidth, int clientHeight) : instance(module), layout(clientWidth, clientHeight) {}
    virtual ~Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The hidden window at the design size; false when it was not made.
    bool MakeWindow(const char* windowClass, WNDPROC proc, int extra, DWORD exStyle, const char* caption, DWORD style);
    virtual LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    HINSTANCE instance;
    HWND hwnd = nullptr;
    Layout layout;
};

bool Win32UpdateWindow::Impl::MakeWindow(const char* windowClass, WNDPROC proc, int extra, DWORD exStyle,
                                   const char* caption, DWORD style) {
    InitControlClasses(ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS);
    RegisterWindowClass(instance, windowClass, proc, extra);
    // Made on the screen it will be centred on, so that it has that
    // screen's DPI from the start.
    const RECT area = ScreenArea();
    const SIZE size = layout.DesignSize();
    CreateWindowExA(exStyle, windowClass, caption, style, area.left, area.top, size.cx, size.cy, nullptr, nullptr,
                    instance, this);
    return hwnd != nullptr;
}

Win32UpdateWindow::Win32UpdateWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Win32UpdateWindow::~Win32UpdateWindow() {
    if (impl_->hwnd != nullptr) DestroyWindow(impl_->hwnd);
}

HWND Win32UpdateWindow::Handle() const { return impl_->hwnd; }

HWND Win32UpdateWindow::Item(int id) const { return GetDlgItem(impl_->hwnd, id); }

int Win32UpdateWindow::Dpi() const { return impl_->layout.Dpi(); }

namespace {

// The release-notes window ----------------------------------------------------

// The window is of a dialog class, so that the dialog manager keeps the
// default button and moves the focus; its answers end the modal loop.
struct InfoWindow final : Win32UpdateWindow::Impl {
    explicit InfoWindow(HINSTANCE module) : Impl(module, kInfoWidth, kInfoHeight) {}

    void Create();
    void SetNotesMargins();
    int ShowModal();
    void End(int result);
    bool NotesKey(const MSG& msg);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

    RichEdit notes;
    HWND prompt = nullptr;
    HWND yes = nullptr;
    HWND no = nullptr;
    int modalResult = kMrNone;
    bool ended = true;
};

LRESULT CALLBACK InfoWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return RouteToOwner<Win32UpdateWindow::Impl>(window, message, wParam, lParam, DefDlgProcA);
}

void InfoWindow::Create() {
    if (!MakeWindow(kUpdateInfoClass, InfoWindowProc, DLGWINDOWEXTRA, 0, kInfoDesignCaption, kInfoStyle)) return;

    // Creation order is the tab order: Yes, No, the notes.
    yes = CreateChild(hwnd, instance, 0, "BUTTON", "Yes", WS_TABSTOP | BS_DEFPUSHBUTTON, kIdUpdateYes);
    layout.Place(yes, 328, 260, 75, 25);
    no = CreateChild(hwnd, instance, 0, "BUTTON", "No", WS_TABSTOP | BS_PUSHBUTTON, kIdUpdateNo);
    layout.Place(no, 409, 260, 75, 25);
    // ES_SAVESEL: tabbing into the notes does not select them all.
    notes.hwnd = CreateChild(hwnd, instance, WS_EX_CLIENTEDGE, RichEditClass(), "",
                             WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_SAVESEL |
                                 ES_DISABLENOSCROLL,
                             kIdUpdateNotes);
    layout.Place(notes.hwnd, 16, 16, 473, 238);
    // The question keeps its place beside Yes in any font.
    prompt = CreateChild(hwnd, instance, 0, "STATIC", kInfoPrompt, SS_LEFTNOWORDWRAP | SS_NOPREFIX, kIdUpdatePrompt);
    layout.PlaceRightLabel(prompt, 140, 265, 175, 13);
    SendMessageA(hwnd, DM_SETDEFID, kIdUpdateYes, 0);

    // The notes' own font (plain text, and RTF without a font table) is the
    // window's; set once, since setting it again would restyle loaded RTF.
    layout.Apply(hwnd, DpiOfWindow(hwnd));
    SetNotesMargins();
    layout.CentreOnScreen(hwnd);
}

// A little room between the notes and their border.
void InfoWindow::SetNotesMargins() {
    const int margin = layout.Scale(kNotesMargin);
    SendMessageA(notes.hwnd, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(margin, margin));
}

void InfoWindow::End(int result) {
    modalResult = result;
    ended = true;
}

// The notes would keep Tab, Enter and Escape to themselves; here they move
// on, answer with the default button and answer No as everywhere else in
// the window.
bool InfoWindow::NotesKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || (msg.hwnd != notes.hwnd && !IsChild(notes.hwnd, msg.hwnd))) return false;
    switch (msg.wParam) {
        case VK_TAB:
            if (GetKeyState(VK_CONTROL) < 0) return false;
            SendMessageA(hwnd, WM_NEXTDLGCTL, GetKeyState(VK_SHIFT) < 0 ? 1 : 0, FALSE);
            return true;
        case VK_RETURN: {
            const LRESULT defId = SendMessageA(hwnd, DM_GETDEFID, 0, 0);
            const int id = HIWORD(defId) == DC_HASDEFID ? static_cast<int>(LOWORD(defId)) : static_cast<int>(kIdUpdateYes);
            SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hwnd, id)));
            return true;
        }
        case VK_ESCAPE:
            SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return true;
        default:
            return false;
    }
}

int InfoWindow::ShowModal() {
    if (hwnd == nullptr) return kMrNone;
    modalResult = kMrNone;
    ended = false;
    const HWND previous = GetActiveWindow();
    const std::vector<HWND> disabled = DisableThreadWindows(hwnd);
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);
    SendMessageA(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(yes), TRUE);

    MSG msg{};
    while (!ended && hwnd != nullptr) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            // The program is ending: the loop outside must see it too.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (NotesKey(msg) || IsDialogMessageA(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    // The other windows come back before ours goes, so that one of them
    // can be active again.
    for (HWND window : disabled) {
        if (IsWindow(window)) EnableWindow(window, TRUE);
    }
    if (hwnd != nullptr) ShowWindow(hwnd, SW_HIDE);
    if (previous != nullptr && IsWindow(previous) && IsWindowVisible(previous)) SetActiveWindow(previous);
    ended = true;
    return modalResult;
}

LRESULT InfoWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kIdUpdateYes:
                    End(kMrYes);
                    return 0;
                case kIdUpdateNo:
                case IDCANCEL:
                    End(kMrNo);
                    return 0;
                default:
                    break;
            }
            break;
        case WM_CLOSE:
            End(kMrNone);
            return 0;
        case WM_DESTROY:
            End(kMrNone);
            break;
        case WM_DPICHANGED:
            return OnDpiChanged(hwnd, wParam, lParam, layout.Dpi(), [this](int dpi) {
                layout.Apply(hwnd, dpi, notes.hwnd);
                SetNotesMargins();
            });
        default:
            break;
    }
    return DefDlgProcA(hwnd, message, wParam, lParam);
}

// The download window ---------------------------------------------------------

struct ProgressWindow final : Win32UpdateWindow::Impl {
    explicit ProgressWindow(HINSTANCE module) : Impl(module, kProgressWidth, kProgressHeight) {}

    void Create();
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

    ProgressLabel label{layout};
    ProgressBar bar;
};

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return RouteToOwner<Win32UpdateWindow::Impl>(window, message, wParam, lParam, DefWindowProcA);
}

void ProgressWindow::Create() {
    if (!MakeWindow(kUpdateProgressClass, ProgressWindowProc, 0, kProgressExStyle, kProgressCaption, kProgressStyle))
        return;

    bar.hwnd = CreateChild(hwnd, instance, 0, PROGRESS_CLASSA, "", WS_TABSTOP, kIdProgressBar);
    layout.Place(bar.hwnd, 12, 24, 273, 20);
    SendMessageA(bar.hwnd, PBM_SETRANGE32, 0, kProgressMax);
    // Sized to its text; a long text ends in "..." at the bar's right edge.
    label.hwnd = CreateChild(hwnd, instance, 0, "STATIC", kProgressText, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                             kIdProgressText);
    layout.PlaceLabel(label.hwnd, 14, 8, 285);

    layout.Apply(hwnd, DpiOfWindow(hwnd));
    layout.CentreOnScreen(hwnd);
}

LRESULT ProgressWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            // Only its owner ends it, when the download is done.
            return 0;
        case WM_DPICHANGED:
            return OnDpiChanged(hwnd, wParam, lParam, layout.Dpi(), [this](int dpi) { layout.Apply(hwnd, dpi); });
        default:
            break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

InfoWindow& Info(Win32UpdateWindow::Impl& impl) { return static_cast<InfoWindow&>(impl); }

ProgressWindow& Progress(Win32UpdateWindow::Impl& impl) { return static_cast<ProgressWindow&>(impl); }

}  // namespace

// The windows ----------------------------------------------------------------

Win32UpdateInfoWindow::Win32UpdateInfoWindow(HINSTANCE instance)
    : Win32UpdateWindow(std::make_unique<InfoWindow>(instance)) {
    Info(*impl_).Create();
}

Win32UpdateInfoWindow::~Win32UpdateInfoWindow() = default;

IRichEdit& Win32UpdateInfoWindow::reInfo() { return Info(*impl_).notes; }

std::string Win32UpdateInfoWindow::Caption() const { return WindowText(impl_->hwnd); }

void Win32UpdateInfoWindow::SetCaption(const std::string& caption) { SetWindowTextA(impl_->hwnd, caption.c_str()); }

int Win32UpdateInfoWindow::ShowModal() { return Info(*impl_).ShowModal(); }

Win32UpdateProgressWindow::Win32UpdateProgressWindow(HINSTANCE instance)
    : Win32UpdateWindow(std::make_unique<ProgressWindow>(instance)) {
    Progress(*impl_).Create();
}

Win32UpdateProgressWindow::~Win32UpdateProgressWindow() = default;

IUpdateLabel& Win32UpdateProgressWindow::lbProgress() { return Progress(*impl_).label; }

IProgressBar& Win32UpdateProgressWindow::pbProgress() { return Progress(*impl_).bar; }

void Win32UpdateProgressWindow::Show() {
    const HWND window = impl_->hwnd;
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    BringWindowToTop(window);
    // The download blocks the thread: the window is painted now.
    UpdateWindow(window);
}

// Factory ---------------------------------------------------------------------

std::unique_ptr<IUpdateInfoWindow> Win32UpdateWindowFactory::CreateUpdateInfoWindow() {
    return std::make_unique<Win32UpdateInfoWindow>(instance_);
}

std::unique_ptr<IUpdateProgressWindow> Win32UpdateWindowFactory::CreateUpdateProgressWindow() {
    return std::make_unique<Win32UpdateProgressWindow>(instance_);
}

}  // namespace rl::win32

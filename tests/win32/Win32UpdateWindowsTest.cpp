// The update windows of the Windows build in the test process: the layout
// of both windows at 96 and 144 DPI, the release-notes window's modal loop
// with keys played into it (Enter, Escape, Tab, the real keyboard path), the
// rich edit reading RTF and plain text, and the download window's label and
// progress bar.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/Win32UpdateWindows.h"
#include "support/Application.h"
#include "tests/win32/Win32TestSupport.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzAutoUpdateProgress.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32::Win32UpdateInfoWindow;
using win32::Win32UpdateProgressWindow;
using win32test::ClassOf;
using win32test::ClientSize;
using win32test::FontOf;
using win32test::RectInParent;
using win32test::Scaled;
using win32test::StyleOf;
using win32test::TextOf;

// The width and height of a text in a control's font.
SIZE TextExtent(HWND control, const std::string& text) {
    SIZE size{};
    HDC dc = GetDC(control);
    const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return size;
}

// The window's frame lies in the middle of the primary screen's work area.
void ExpectCentred(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor));
    const RECT& area = monitor.rcWork;
    RECT frame{};
    GetWindowRect(window, &frame);
    EXPECT_NEAR(frame.left - area.left, area.right - frame.right, 1);
    EXPECT_NEAR(frame.top - area.top, area.bottom - frame.bottom, 1);
}

struct Placed {
    int id;
    int x, y, width, height;
};

void ExpectPlaced(HWND window, const Placed& p, int dpi) {
    SCOPED_TRACE("control " + std::to_string(p.id) + " at " + std::to_string(dpi) + " dpi");
    const HWND control = GetDlgItem(window, p.id);
    ASSERT_NE(control, nullptr);
    const RECT r = RectInParent(control);
    EXPECT_EQ(r.left, Scaled(p.x, dpi));
    EXPECT_EQ(r.top, Scaled(p.y, dpi));
    EXPECT_EQ(r.right - r.left, Scaled(p.width, dpi));
    EXPECT_EQ(r.bottom - r.top, Scaled(p.height, dpi));
}

// The character formatting of a run of the notes, found by its text.
struct RunFormat {
    DWORD mask = 0;
    DWORD effects = 0;
    COLORREF colour = 0;
    std::string face;
};

RunFormat FormatOf(HWND notes, const std::string& text, const std::string& run) {
    const std::size_t at = text.find(run);
    EXPECT_NE(at, std::string::npos) << run;
    if (at == std::string::npos) return {};
    SendMessageA(notes, EM_SETSEL, at, at + run.size());
    CHARFORMAT2A format{};
    format.cbSize = sizeof(format);
    format.dwMask = CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_COLOR | CFM_FACE;
    SendMessageA(notes, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    return RunFormat{format.dwMask, format.dwEffects, format.crTextColor, format.szFaceName};
}

std::string TrimEnd(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// Plays steps into a window's modal loop from a thread timer, one step per
// tick once the window is up, noting where the focus was before each. When
// every step is done and the loop still runs, the window is closed, so that
// a loop that missed its answer fails the test instead of hanging it.
class ModalScript {
public:
    using Step = std::function<void()>;

    ModalScript(HWND window, std::vector<Step> steps) : window_(window), steps_(std::move(steps)) {}

    int Run(IUpdateInfoWindow& form) {
        current_ = this;
        const UINT_PTR timer = SetTimer(nullptr, 0, 30, Tick);
        const int result = form.ShowModal();
        KillTimer(nullptr, timer);
        current_ = nullptr;
        return result;
    }

    // Control identifiers of the focus before each step.
    const std::vector<int>& FocusPath() const { return focusPath_; }
    // Notes whether another window was enabled while the loop ran.
    void Watch(HWND other) { watched_ = other; }
    bool WatchedWasEnabled() const { return watchedEnabled_; }

    // A key as posted by the system to the control with the focus.
    static Step Key(WPARAM key) {
        return [key] {
            PostMessageA(GetFocus(), WM_KEYDOWN, key, 1);
            PostMessageA(GetFocus(), WM_KEYUP, key, 0xC0000001);
        };
    }
    // A key through the system's input, as from the keyboard.
    static Step Typed(WORD key) {
        return [key] {
            INPUT input[2] = {};
            for (INPUT& i : input) {
                i.type = INPUT_KEYBOARD;
                i.ki.wVk = key;
            }
            input[1].ki.dwFlags = KEYEVENTF_KEYUP;
            SendInput(2, input, sizeof(INPUT));
        };
    }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        ModalScript* self = current_;
        if (self == nullptr) return;
        const HWND focus = GetFocus();
        if (!IsWindowVisible(self->window_) || focus == nullptr || !IsChild(self->window_, focus)) return;
        if (self->watched_ != nullptr && self->next_ == 0) self->watchedEnabled_ = IsWindowEnabled(self->watched_);
        if (self->next_ < self->steps_.size()) {
            self->focusPath_.push_back(GetDlgCtrlID(focus));
            self->steps_[self->next_++]();
        } else if (++self->idleTicks_ > 150) {
            PostMessageA(self->window_, WM_CLOSE, 0, 0);
        }
    }

    static inline ModalScript* current_ = nullptr;
    HWND window_;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    int idleTicks_ = 0;
    std::vector<int> focusPath_;
    HWND watched_ = nullptr;
    bool watchedEnabled_ = true;
};

class Win32UpdateInfoWindowTest : public ::testing::Test {
protected:
    HWND Main() const { return form->Handle(); }
    HWND Item(int id) const { return form->Item(id); }
    IRichEdit& Notes() { return form->reInfo(); }
    // What SetInfoText does: rich-text mode, empty, then the text.
    void Load(const std::string& text) {
        Notes().SetPlainText(false);
        Notes().Clear();
        Notes().LoadFromStream(text);
    }

    void ExpectLayout(int dpi) {
        const SIZE client = ClientSize(Main());
        EXPECT_EQ(client.cx, Scaled(505, dpi));
        EXPECT_EQ(client.cy, Scaled(293, dpi));
        const Placed placed[] = {
            {win32::kIdUpdateNotes, 16, 16, 473, 238},
            {win32::kIdUpdateYes, 328, 260, 75, 25},
            {win32::kIdUpdateNo, 409, 260, 75, 25},
        };
        for (const Placed& p : placed) ExpectPlaced(Main(), p, dpi);
        // The question ends beside Yes where the design puts it (140, 265,
        // 175, 13); in a font in which it is longer it widens to the left.
        const HWND prompt = Item(win32::kIdUpdatePrompt);
        const RECT r = RectInParent(prompt);
        const SIZE text = TextExtent(prompt, TextOf(prompt));
        EXPECT_EQ(r.right, Scaled(315, dpi));
        EXPECT_EQ(r.top, Scaled(265, dpi));
        EXPECT_EQ(r.right - r.left, std::max<LONG>(Scaled(175, dpi), text.cx));
        EXPECT_EQ(r.bottom - r.top, std::max<LONG>(Scaled(13, dpi), text.cy));
        EXPECT_GT(r.left, RectInParent(Item(win32::kIdUpdateNotes)).left);
        for (int id : {win32::kIdUpdatePrompt, win32::kIdUpdateYes, win32::kIdUpdateNo}) {
            SCOPED_TRACE("font of " + std::to_string(id));
            EXPECT_EQ(FontOf(Item(id)).lfHeight, -MulDiv(8, dpi, 72));
            EXPECT_STREQ(FontOf(Item(id)).lfFaceName, "Tahoma");
        }
    }

    std::unique_ptr<IUpdateInfoWindow> made = win32::Win32UpdateWindowFactory().CreateUpdateInfoWindow();
    Win32UpdateInfoWindow* form = dynamic_cast<Win32UpdateInfoWindow*>(made.get());
};

TEST_F(Win32UpdateInfoWindowTest, FixedFrameWithoutButtonsAndTheDesignCaptions) {
    ASSERT_NE(form, nullptr);
    ASSERT_NE(Main(), nullptr);
    EXPECT_EQ(form->Caption(), "Update");
    form->SetCaption("RestLevel Update");
    EXPECT_EQ(TextOf(Main()), "RestLevel Update");
    EXPECT_EQ(form->Caption(), "RestLevel Update");
    const auto style = static_cast<DWORD>(StyleOf(Main()));
    EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));
    EXPECT_FALSE(style & (WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CHILD));
    EXPECT_FALSE(IsWindowVisible(Main()));
    EXPECT_EQ(GetWindow(Main(), GW_OWNER), nullptr);

    EXPECT_EQ(TextOf(Item(win32::kIdUpdatePrompt)), "Would you like to install this version?");
    EXPECT_EQ(TextOf(Item(win32::kIdUpdateYes)), "Yes");
    EXPECT_EQ(TextOf(Item(win32::kIdUpdateNo)), "No");
    EXPECT_EQ(StyleOf(Item(win32::kIdUpdateYes)) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(StyleOf(Item(win32::kIdUpdateNo)) & BS_TYPEMASK, BS_PUSHBUTTON);
    EXPECT_EQ(SendMessageA(Main(), DM_GETDEFID, 0, 0), MAKELRESULT(IDYES, DC_HASDEFID));

    const HWND notes = Item(win32::kIdUpdateNotes);
    EXPECT_TRUE(win32test::EqualsNoCase(ClassOf(notes), "RICHEDIT50W")) << ClassOf(notes);
    const auto notesStyle = StyleOf(notes);
    EXPECT_TRUE(notesStyle & ES_MULTILINE);
    EXPECT_TRUE(notesStyle & ES_READONLY);
    EXPECT_TRUE(notesStyle & WS_VSCROLL);
    // Text without formatting of its own shows in the window's font.
    CHARFORMAT2A format{};
    format.cbSize = sizeof(format);
    SendMessageA(notes, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    EXPECT_STREQ(format.szFaceName, "Tahoma");

    ExpectCentred(Main());
}

TEST_F(Win32UpdateInfoWindowTest, ControlsSitWhereTheDesignPutsThem) { ExpectLayout(form->Dpi()); }

TEST_F(Win32UpdateInfoWindowTest, ANewDpiScalesEveryPositionSizeAndFont) {
    for (int dpi : {144, 96}) {
        win32test::SendDpiChange(Main(), dpi, SIZE{520, 330});
        EXPECT_EQ(form->Dpi(), dpi);
        RECT frame{};
        GetWindowRect(Main(), &frame);
        EXPECT_EQ(frame.left, 100);
        EXPECT_EQ(frame.top, 80);
        ExpectLayout(dpi);
    }
}

// Tab order: Yes, No, the notes; the label takes no focus.
TEST_F(Win32UpdateInfoWindowTest, TabOrderIsYesNoNotes) {
    std::vector<int> order;
    for (HWND w = GetWindow(Main(), GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        if (StyleOf(w) & WS_TABSTOP) order.push_back(GetDlgCtrlID(w));
    }
    EXPECT_EQ(order, (std::vector<int>{win32::kIdUpdateYes, win32::kIdUpdateNo, win32::kIdUpdateNotes}));
}

// Each row plays keys into the modal loop; the focus starts on Yes.
TEST_F(Win32UpdateInfoWindowTest, KeysAndButtonsGiveTheModalResult) {
    using S = ModalScript;
    const HWND yes = Item(win32::kIdUpdateYes);
    const HWND no = Item(win32::kIdUpdateNo);
    const struct Case {
        const char* name;
        std::vector<S::Step> steps;
        int result;
        std::vector<int> focus;  // before each step
    } cases[] = {
        {"Enter on Yes", {S::Key(VK_RETURN)}, kMrYes, {IDYES}},
        {"Escape", {S::Key(VK_ESCAPE)}, kMrNo, {IDYES}},
        // The focused button is the one Enter presses.
        {"Tab, Enter on No", {S::Key(VK_TAB), S::Key(VK_RETURN)}, kMrNo, {IDYES, IDNO}},
        // In the notes Enter still answers with the default button, and
        // Escape and Tab are not kept by the rich edit.
        {"Enter in the notes", {S::Key(VK_TAB), S::Key(VK_TAB), S::Key(VK_RETURN)}, kMrYes,
         {IDYES, IDNO, win32::kIdUpdateNotes}},
        {"Escape in the notes", {S::Key(VK_TAB), S::Key(VK_TAB), S::Key(VK_ESCAPE)}, kMrNo,
         {IDYES, IDNO, win32::kIdUpdateNotes}},
        {"Tab round to Yes", {S::Key(VK_TAB), S::Key(VK_TAB), S::Key(VK_TAB), S::Key(VK_RETURN)}, kMrYes,
         {IDYES, IDNO, win32::kIdUpdateNotes, IDYES}},
        {"click on No", {[no] { PostMessageA(no, BM_CLICK, 0, 0); }}, kMrNo, {IDYES}},
        {"click on Yes", {[yes] { PostMessageA(yes, BM_CLICK, 0, 0); }}, kMrYes, {IDYES}},
        // Closed another way (Alt+F4, the system): no answer.
        {"closed", {[this] { PostMessageA(Main(), WM_CLOSE, 0, 0); }}, kMrNone, {IDYES}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModalScript script(Main(), c.steps);
        EXPECT_EQ(script.Run(*form), c.result);
        EXPECT_EQ(script.FocusPath(), c.focus);
        EXPECT_FALSE(IsWindowVisible(Main()));
        // The default button is Yes again for the next row.
        SendMessageA(Main(), DM_SETDEFID, IDYES, 0);
    }
}

// Enter and Escape from the keyboard itself, through the system's input
// and the translation of the loop.
TEST_F(Win32UpdateInfoWindowTest, KeyboardEnterAndEscapeAnswer) {
    for (const auto& [key, result] : {std::pair{VK_RETURN, kMrYes}, std::pair{VK_ESCAPE, kMrNo}}) {
        SCOPED_TRACE("key " + std::to_string(key));
        ModalScript script(Main(), {[this] { SetForegroundWindow(Main()); }, ModalScript::Typed(key)});
        EXPECT_EQ(script.Run(*form), result);
    }
}

// While the question is open the thread's other windows take no input;
// afterwards they do again.
TEST_F(Win32UpdateInfoWindowTest, OtherWindowsAreDisabledWhileItIsOpen) {
    win32test::TestWindow other("other", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_TRUE(IsWindowEnabled(other.Handle()));
    ModalScript script(Main(), {ModalScript::Key(VK_ESCAPE)});
    script.Watch(other.Handle());
    EXPECT_EQ(script.Run(*form), kMrNo);
    EXPECT_FALSE(script.WatchedWasEnabled());
    EXPECT_TRUE(IsWindowEnabled(other.Handle()));
}

// The program ending while the question is open: no answer, and the loop
// outside still learns that it must end.
TEST_F(Win32UpdateInfoWindowTest, AQuitMessageEndsTheLoopAndIsPassedOn) {
    ModalScript script(Main(), {[] { PostQuitMessage(3); }});
    EXPECT_EQ(script.Run(*form), kMrNone);
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(Win32UpdateInfoWindowTest, RtfIsReadByTheRichEdit) {
    Load("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Tahoma;}}{\\colortbl;\\red192\\green0\\blue0;}\n"
         "\\f0\\fs16 Version \\b 2.1\\b0  is here.\\par\n"
         "\\i Faster\\i0  fades, \\ul underlined\\ulnone  and \\cf1 red\\cf0  text.\\par\n}");
    const std::string text = Notes().Text();
    EXPECT_EQ(TrimEnd(text), "Version 2.1 is here.\nFaster fades, underlined and red text.");
    const HWND notes = Item(win32::kIdUpdateNotes);
    const struct {
        const char* run;
        DWORD effect;  // the one effect the run has
        COLORREF colour;
    } runs[] = {
        {"Version", 0, RGB(0, 0, 0)},       {"2.1", CFE_BOLD, RGB(0, 0, 0)},
        {"Faster", CFE_ITALIC, RGB(0, 0, 0)}, {"underlined", CFE_UNDERLINE, RGB(0, 0, 0)},
        {"red", 0, RGB(192, 0, 0)},         {"text", 0, RGB(0, 0, 0)},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.run);
        const RunFormat f = FormatOf(notes, text, r.run);
        const DWORD uniform = CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_COLOR;
        EXPECT_EQ(f.mask & uniform, uniform);
        EXPECT_EQ(f.effects & (CFE_BOLD | CFE_ITALIC | CFE_UNDERLINE), r.effect);
        if (r.colour != RGB(0, 0, 0)) {
            EXPECT_FALSE(f.effects & CFE_AUTOCOLOR);
            EXPECT_EQ(f.colour, r.colour);
        } else {
            EXPECT_TRUE((f.effects & CFE_AUTOCOLOR) || f.colour == RGB(0, 0, 0));
        }
        EXPECT_EQ(f.face, "Tahoma");
    }
}

// Text that is not RTF, RTF after blanks (which RichEdit refuses as RTF:
// the text is shown as it is), an empty text, and RTF shown as it is in
// plain-text mode.
TEST_F(Win32UpdateInfoWindowTest, TextThatIsNotRtfAndPlainTextMode) {
    const struct {
        const char* name;
        bool plain;
        std::string text;
        std::string shown;
    } cases[] = {
        {"plain notes", false, "Release 2.1\r\n- quicker {fades}\r\n- a \\b fix", "Release 2.1\n- quicker {fades}\n- a \\b fix"},
        {"blank lines before RTF", false, "\r\n  {\\rtf1\\ansi \\b New\\b0  version}",
         "\n  {\\rtf1\\ansi \\b New\\b0  version}"},
        {"a blank before RTF", false, " {\\rtf1 x}", " {\\rtf1 x}"},
        {"empty", false, "", ""},
        {"RTF in plain-text mode", true, "{\\rtf1 \\b bold\\b0}", "{\\rtf1 \\b bold\\b0}"},
        {"RTF after plain-text mode", false, "{\\rtf1 \\b bold\\b0}", "bold"},
    };
    const HWND notes = Item(win32::kIdUpdateNotes);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Notes().Clear();
        Notes().SetPlainText(c.plain);
        EXPECT_EQ(SendMessageA(notes, EM_GETTEXTMODE, 0, 0) & (TM_PLAINTEXT | TM_RICHTEXT),
                  c.plain ? TM_PLAINTEXT : TM_RICHTEXT);
        Notes().Clear();
        Notes().LoadFromStream(c.text);
        EXPECT_EQ(TrimEnd(Notes().Text()), c.shown);
    }
    // Clear empties the notes.
    Notes().Clear();
    EXPECT_EQ(Notes().Text(), "");
    EXPECT_EQ(GetWindowTextLengthA(notes), 0);
}

// Broken RTF shows what can be read and neither crashes nor hangs.
TEST_F(Win32UpdateInfoWindowTest, MalformedRtfShowsWhatCanBeRead) {
    const char* documents[] = {
        "{\\rtf1\\ansi Hello \\b wor",
        "{\\rtf1 Hello}}}} world}",
        "{\\rtf1 {{{{Hello",
        "{\\rtf1\\fs999999999999 Hello\\u99999999999? \\'zz end}",
        "{\\rtf",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        Load(document);
        const std::string text = Notes().Text();
        if (std::string(document) != "{\\rtf") {
            EXPECT_NE(text.find("Hello"), std::string::npos) << text;
        }
    }
}

class Win32UpdateProgressWindowTest : public ::testing::Test {
protected:
    HWND Main() const { return form->Handle(); }
    HWND Item(int id) const { return form->Item(id); }

    void ExpectLayout(int dpi) {
        const SIZE client = ClientSize(Main());
        EXPECT_EQ(client.cx, Scaled(297, dpi));
        EXPECT_EQ(client.cy, Scaled(57, dpi));
        ExpectPlaced(Main(), {win32::kIdProgressBar, 12, 24, 273, 20}, dpi);
        // The label is as large as its text.
        const HWND label = Item(win32::kIdProgressText);
        const RECT r = RectInParent(label);
        const SIZE text = TextExtent(label, form->lbProgress().Caption());
        EXPECT_EQ(r.left, Scaled(14, dpi));
        EXPECT_EQ(r.top, Scaled(8, dpi));
        EXPECT_EQ(r.right - r.left, text.cx);
        EXPECT_EQ(r.bottom - r.top, text.cy);
        EXPECT_EQ(FontOf(label).lfHeight, -MulDiv(8, dpi, 72));
        EXPECT_STREQ(FontOf(label).lfFaceName, "Tahoma");
    }

    std::unique_ptr<IUpdateProgressWindow> made = win32::Win32UpdateWindowFactory().CreateUpdateProgressWindow();
    Win32UpdateProgressWindow* form = dynamic_cast<Win32UpdateProgressWindow*>(made.get());
};

TEST_F(Win32UpdateProgressWindowTest, ToolWindowWithTheDesignCaptionLayoutAndRange) {
    ASSERT_NE(form, nullptr);
    ASSERT_NE(Main(), nullptr);
    EXPECT_EQ(TextOf(Main()), "Downloading Update...");
    EXPECT_EQ(form->lbProgress().Caption(), "Downloading...");
    EXPECT_TRUE(GetWindowLongPtrA(Main(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    const auto style = static_cast<DWORD>(StyleOf(Main()));
    EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));
    EXPECT_FALSE(style & (WS_SYSMENU | WS_THICKFRAME | WS_CHILD));
    EXPECT_FALSE(IsWindowVisible(Main()));
    EXPECT_EQ(ClassOf(Item(win32::kIdProgressBar)), PROGRESS_CLASSA);
    ExpectLayout(form->Dpi());
    ExpectCentred(Main());

    IProgressBar& bar = form->pbProgress();
    EXPECT_EQ(bar.Max(), 1000);
    EXPECT_EQ(SendMessageA(Item(win32::kIdProgressBar), PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(bar.Position(), 0);
    for (const auto& [set, got] : {std::pair{620, 620}, std::pair{1000, 1000}, std::pair{0, 0}, std::pair{1500, 1000}}) {
        bar.SetPosition(set);
        EXPECT_EQ(bar.Position(), got) << set;
    }
}

TEST_F(Win32UpdateProgressWindowTest, ANewDpiScalesEveryPositionSizeAndFont) {
    for (int dpi : {144, 96}) {
        win32test::SendDpiChange(Main(), dpi, SIZE{520, 330});
        EXPECT_EQ(form->Dpi(), dpi);
        ExpectLayout(dpi);
    }
}

// The label follows its text, up to the bar's right edge.
TEST_F(Win32UpdateProgressWindowTest, LabelTakesTheSizeOfEachText) {
    IUpdateLabel& label = form->lbProgress();
    const HWND handle = Item(win32::kIdProgressText);
    for (const std::string text : {"Checking for Update Files...", "Download 1 of 2 (RestLevel.exe)...", "Done"}) {
        SCOPED_TRACE(text);
        label.SetCaption(text);
        EXPECT_EQ(label.Caption(), text);
        const RECT r = RectInParent(handle);
        EXPECT_EQ(r.left, 14);
        EXPECT_EQ(r.right - r.left, TextExtent(handle, text).cx);
    }
    label.SetCaption("Download 12 of 12 (a-very-long-name-of-a-library-that-does-not-fit.dll)...");
    EXPECT_EQ(RectInParent(handle).right, 285);
    EXPECT_TRUE(StyleOf(handle) & SS_ENDELLIPSIS);
}

// Show paints the window at once, and each Repaint paints its control at
// once: the download does not let the message loop run in between.
TEST_F(Win32UpdateProgressWindowTest, ShowAndRepaintPaintWithoutTheMessageLoop) {
    form->Show();
    EXPECT_TRUE(IsWindowVisible(Main()));
    EXPECT_FALSE(GetUpdateRect(Main(), nullptr, FALSE));
    EXPECT_TRUE(win32test::WaitFor([&] { return GetForegroundWindow() == Main(); }, 20s));

    const HWND label = Item(win32::kIdProgressText);
    form->lbProgress().SetCaption("Download 1 of 2 (RestLevel.exe)...");
    EXPECT_TRUE(GetUpdateRect(label, nullptr, FALSE));
    form->lbProgress().Repaint();
    EXPECT_FALSE(GetUpdateRect(label, nullptr, FALSE));
    EXPECT_FALSE(GetUpdateRect(Main(), nullptr, FALSE));

    const HWND bar = Item(win32::kIdProgressBar);
    form->pbProgress().SetPosition(500);
    InvalidateRect(bar, nullptr, TRUE);
    form->pbProgress().Repaint();
    EXPECT_FALSE(GetUpdateRect(bar, nullptr, FALSE));

    form->pbProgress().BringToFront();
    form->pbProgress().Show();
    EXPECT_TRUE(IsWindowVisible(bar));

    // Nobody but the download ends it.
    SendMessageA(Main(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(Main()));
    EXPECT_TRUE(IsWindowVisible(Main()));
}

// The portable window logic over these windows, as the update component
// uses it.
class Win32UpdateFormsTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpdateWindowPort(&factory); }
    void TearDown() override { SetUpdateWindowPort(nullptr); }

    // What the open release-notes window showed; then the key given.
    struct Seen {
        WPARAM key = 0;
        std::string caption;
        std::string notes;
        int ticks = 0;
    };
    static inline Seen* seen_ = nullptr;
    static void CALLBACK Answer(HWND, UINT, UINT_PTR, DWORD) {
        const HWND window = FindWindowA(win32::kUpdateInfoClass, nullptr);
        const HWND focus = GetFocus();
        if (seen_ == nullptr || window == nullptr || !IsWindowVisible(window) || !IsChild(window, focus)) return;
        if (++seen_->ticks > 1) {
            // The key did not end the loop.
            PostMessageA(window, WM_CLOSE, 0, 0);
            return;
        }
        seen_->caption = TextOf(window);
        const HWND notes = GetDlgItem(window, win32::kIdUpdateNotes);
        std::string text(static_cast<std::size_t>(GetWindowTextLengthA(notes)) + 1, '\0');
        text.resize(static_cast<std::size_t>(GetWindowTextA(notes, text.data(), static_cast<int>(text.size()))));
        seen_->notes = text;
        PostMessageA(focus, WM_KEYDOWN, seen_->key, 1);
    }

    win32::Win32UpdateWindowFactory factory;
};

TEST_F(Win32UpdateFormsTest, ExecuteUpdateInfoShowsTheNotesUnderTheTitleAndAnswers) {
    const std::string notes = "{\\rtf1\\ansi Version \\b 2.1\\b0  is here.}";
    for (const auto& [key, answer] : {std::pair{VK_RETURN, true}, std::pair{VK_ESCAPE, false}}) {
        SCOPED_TRACE("key " + std::to_string(key));
        Seen seen;
        seen.key = key;
        seen_ = &seen;
        const UINT_PTR timer = SetTimer(nullptr, 0, 30, Answer);
        EXPECT_EQ(ExecuteUpdateInfo(notes), answer);
        KillTimer(nullptr, timer);
        seen_ = nullptr;
        EXPECT_EQ(seen.caption, ApplicationTitle() + " Update");
        EXPECT_EQ(seen.notes, "Version 2.1 is here.");
        EXPECT_EQ(seen.ticks, 1);
        // The window is gone with the answer.
        EXPECT_EQ(FindWindowA(win32::kUpdateInfoClass, nullptr), nullptr);
    }
}

TEST_F(Win32UpdateFormsTest, DownloadFormSetsTheLabelAndTheBar) {
    const std::unique_ptr<TfrmKzAutoUpdate> form = CreateKzAutoUpdateForm();
    ASSERT_NE(form, nullptr);
    auto& window = dynamic_cast<Win32UpdateProgressWindow&>(form->Window());
    form->Show();
    form->SetProgressText("Download 1 of 2 (RestLevel.exe)...");
    form->SetProgressPosition(250);
    EXPECT_EQ(TextOf(window.Item(win32::kIdProgressText)), "Download 1 of 2 (RestLevel.exe)...");
    EXPECT_EQ(SendMessageA(window.Item(win32::kIdProgressBar), PBM_GETPOS, 0, 0), 250);
    EXPECT_EQ(form->pbProgress().Max(), 1000);
    EXPECT_FALSE(GetUpdateRect(window.Item(win32::kIdProgressText), nullptr, FALSE));
}

TEST(Win32UpdateWindowFactoryTest, DestroyingWhatItMadeDestroysTheWindow) {
    win32::Win32UpdateWindowFactory factory;
    auto info = factory.CreateUpdateInfoWindow();
    auto progress = factory.CreateUpdateProgressWindow();
    const HWND infoWindow = dynamic_cast<Win32UpdateInfoWindow&>(*info).Handle();
    const HWND progressWindow = dynamic_cast<Win32UpdateProgressWindow&>(*progress).Handle();
    ASSERT_TRUE(IsWindow(infoWindow));
    ASSERT_TRUE(IsWindow(progressWindow));
    info.reset();
    progress.reset();
    EXPECT_FALSE(IsWindow(infoWindow));
    EXPECT_FALSE(IsWindow(progressWindow));
}

}  // namespace
}  // namespace rl

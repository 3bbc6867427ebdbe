// The Win32 settings window in the test process: the layout of the design
// tables at 96 and 144 DPI, the event rules of every control with the user's
// actions played through the real controls, the window's own messages
// (show, close, end of session, snapping, tray and menu), and the tab order.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/Win32Window.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32::MainWindow;
using win32test::ClassOf;
using win32test::ClientSize;
using win32test::FontOf;
using win32test::RectInParent;
using win32test::Scaled;
using win32test::TextOf;

class Win32WindowTest : public ::testing::Test {
protected:
    HWND Item(int id) const { return window.Item(id); }
    HWND Main() const { return window.Handle(); }
    // Counts the runs of a handler.
    EventHandler Count(int& runs) {
        return [&runs] { ++runs; };
    }

    // Every control at the place the design tables give, scaled to the DPI;
    // nothing reaches outside its container.
    void ExpectLayout(int dpi) {
        const auto s = [dpi](int v) { return Scaled(v, dpi); };
        const SIZE client = ClientSize(Main());
        EXPECT_EQ(client.cx, s(359));
        EXPECT_EQ(client.cy, s(214 + 24));  // and the automatic exceptions' box

        const struct {
            int id;
            int x, y, width, height;  // height 0: set by the control itself
        } placed[] = {
            {win32::kIdPageControl, 9, 8, 342, 169 + 24},
            {win32::kIdCopyright, 21, 188 + 24, 242, 13},
            {win32::kIdSite, 311, 188 + 24, 22, 13},
            {win32::kIdIdleTimeBar, 20, 27, 209, 30},
            {win32::kIdIdleTimeEdit, 235, 28, 42, 21},
            {win32::kIdRestLevelBar, 20, 83, 209, 30},
            {win32::kIdRestLevelEdit, 235, 84, 42, 21},
            {win32::kIdRelative, 27, 117, 250, 17},
            {win32::kIdPrograms, 41, 9, 260, 0},
            {win32::kIdExceptions, 12, 36, 289, 93},
            {win32::kIdAdd, 307, 8, 24, 23},
            {win32::kIdRemove, 307, 36, 24, 23},
            {win32::kIdAutoExceptions, 12, 134, 319, 28},
            // Labels take the size of their text.
            {win32::kIdIdleTimeLabel, 8, 8, 0, 0},
            {win32::kIdMinutesLabel, 283, 31, 0, 0},
            {win32::kIdRestLevelLabel, 8, 64, 0, 0},
            {win32::kIdPercentLabel, 295, 86, 0, 0},
            {win32::kIdAddLabel, 12, 12, 0, 0},
        };
        for (const auto& p : placed) {
            SCOPED_TRACE("control " + std::to_string(p.id) + " at " + std::to_string(dpi) + " dpi");
            const HWND control = Item(p.id);
            ASSERT_NE(control, nullptr);
            const RECT r = RectInParent(control);
            EXPECT_EQ(r.left, s(p.x));
            EXPECT_EQ(r.top, s(p.y));
            if (p.width != 0) {
                EXPECT_EQ(r.right - r.left, s(p.width));
            }
            if (p.height != 0) {
                EXPECT_EQ(r.bottom - r.top, s(p.height));
            }
            RECT parent{};
            GetClientRect(GetParent(control), &parent);
            EXPECT_LE(r.right, parent.right);
            EXPECT_LE(r.bottom, parent.bottom);
            // Track bars show no text.
            if (p.id == win32::kIdIdleTimeBar || p.id == win32::kIdRestLevelBar) continue;
            EXPECT_EQ(FontOf(control).lfHeight, -MulDiv(8, dpi, 72));
            EXPECT_STREQ(FontOf(control).lfFaceName, "Tahoma");
        }
        // The pick-only list is as high as its text needs: the 21 pixels of
        // the table at 96 DPI.
        const RECT combo = RectInParent(Item(win32::kIdPrograms));
        if (dpi == 96) {
            EXPECT_NEAR(combo.bottom - combo.top, 21, 1);
        } else {
            EXPECT_GT(combo.bottom - combo.top, 21);
        }

        // Both pages cover the tab control's display area.
        RECT area = RectInParent(Item(win32::kIdPageControl));
        SendMessageA(Item(win32::kIdPageControl), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
        for (int page : {win32::kIdPageBasic, win32::kIdPageExceptions}) {
            const RECT r = RectInParent(Item(page));
            EXPECT_EQ(r.left, area.left);
            EXPECT_EQ(r.top, area.top);
            EXPECT_EQ(r.right, area.right);
            EXPECT_EQ(r.bottom, area.bottom);
        }

        EXPECT_TRUE(FontOf(Item(win32::kIdCopyright)).lfUnderline);
        EXPECT_EQ(FontOf(Item(win32::kIdCopyright)).lfWeight, FW_NORMAL);
        EXPECT_TRUE(FontOf(Item(win32::kIdSite)).lfUnderline);
        EXPECT_EQ(FontOf(Item(win32::kIdSite)).lfWeight, FW_BOLD);
    }

    MainWindow window{GetModuleHandleA(nullptr)};
    TRestLevelControls c = window.Controls();
};

TEST_F(Win32WindowTest, WindowHasAFixedFrameWithTheSystemMenuOnly) {
    ASSERT_NE(Main(), nullptr);
    EXPECT_EQ(TextOf(Main()), "RestLevel");
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(Main(), GWL_STYLE));
    EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CHILD));
    EXPECT_FALSE(IsWindowVisible(Main()));
    EXPECT_EQ(ClassOf(Main()), win32::kMainWindowClass);
    EXPECT_EQ(static_cast<COLORREF>(GetClassLongPtrA(Main(), GCLP_HBRBACKGROUND)), COLOR_BTNFACE + 1u);
}

TEST_F(Win32WindowTest, ControlsSitWhereTheDesignPutsThem) { ExpectLayout(window.Dpi()); }

TEST_F(Win32WindowTest, ANewDpiScalesEveryPositionSizeAndFont) {
    for (int dpi : {144, 96}) {
        win32test::SendDpiChange(Main(), dpi, SIZE{365, 236});
        EXPECT_EQ(window.Dpi(), dpi);
        RECT frame{};
        GetWindowRect(Main(), &frame);
        EXPECT_EQ(frame.left, 100);
        EXPECT_EQ(frame.top, 80);
        ExpectLayout(dpi);
    }
}

TEST_F(Win32WindowTest, DesignStateOfTheControls) {
    EXPECT_EQ(c.tbIdleTime.Position(), 100);
    EXPECT_EQ(c.tbRestLevel.Position(), 300);
    EXPECT_EQ(c.pcMain.ActivePage(), kPageBasic);
    // Shown, the window has the first page on screen.
    window.Host().Show();
    EXPECT_TRUE(IsWindowVisible(Item(win32::kIdPageBasic)));
    EXPECT_FALSE(IsWindowVisible(Item(win32::kIdPageExceptions)));
    EXPECT_FALSE(c.btnAdd.Enabled());
    EXPECT_FALSE(c.btnRemove.Enabled());
    EXPECT_FALSE(c.ckbRelative.Checked());
    EXPECT_TRUE(c.ckbAutoExceptions.Checked());
    EXPECT_EQ(c.cbPrograms.ItemIndex(), -1);
    EXPECT_EQ(c.lbPrograms.Count(), 0);

    const struct {
        int id;
        const char* caption;
    } captions[] = {
        {win32::kIdSite, "Site"},
        {win32::kIdIdleTimeLabel, "When the computer has been idle for:"},
        {win32::kIdMinutesLabel, "minutes"},
        {win32::kIdRestLevelLabel, "Set System Volume to:"},
        {win32::kIdPercentLabel, "%"},
        {win32::kIdRelative, "Make adjustment relative to active volume level"},
        {win32::kIdAddLabel, "Add:"},
        {win32::kIdAdd, "+"},
        {win32::kIdRemove, "-"},
        {win32::kIdAutoExceptions, "Also while a program is full screen, keeps the screen on, or records sound"},
    };
    for (const auto& caption : captions) EXPECT_EQ(TextOf(Item(caption.id)), caption.caption) << caption.id;
    const HWND tabs = Item(win32::kIdPageControl);
    ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
    const char* const pages[] = {"Basic Settings", "Exceptions"};
    for (int page = 0; page < 2; ++page) {
        char text[64] = {};
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = sizeof(text);
        ASSERT_TRUE(SendMessageA(tabs, TCM_GETITEMA, static_cast<WPARAM>(page), reinterpret_cast<LPARAM>(&item)));
        EXPECT_STREQ(text, pages[page]);
    }
    EXPECT_EQ(c.cbPrograms.ItemIndex(), -1);
    EXPECT_EQ(c.lbPrograms.Count(), 0);

    const struct {
        int id;
        LRESULT lineSize;
    } bars[] = {{win32::kIdIdleTimeBar, 1}, {win32::kIdRestLevelBar, 10}};
    for (const auto& bar : bars) {
        const HWND h = Item(bar.id);
        EXPECT_EQ(SendMessageA(h, TBM_GETRANGEMIN, 0, 0), 0);
        EXPECT_EQ(SendMessageA(h, TBM_GETRANGEMAX, 0, 0), 1000);
        EXPECT_EQ(SendMessageA(h, TBM_GETPAGESIZE, 0, 0), 100);
        EXPECT_EQ(SendMessageA(h, TBM_GETLINESIZE, 0, 0), bar.lineSize);
        // Ticks every 50 between the ends.
        EXPECT_EQ(SendMessageA(h, TBM_GETNUMTICS, 0, 0), 21);
        // Horizontal, ticks below (TBS_BOTTOM is the absence of TBS_TOP).
        const auto style = GetWindowLongPtrA(h, GWL_STYLE);
        EXPECT_TRUE(style & TBS_AUTOTICKS);
        EXPECT_FALSE(style & (TBS_VERT | TBS_TOP | TBS_BOTH | TBS_NOTICKS));
    }
    const auto comboStyle = GetWindowLongPtrA(Item(win32::kIdPrograms), GWL_STYLE);
    EXPECT_EQ(comboStyle & 3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(comboStyle & CBS_SORT);
    const auto listStyle = GetWindowLongPtrA(Item(win32::kIdExceptions), GWL_STYLE);
    EXPECT_TRUE(listStyle & LBS_NOTIFY);
    EXPECT_FALSE(listStyle & LBS_SORT);
}

// Tab order is the order of the tab stops among each page's windows.
TEST_F(Win32WindowTest, TabOrderFollowsTheDesign) {
    const auto tabStops = [](HWND parent) {
        std::vector<int> ids;
        for (HWND w = GetWindow(parent, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
            if (GetWindowLongPtrA(w, GWL_STYLE) & WS_TABSTOP) ids.push_back(GetDlgCtrlID(w));
        }
        return ids;
    };
    EXPECT_EQ(tabStops(Item(win32::kIdPageBasic)),
              (std::vector<int>{win32::kIdRestLevelBar, win32::kIdRestLevelEdit, win32::kIdIdleTimeBar,
                                win32::kIdIdleTimeEdit, win32::kIdRelative}));
    EXPECT_EQ(tabStops(Item(win32::kIdPageExceptions)),
              (std::vector<int>{win32::kIdPrograms, win32::kIdExceptions, win32::kIdAdd, win32::kIdRemove,
                                win32::kIdAutoExceptions}));
    // The pages lie above the tab control, so that it does not paint over them.
    std::vector<int> order;
    for (HWND w = GetWindow(Main(), GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
        order.push_back(GetDlgCtrlID(w));
    const auto at = [&](int id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
    EXPECT_LT(at(win32::kIdPageBasic), at(win32::kIdPageControl));
    EXPECT_LT(at(win32::kIdPageExceptions), at(win32::kIdPageControl));
    for (int page : {win32::kIdPageBasic, win32::kIdPageExceptions})
        EXPECT_TRUE(GetWindowLongPtrA(Item(page), GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
}

// The message loop hands keys to the dialog manager: Tab walks the tab
// stops of the visible page and the tab control, and comes round again.
TEST_F(Win32WindowTest, TabKeyMovesThroughTheControlsOfTheVisiblePage) {
    window.Host().Show();
    ASSERT_TRUE(win32test::BringToFront(Main()));
    SetFocus(Item(win32::kIdRestLevelBar));
    const int expected[] = {win32::kIdRestLevelEdit, win32::kIdIdleTimeBar, win32::kIdIdleTimeEdit,
                            win32::kIdRelative,      win32::kIdPageControl, win32::kIdRestLevelBar};
    for (int id : expected) {
        MSG msg{};
        msg.hwnd = GetFocus();
        msg.message = WM_KEYDOWN;
        msg.wParam = VK_TAB;
        ASSERT_TRUE(window.PreTranslateMessage(msg));
        EXPECT_EQ(GetDlgCtrlID(GetFocus()), id);
    }
    // Messages for other windows are left alone.
    MSG other{};
    other.hwnd = nullptr;
    other.message = WM_KEYDOWN;
    other.wParam = VK_TAB;
    EXPECT_FALSE(window.PreTranslateMessage(other));
}

// A programmatic move fires once and only when the position changes (also
// when it is clamped); every scroll notification of the user fires, the end
// of a move that left the position where it was included.
TEST_F(Win32WindowTest, SliderFiresOnChangedPositionsAndOnEveryUserScroll) {
    int runs = 0;
    c.tbIdleTime.SetOnChange(Count(runs));
    c.tbIdleTime.SetPosition(100);
    EXPECT_EQ(runs, 0);
    c.tbIdleTime.SetPosition(250);
    EXPECT_EQ(runs, 1);
    c.tbIdleTime.SetPosition(5000);
    EXPECT_EQ(c.tbIdleTime.Position(), 1000);
    EXPECT_EQ(runs, 2);
    c.tbIdleTime.SetPosition(1000);
    c.tbIdleTime.SetPosition(4000);
    EXPECT_EQ(runs, 2);
    c.tbIdleTime.SetPosition(-5);
    EXPECT_EQ(c.tbIdleTime.Position(), 0);
    EXPECT_EQ(runs, 3);

    // Keys: a line, then the end of the move; line and page sizes of the
    // design.
    const struct {
        ITrackBar& bar;
        HWND handle;
        WPARAM key;
        int from, to;
    } keys[] = {
        {c.tbIdleTime, Item(win32::kIdIdleTimeBar), VK_RIGHT, 0, 1},
        {c.tbRestLevel, Item(win32::kIdRestLevelBar), VK_RIGHT, 300, 310},
        {c.tbRestLevel, Item(win32::kIdRestLevelBar), VK_NEXT, 300, 400},
    };
    for (const auto& k : keys) {
        SCOPED_TRACE("key " + std::to_string(k.key) + " from " + std::to_string(k.from));
        int userRuns = 0;
        k.bar.SetOnChange(nullptr);
        k.bar.SetPosition(k.from);
        k.bar.SetOnChange(Count(userRuns));
        SendMessageA(k.handle, WM_KEYDOWN, k.key, 0);
        EXPECT_EQ(k.bar.Position(), k.to);
        EXPECT_EQ(userRuns, 1);
        SendMessageA(k.handle, WM_KEYUP, k.key, 0);
        EXPECT_EQ(userRuns, 2);
    }

    // At the end of the range the position stays, and the end of the move
    // still fires.
    int endRuns = 0;
    c.tbRestLevel.SetOnChange(nullptr);
    c.tbRestLevel.SetPosition(1000);
    c.tbRestLevel.SetOnChange(Count(endRuns));
    SendMessageA(Item(win32::kIdRestLevelBar), WM_KEYDOWN, VK_RIGHT, 0);
    const int beforeEnd = endRuns;
    SendMessageA(Item(win32::kIdRestLevelBar), WM_KEYUP, VK_RIGHT, 0);
    EXPECT_EQ(c.tbRestLevel.Position(), 1000);
    EXPECT_EQ(endRuns, beforeEnd + 1);
}

TEST_F(Win32WindowTest, CheckBoxFiresOnChangedMarksAndOnClicks) {
    int runs = 0;
    c.ckbRelative.SetOnClick(Count(runs));
    c.ckbRelative.SetChecked(false);
    EXPECT_EQ(runs, 0);
    c.ckbRelative.SetChecked(true);
    EXPECT_EQ(runs, 1);
    c.ckbRelative.SetChecked(true);
    EXPECT_EQ(runs, 1);
    // The user's click toggles the box before the handler sees it.
    bool seen = true;
    c.ckbRelative.SetOnClick([&] {
        ++runs;
        seen = c.ckbRelative.Checked();
    });
    SendMessageA(Item(win32::kIdRelative), BM_CLICK, 0, 0);
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(seen);
}

TEST_F(Win32WindowTest, EditBoxFiresWhenTheFocusLeavesIt) {
    window.Host().Show();
    int runs = 0;
    c.ebIdleTime.SetOnExit(Count(runs));
    c.ebIdleTime.SetText("12,5");
    EXPECT_EQ(c.ebIdleTime.Text(), "12,5");
    EXPECT_EQ(runs, 0);
    SetFocus(Item(win32::kIdIdleTimeEdit));
    EXPECT_EQ(runs, 0);
    SetFocus(Item(win32::kIdRestLevelEdit));
    EXPECT_EQ(runs, 1);
}

TEST_F(Win32WindowTest, LabelsAndButtonsFireOnClicks) {
    int siteRuns = 0;
    int addRuns = 0;
    c.Label6.SetOnClick(Count(siteRuns));
    c.btnAdd.SetOnClick(Count(addRuns));
    SendMessageA(Item(win32::kIdSite), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageA(Item(win32::kIdSite), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    EXPECT_EQ(siteRuns, 1);

    c.btnAdd.SetEnabled(true);
    EXPECT_TRUE(c.btnAdd.Enabled());
    SendMessageA(Item(win32::kIdAdd), BM_CLICK, 0, 0);
    EXPECT_EQ(addRuns, 1);
    c.btnAdd.SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(Item(win32::kIdAdd)));

    // The notice line's colour: blue on the window's face.
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageA(Main(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(Item(win32::kIdCopyright)));
    EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 255));
    DeleteDC(dc);
}

// Programmatic page changes fire nothing; the user's fires after the pages
// were switched.
TEST_F(Win32WindowTest, PageControlFiresOnlyForTheUsersChange) {
    window.Host().Show();
    int runs = 0;
    c.pcMain.SetOnChange(Count(runs));
    c.pcMain.SetActivePage(kPageExceptions);
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(IsWindowVisible(Item(win32::kIdPageExceptions)));
    EXPECT_FALSE(IsWindowVisible(Item(win32::kIdPageBasic)));
    c.pcMain.SetActivePage(kPageBasic);

    bool exceptionsShown = false;
    c.pcMain.SetOnChange([&] {
        ++runs;
        exceptionsShown = IsWindowVisible(Item(win32::kIdPageExceptions)) &&
                          !IsWindowVisible(Item(win32::kIdPageBasic));
    });
    SetFocus(Item(win32::kIdPageControl));
    SendMessageA(Item(win32::kIdPageControl), WM_KEYDOWN, VK_RIGHT, 0);
    SendMessageA(Item(win32::kIdPageControl), WM_KEYUP, VK_RIGHT, 0);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(c.pcMain.ActivePage(), kPageExceptions);
    EXPECT_TRUE(exceptionsShown);
}

TEST_F(Win32WindowTest, DropDownKeepsItsEntriesSortedWithTheirData) {
    IComboBox& combo = c.cbPrograms;
    int runs = 0;
    combo.SetOnClick(Count(runs));
    combo.BeginUpdate();
    EXPECT_EQ(combo.AddItem("player.exe", "C:\\apps\\player.exe"), 0);
    EXPECT_EQ(combo.AddItem("Editor (edit.exe)", "C:\\apps\\edit.exe"), 0);
    EXPECT_EQ(combo.AddItem("zip.exe", "C:\\tools\\zip.exe"), 2);
    // Sorted without regard to case.
    EXPECT_EQ(combo.AddItem("Media Player (mp.exe)", "D:\\mp.exe"), 1);
    combo.EndUpdate();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Editor (edit.exe)", "C:\\apps\\edit.exe"},
        {"Media Player (mp.exe)", "D:\\mp.exe"},
        {"player.exe", "C:\\apps\\player.exe"},
        {"zip.exe", "C:\\tools\\zip.exe"},
    };
    ASSERT_EQ(combo.Count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(combo.ItemText(i), expected[static_cast<std::size_t>(i)].first);
        EXPECT_EQ(combo.ItemData(i), expected[static_cast<std::size_t>(i)].second);
    }
    combo.DeleteItem(1);
    EXPECT_EQ(combo.Count(), 3);
    EXPECT_EQ(combo.ItemData(1), "C:\\apps\\player.exe");
    EXPECT_EQ(combo.ItemData(7), "");

    combo.SetItemIndex(0);
    EXPECT_EQ(combo.ItemIndex(), 0);
    EXPECT_EQ(runs, 0);
    // The user moves the choice with the keyboard.
    SendMessageA(Item(win32::kIdPrograms), WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(combo.ItemIndex(), 1);
    EXPECT_EQ(runs, 1);
    combo.SetItemIndex(-1);
    EXPECT_EQ(combo.ItemIndex(), -1);
    EXPECT_EQ(runs, 1);
}

TEST_F(Win32WindowTest, ListKeepsItsOrderAndScrollsAnEntryIntoViewAsLowAsItFits) {
    IListBox& list = c.lbPrograms;
    int runs = 0;
    list.SetOnClick(Count(runs));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(list.AddItem("C:\\z\\program" + std::to_string(29 - i) + ".exe"), i);
    EXPECT_EQ(list.Item(0), "C:\\z\\program29.exe");
    ASSERT_GT(list.ItemHeight(), 0);
    ASSERT_GT(list.ClientHeight(), list.ItemHeight());

    SelectListItem(list, 20, true);
    EXPECT_EQ(list.ItemIndex(), 20);
    EXPECT_EQ(runs, 0);
    const HWND h = Item(win32::kIdExceptions);
    RECT item{};
    SendMessageA(h, LB_GETITEMRECT, 20, reinterpret_cast<LPARAM>(&item));
    EXPECT_GE(item.top, 0);
    EXPECT_LE(item.bottom, list.ClientHeight());
    SendMessageA(h, LB_GETITEMRECT, 21, reinterpret_cast<LPARAM>(&item));
    EXPECT_GT(item.bottom, list.ClientHeight());

    SendMessageA(h, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(list.ItemIndex(), 21);
    EXPECT_EQ(runs, 1);
    list.DeleteItem(0);
    EXPECT_EQ(list.Count(), 29);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.ItemIndex(), -1);
}

TEST_F(Win32WindowTest, TrayAndMenuCommandsReachTheirHandlers) {
    int trayRuns = 0;
    int openRuns = 0;
    int disableRuns = 0;
    int exitRuns = 0;
    c.tiMain.SetOnClick(Count(trayRuns));
    c.OpenRestLevel1.SetOnClick(Count(openRuns));
    c.DisableRestLevel1.SetOnClick(Count(disableRuns));
    c.Exit1.SetOnClick(Count(exitRuns));

    SendMessageA(Main(), win32::kTrayMessage, win32::kTrayId, WM_LBUTTONUP);
    SendMessageA(Main(), win32::kTrayMessage, win32::kTrayId, WM_MOUSEMOVE);
    EXPECT_EQ(trayRuns, 1);
    SendMessageA(Main(), WM_COMMAND, win32::kCmdOpen, 0);
    SendMessageA(Main(), WM_COMMAND, win32::kCmdDisable, 0);
    SendMessageA(Main(), WM_COMMAND, win32::kCmdExit, 0);
    // The keyboard's Enter and Escape in the window are no menu commands.
    SendMessageA(Main(), WM_COMMAND, IDOK, 0);
    SendMessageA(Main(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(openRuns, 1);
    EXPECT_EQ(disableRuns, 1);
    EXPECT_EQ(exitRuns, 1);

    // The check mark shows in the menu and fires nothing.
    c.DisableRestLevel1.SetChecked(true);
    EXPECT_TRUE(GetMenuState(window.TrayMenu(), win32::kCmdDisable, MF_BYCOMMAND) & MF_CHECKED);
    c.DisableRestLevel1.SetChecked(false);
    EXPECT_FALSE(GetMenuState(window.TrayMenu(), win32::kCmdDisable, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_EQ(disableRuns, 1);
    char caption[64] = {};
    const struct {
        UINT id;
        const char* caption;
    } items[] = {{win32::kCmdOpen, "&Open RestLevel"}, {win32::kCmdDisable, "&Disable RestLevel"},
                 {win32::kCmdExit, "E&xit"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(GetMenuItemID(window.TrayMenu(), i), items[i].id);
        GetMenuStringA(window.TrayMenu(), items[i].id, caption, sizeof(caption), MF_BYCOMMAND);
        EXPECT_STREQ(caption, items[i].caption);
    }

    // Without an icon in the shell the image index is kept for later.
    c.tiMain.SetImageIndex(2);
    EXPECT_EQ(c.tiMain.ImageIndex(), 2);
}

// What the shell is given for each image index: the picture of that state
// (the most common colour is the square, the next the loudspeaker) and the
// tooltip.
TEST_F(Win32WindowTest, TrayShowsThePictureOfEachStateWithItsTooltip) {
    const struct {
        int index;
        const char* meaning;
        const char* square;
        const char* loudspeaker;
    } images[] = {
        {kImageResting, "rest level in force", "#008080", "#ffd600"},
        {kImageDisabled, "disabled", "#808080", "#ffffff"},
        {kImageWatching, "watching", "#008080", "#ffffff"},
    };
    for (const auto& image : images) {
        SCOPED_TRACE(image.meaning);
        c.tiMain.SetImageIndex(image.index);
        const NOTIFYICONDATAW data = window.TrayIconData();
        EXPECT_TRUE(data.uFlags & NIF_ICON);
        const std::vector<std::string> colours = win32test::IconColours(data.hIcon);
        ASSERT_GE(colours.size(), 2u);
        EXPECT_EQ(colours[0], image.square);
        EXPECT_EQ(colours[1], image.loudspeaker);
        EXPECT_TRUE(data.uFlags & NIF_TIP);
        EXPECT_STREQ(data.szTip, L"RestLevel");
    }

    // The reason the volume was left alone, dash and all, whatever the code
    // page; one too long for the tip leaves the title.
    c.tiMain.SetHint("RestLevel \u2014 a full-screen program is open");
    EXPECT_STREQ(window.TrayIconData().szTip, L"RestLevel \u2014 a full-screen program is open");
    c.tiMain.SetHint(std::string(200, 'x'));
    EXPECT_STREQ(window.TrayIconData().szTip, L"RestLevel");
    c.tiMain.SetHint("RestLevel");
    EXPECT_STREQ(window.TrayIconData().szTip, L"RestLevel");
}

TEST_F(Win32WindowTest, ShowingRunsTheShowHandlerOnceEachTimeTheWindowBecomesVisible) {
    int shows = 0;
    win32::FormEvents events;
    events.show = [&] { ++shows; };
    window.SetFormEvents(events);
    IFormHost& host = window.Host();
    EXPECT_FALSE(host.Visible());
    host.Show();
    EXPECT_TRUE(host.Visible());
    EXPECT_EQ(shows, 1);
    host.Show();
    EXPECT_EQ(shows, 1);
    host.Hide();
    EXPECT_FALSE(host.Visible());
    host.Show();
    EXPECT_EQ(shows, 2);
    EXPECT_EQ(host.Handle(), reinterpret_cast<WindowHandle>(Main()));
}

TEST_F(Win32WindowTest, ClosingAsksTheFormWhetherTheProgramEnds) {
    bool ends = false;
    int asked = 0;
    win32::FormEvents events;
    events.close = [&] {
        ++asked;
        if (!ends) window.Host().Hide();
        return ends;
    };
    window.SetFormEvents(events);
    window.Host().Show();

    window.Host().Close();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(IsWindow(Main()));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));

    window.Host().Show();
    ends = true;
    SendMessageA(Main(), WM_CLOSE, 0, 0);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(IsWindowVisible(Main()));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    // The window itself stays until the program has finished with the form.
    EXPECT_TRUE(IsWindow(Main()));
}

TEST_F(Win32WindowTest, SessionEndAndShowRequestsReachTheForm) {
    int ends = 0;
    int requests = 0;
    win32::FormEvents events;
    events.endSession = [&] { ++ends; };
    events.showRequest = [&] { ++requests; };
    window.SetFormEvents(events);

    EXPECT_EQ(SendMessageA(Main(), WM_QUERYENDSESSION, 0, 0), TRUE);
    SendMessageA(Main(), WM_ENDSESSION, FALSE, 0);
    EXPECT_EQ(ends, 0);
    SendMessageA(Main(), WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(ends, 1);

    PostMessageA(Main(), RegisterWindowMessageA(win32::kShowRequestMessage), 0, 0);
    EXPECT_TRUE(win32test::WaitFor([&] { return requests == 1; }, 10s));
}

TEST_F(Win32WindowTest, DetachedFormHearsNothingMore) {
    int runs = 0;
    int closes = 0;
    c.tbIdleTime.SetOnChange(Count(runs));
    win32::FormEvents events;
    events.close = [&] {
        ++closes;
        return true;
    };
    window.SetFormEvents(events);
    window.DetachForm();
    c.tbIdleTime.SetPosition(555);
    EXPECT_EQ(c.tbIdleTime.Position(), 555);
    SendMessageA(Main(), WM_CLOSE, 0, 0);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(closes, 0);
}

TEST_F(Win32WindowTest, ToolWindowStyleKeepsTheClientArea) {
    const SIZE before = ClientSize(Main());
    window.Host().AddExStyle(kWsExToolWindow);
    EXPECT_TRUE(GetWindowLongPtrA(Main(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    const SIZE after = ClientSize(Main());
    EXPECT_EQ(after.cx, before.cx);
    EXPECT_EQ(after.cy, before.cy);
    window.Host().AddExStyle(kWsExAppWindow);
    EXPECT_TRUE(GetWindowLongPtrA(Main(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(GetWindowLongPtrA(Main(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
}

// Dragged within ten pixels of an edge of the work area, the window moves
// onto that edge; further away it goes where it is dragged.
TEST_F(Win32WindowTest, DraggedNearAScreenEdgeTheWindowSnapsToIt) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromWindow(Main(), MONITOR_DEFAULTTOPRIMARY), &monitor));
    const RECT work = monitor.rcWork;
    const int w = 365;
    const int h = 236;
    const int midX = (work.left + work.right - w) / 2;
    const int midY = (work.top + work.bottom - h) / 2;
    const struct {
        const char* name;
        int left, top;  // where the drag puts the window
        int snappedLeft, snappedTop;
    } cases[] = {
        {"left edge", work.left + 6, midY, work.left, midY},
        {"past the left edge", work.left - 9, midY, work.left, midY},
        {"top edge", midX, work.top + 10, midX, work.top},
        {"right edge", work.right - w - 7, midY, work.right - w, midY},
        {"bottom edge", midX, work.bottom - h + 4, midX, work.bottom - h},
        {"corner", work.left + 3, work.top + 2, work.left, work.top},
        {"away from every edge", work.left + 40, work.top + 40, work.left + 40, work.top + 40},
        {"just out of reach", work.left + 11, midY, work.left + 11, midY},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        RECT drag{row.left, row.top, row.left + w, row.top + h};
        EXPECT_EQ(SendMessageA(Main(), WM_MOVING, WMSZ_LEFT, reinterpret_cast<LPARAM>(&drag)), TRUE);
        EXPECT_EQ(drag.left, row.snappedLeft);
        EXPECT_EQ(drag.top, row.snappedTop);
        EXPECT_EQ(drag.right - drag.left, w);
        EXPECT_EQ(drag.bottom - drag.top, h);
    }
}

}  // namespace
}  // namespace rl

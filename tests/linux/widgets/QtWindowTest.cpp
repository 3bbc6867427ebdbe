// The Qt window's controls driven in-process, on Qt's offscreen platform
// unless QT_QPA_PLATFORM says otherwise: the event rules of platform/Ui.h as
// the real widgets keep them, the layout, and the window with the form.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/RestLevel01.h"
#include "platform/linux/QtWindow.h"
#include "support/KzRegistry.h"
#include "support/VorlLibRegistry.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

class QtWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_.Widget()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.Widget()));
    }

    EventHandler Counter() {
        return [this] { ++fired_; };
    }
    // Handler runs since the last call.
    int Fired() { return std::exchange(fired_, 0); }

    qt::MainWindow window_;
    int fired_ = 0;
};

TEST_F(QtWindowTest, SliderFiresOnceForEachChangeByTheProgramAndForEveryUserNotification) {
    qt::TrackBar& bar = window_.tbIdleTime;
    QSlider* slider = bar.Widget();
    // The design position is there before any handler.
    EXPECT_EQ(bar.Position(), 100);
    EXPECT_EQ(window_.tbRestLevel.Position(), 300);
    bar.SetOnChange(Counter());

    struct Step {
        const char* what;
        std::function<void()> act;
        int position;
        int fires;
    };
    const std::vector<Step> steps = {
        {"program moves it", [&] { bar.SetPosition(250); }, 250, 1},
        {"program sets the same position", [&] { bar.SetPosition(250); }, 250, 0},
        {"program goes past the end", [&] { bar.SetPosition(5000); }, 1000, 1},
        {"program goes past the same end", [&] { bar.SetPosition(1001); }, 1000, 0},
        {"key at the end: no move, still a notification", [&] { QTest::keyClick(slider, Qt::Key_Right); }, 1000, 1},
        {"key moves it by a line", [&] { QTest::keyClick(slider, Qt::Key_Left); }, 999, 1},
        {"key to the start", [&] { QTest::keyClick(slider, Qt::Key_Home); }, 0, 1},
        {"key to the start again", [&] { QTest::keyClick(slider, Qt::Key_Home); }, 0, 1},
        {"drag that moves, then ends",
         [&] {
             slider->setSliderDown(true);
             slider->setSliderPosition(400);
             slider->setSliderDown(false);
         },
         400, 2},
        {"drag that ends where it began",
         [&] {
             slider->setSliderDown(true);
             slider->setSliderDown(false);
         },
         400, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(bar.Position(), step.position);
        EXPECT_EQ(Fired(), step.fires);
    }

    // The rest-level slider's line is ten positions.
    QTest::keyClick(window_.tbRestLevel.Widget(), Qt::Key_Right);
    EXPECT_EQ(window_.tbRestLevel.Position(), 310);
}

TEST_F(QtWindowTest, CheckBoxFiresOnEveryChangeOfItsMarkAndMenuItemOnlyOnClicks) {
    qt::CheckBox& box = window_.ckbRelative;
    box.SetOnClick(Counter());
    box.SetChecked(true);
    EXPECT_EQ(Fired(), 1);
    box.SetChecked(true);
    EXPECT_EQ(Fired(), 0);
    box.Widget()->click();
    EXPECT_FALSE(box.Checked());
    EXPECT_EQ(Fired(), 1);

    // The form's own handler inverts the mark; Qt's flip must not undo it.
    qt::MenuItem& item = window_.DisableRestLevel1;
    item.SetOnClick([&] {
        ++fired_;
        item.SetChecked(!item.Checked());
    });
    item.SetChecked(true);
    EXPECT_EQ(Fired(), 0);
    item.Action()->trigger();
    EXPECT_EQ(Fired(), 1);
    EXPECT_FALSE(item.Checked());
    item.Action()->trigger();
    EXPECT_EQ(Fired(), 1);
    EXPECT_TRUE(item.Checked());

    // Items without a mark stay without one.
    window_.Exit1.SetOnClick(Counter());
    window_.Exit1.Action()->trigger();
    EXPECT_EQ(Fired(), 1);
    EXPECT_FALSE(window_.Exit1.Checked());
}

TEST_F(QtWindowTest, EditBoxFiresWhenTheFocusMovesToAnotherControl) {
    QApplication::setActiveWindow(window_.Widget());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.Widget()));
    qt::EditBox& box = window_.ebIdleTime;
    box.SetOnExit(Counter());
    box.Widget()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(box.Widget()->hasFocus());
    box.SetText("12.5");
    QTest::keyClicks(box.Widget(), "7");
    EXPECT_EQ(Fired(), 0) << "typing and setting text are not leaving the box";
    window_.ebRestLvl.Widget()->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(Fired(), 1);
    EXPECT_EQ(box.Text(), "12.57");
}

TEST_F(QtWindowTest, ComboBoxKeepsItsEntriesSortedWithTheirDataAndFiresOnlyForThePick) {
    qt::ComboBox& combo = window_.cbPrograms;
    combo.SetOnClick(Counter());
    struct Entry {
        const char* text;
        const char* data;
        int index;  // where it lands
    };
    const Entry entries[] = {
        {"beta", "/b", 0}, {"Alpha", "/a", 0}, {"gamma", "/g", 2}, {"alpha 2", "/a2", 1}, {"Beta", "/B", 3},
    };
    combo.BeginUpdate();
    for (const Entry& e : entries) EXPECT_EQ(combo.AddItem(e.text, e.data), e.index) << e.text;
    combo.EndUpdate();
    EXPECT_TRUE(combo.Widget()->updatesEnabled());
    const std::vector<std::pair<std::string, std::string>> sorted = {
        {"Alpha", "/a"}, {"alpha 2", "/a2"}, {"beta", "/b"}, {"Beta", "/B"}, {"gamma", "/g"}};
    ASSERT_EQ(combo.Count(), 5);
    for (int i = 0; i < combo.Count(); ++i) {
        EXPECT_EQ(combo.ItemText(i), sorted[static_cast<std::size_t>(i)].first);
        EXPECT_EQ(combo.ItemData(i), sorted[static_cast<std::size_t>(i)].second);
    }
    EXPECT_EQ(combo.ItemIndex(), -1) << "adding selects nothing";

    combo.SetItemIndex(2);
    EXPECT_EQ(Fired(), 0);
    combo.AddItem("aardvark", "/aa");
    EXPECT_EQ(combo.ItemIndex(), 3) << "the selection follows its entry";
    QTest::keyClick(combo.Widget(), Qt::Key_Down);
    EXPECT_EQ(Fired(), 1);
    EXPECT_EQ(combo.ItemText(combo.ItemIndex()), "Beta");
    combo.DeleteItem(combo.ItemIndex());
    EXPECT_EQ(combo.ItemIndex(), -1) << "deleting the selected entry leaves none selected";
    EXPECT_EQ(Fired(), 0);
    for (int i = combo.Count() - 1; i >= 0; --i) combo.DeleteItem(i);
    EXPECT_EQ(combo.Count(), 0);
}

TEST_F(QtWindowTest, ListBoxScrollsTheChosenEntryAsLowAsItFitsAndFiresOnlyForTheUser) {
    window_.pcMain.SetActivePage(kPageExceptions);
    qt::ListBox& list = window_.lbPrograms;
    list.SetOnClick(Counter());
    for (int i = 0; i < 30; ++i) list.AddItem("/usr/bin/program" + std::to_string(i));
    ASSERT_GT(list.ClientHeight(), list.ItemHeight());

    QListWidget* widget = list.Widget();
    const QRect viewport = widget->viewport()->rect();
    for (const int index : {20, 29, 3, 0}) {
        SCOPED_TRACE(index);
        SelectListItem(list, index, true);
        EXPECT_EQ(list.ItemIndex(), index);
        EXPECT_TRUE(viewport.contains(widget->visualItemRect(widget->item(index)))) << "the entry is in view";
        EXPECT_EQ(widget->indexAt(QPoint(1, 1)).row(), list.TopIndex()) << "TopIndex is the first entry shown";
        if (index + 1 < list.Count() && list.TopIndex() > 0) {
            EXPECT_FALSE(viewport.contains(widget->visualItemRect(widget->item(index + 1))))
                << "nothing below it is wholly in view";
        }
    }
    EXPECT_EQ(Fired(), 0);

    // The user's click on an entry.
    const QRect second = widget->visualItemRect(widget->item(1));
    QTest::mouseClick(widget->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(list.ItemIndex(), 1);
    EXPECT_EQ(Fired(), 1);

    list.DeleteItem(1);
    EXPECT_EQ(list.ItemIndex(), -1) << "deleting the selected entry leaves none selected";
    list.SetItemIndex(4);
    list.DeleteItem(0);
    EXPECT_EQ(list.ItemIndex(), 3) << "the selection follows its entry";
    list.SetItemIndex(-1);
    EXPECT_EQ(list.ItemIndex(), -1);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(Fired(), 0);
}

TEST_F(QtWindowTest, PageControlFiresOnlyWhenTheUserChangesThePage) {
    qt::PageControl& pages = window_.pcMain;
    pages.SetOnChange(Counter());
    pages.SetActivePage(kPageExceptions);
    EXPECT_EQ(pages.ActivePage(), kPageExceptions);
    EXPECT_EQ(Fired(), 0);
    QTabBar* bar = pages.Widget()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(kPageBasic).center());
    EXPECT_EQ(pages.ActivePage(), kPageBasic);
    EXPECT_EQ(Fired(), 1);
}

TEST_F(QtWindowTest, WindowHasItsFixedSizeAndEveryControlFitsInsideItsPage) {
    QWidget* w = window_.Widget();
    EXPECT_EQ(w->windowTitle(), "RestLevel");
    EXPECT_EQ(w->size(), QSize(359, 214 + 24));  // and the automatic exceptions' box
    EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "not resizable";
    EXPECT_FALSE(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(window_.pcMain.Widget()->tabText(kPageBasic), "Basic Settings");
    EXPECT_EQ(window_.pcMain.Widget()->tabText(kPageExceptions), "Exceptions");
    EXPECT_FALSE(window_.btnAdd.Enabled());
    EXPECT_FALSE(window_.btnRemove.Enabled());
    EXPECT_TRUE(window_.ckbAutoExceptions.Checked());
    // Its two lines fit its height too.
    EXPECT_LE(window_.ckbAutoExceptions.Widget()->sizeHint().height(), window_.ckbAutoExceptions.Widget()->height());

    const std::vector<std::pair<const char*, QWidget*>> controls = {
        {"pcMain", window_.pcMain.Widget()},         {"lbCopyright", window_.lbCopyright.Widget()},
        {"Label6", window_.Label6.Widget()},         {"Label3", window_.Label3.Widget()},
        {"tbIdleTime", window_.tbIdleTime.Widget()}, {"ebIdleTime", window_.ebIdleTime.Widget()},
        {"Label4", window_.Label4.Widget()},         {"Label1", window_.Label1.Widget()},
        {"tbRestLevel", window_.tbRestLevel.Widget()}, {"ebRestLvl", window_.ebRestLvl.Widget()},
        {"Label2", window_.Label2.Widget()},         {"ckbRelative", window_.ckbRelative.Widget()},
        {"Label5", window_.Label5.Widget()},         {"cbPrograms", window_.cbPrograms.Widget()},
        {"lbPrograms", window_.lbPrograms.Widget()}, {"btnAdd", window_.btnAdd.Widget()},
        {"btnRemove", window_.btnRemove.Widget()},   {"ckbAutoExceptions", window_.ckbAutoExceptions.Widget()},
    };
    // Fonts wider than Tahoma must not cut a caption off.
    for (const auto& [name, control] : controls) {
        if (qobject_cast<QLabel*>(control) == nullptr && qobject_cast<QCheckBox*>(control) == nullptr) continue;
        if (control == window_.lbCopyright.Widget()) continue;  // its caption comes with the form
        EXPECT_LE(control->sizeHint().width(), control->width()) << name << "'s text is cut off";
    }
    for (const int page : {kPageBasic, kPageExceptions}) {
        window_.pcMain.SetActivePage(page);
        QApplication::processEvents();
        for (const auto& [name, control] : controls) {
            if (!control->isVisible()) continue;
            QWidget* parent = control->parentWidget();
            EXPECT_TRUE(parent->rect().contains(control->geometry()))
                << name << " at " << control->geometry().x() << "," << control->geometry().y() << " size "
                << control->width() << "x" << control->height() << " is cut off by a parent of size "
                << parent->width() << "x" << parent->height();
        }
    }
}

// Only a session that tells nothing about the program in front gets the line
// under the list, told before the window is made or while it is up.
TEST_F(QtWindowTest, TheExceptionsPageSaysTheListCannotApplyOnlyWhenTold) {
    qt::MainWindow toldFirst;
    toldFirst.SetForegroundUnknown(true);
    toldFirst.Widget()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(toldFirst.Widget()));

    struct Case {
        const char* name;
        qt::MainWindow& window;
        std::function<void()> tell;
        bool shown;
    };
    const Case cases[] = {
        {"not told", window_, [] {}, false},
        {"told before the window was made", toldFirst, [] {}, true},
        {"told while the window is up", window_, [this] { window_.SetForegroundUnknown(true); }, true},
        {"told again that it is known", window_, [this] { window_.SetForegroundUnknown(false); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.tell();
        c.window.pcMain.SetActivePage(kPageExceptions);
        QApplication::processEvents();
        QLabel* line = c.window.lbNoForeground.Widget();
        const QRect list = c.window.lbPrograms.Widget()->geometry();
        const QRect box = c.window.ckbAutoExceptions.Widget()->geometry();
        EXPECT_EQ(line->isVisible(), c.shown);
        EXPECT_EQ(line->parentWidget(), c.window.pcMain.Page(kPageExceptions));
        if (c.shown) {
            EXPECT_EQ(line->text().toStdString(),
                      "This desktop does not tell which program is in front:\nthe list cannot apply.");
            // Under the list, above the box, whole.
            EXPECT_GE(line->geometry().top(), list.bottom());
            EXPECT_LE(line->geometry().bottom(), box.top());
            EXPECT_LE(line->sizeHint().width(), line->width());
            EXPECT_LE(line->sizeHint().height(), line->height());
        } else {
            EXPECT_EQ(list, QRect(12, 36, 289, 93)) << "the list keeps its whole height";
        }
    }
}

// Where the design puts each control (left, top, width x height at 96 DPI,
// in its container) and the fixed captions. Labels without a size take the
// size of their text; the two marked to grow keep their place and may be
// wider where the font is wider than Tahoma.
TEST_F(QtWindowTest, ControlsSitWhereTheDesignPutsThemWithTheirCaptions) {
    QWidget* w = window_.Widget();
    QWidget* basic = window_.pcMain.Page(kPageBasic);
    QWidget* exceptions = window_.pcMain.Page(kPageExceptions);
    const auto text = [](QWidget* control) -> std::string {
        if (auto* label = qobject_cast<QLabel*>(control)) return label->text().toStdString();
        if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text().toStdString();
        return {};
    };
    const struct {
        const char* name;
        QWidget* control;
        QWidget* container;
        int x, y, width, height;
        bool grows;
        const char* caption;  // nullptr: set at run time, or none
    } rows[] = {
        {"pcMain", window_.pcMain.Widget(), w, 9, 8, 342, 169 + 24, false, nullptr},
        {"lbCopyright", window_.lbCopyright.Widget(), w, 21, 188 + 24, 242, 13, false, nullptr},
        {"Label6", window_.Label6.Widget(), w, 311, 188 + 24, 22, 13, true, "Site"},
        {"Label3", window_.Label3.Widget(), basic, 8, 8, 0, 0, false, "When the computer has been idle for:"},
        {"tbIdleTime", window_.tbIdleTime.Widget(), basic, 20, 27, 209, 30, false, nullptr},
        {"ebIdleTime", window_.ebIdleTime.Widget(), basic, 235, 28, 42, 21, false, nullptr},
        {"Label4", window_.Label4.Widget(), basic, 283, 31, 0, 0, false, "minutes"},
        {"Label1", window_.Label1.Widget(), basic, 8, 64, 0, 0, false, "Set System Volume to:"},
        {"tbRestLevel", window_.tbRestLevel.Widget(), basic, 20, 83, 209, 30, false, nullptr},
        {"ebRestLvl", window_.ebRestLvl.Widget(), basic, 235, 84, 42, 21, false, nullptr},
        {"Label2", window_.Label2.Widget(), basic, 295, 86, 0, 0, false, "%"},
        {"ckbRelative", window_.ckbRelative.Widget(), basic, 27, 117, 250, 17, true,
         "Make adjustment relative to active volume level"},
        {"Label5", window_.Label5.Widget(), exceptions, 12, 12, 0, 0, false, "Add:"},
        {"cbPrograms", window_.cbPrograms.Widget(), exceptions, 41, 9, 260, 21, false, nullptr},
        {"lbPrograms", window_.lbPrograms.Widget(), exceptions, 12, 36, 289, 93, false, nullptr},
        {"btnAdd", window_.btnAdd.Widget(), exceptions, 307, 8, 24, 23, false, "+"},
        {"btnRemove", window_.btnRemove.Widget(), exceptions, 307, 36, 24, 23, false, "-"},
        // Its height follows the font (checked with the page's fit).
        {"ckbAutoExceptions", window_.ckbAutoExceptions.Widget(), exceptions, 12, 134, 0, 0, false,
         "Also while a program is full screen,\nkeeps the screen on, or records sound"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(row.control, nullptr);
        EXPECT_EQ(row.control->parentWidget(), row.container);
        EXPECT_EQ(row.control->x(), row.x);
        EXPECT_EQ(row.control->y(), row.y);
        if (row.width != 0) {
            EXPECT_EQ(row.control->height(), row.height);
            const bool wider = row.grows && row.control->sizeHint().width() > row.width;
            EXPECT_EQ(row.control->width(), wider ? row.control->sizeHint().width() : row.width);
        }
        if (row.caption != nullptr) {
            EXPECT_EQ(text(row.control), row.caption);
        }
    }
    EXPECT_EQ(window_.pcMain.Widget()->count(), 2);
}

// The tray: a picture for each state (the most common colour of the image
// is the square, the next the loudspeaker), the tooltip and the menu.
TEST_F(QtWindowTest, TrayShowsThePictureOfEachStateWithItsTooltipAndMenu) {
    const std::string teal = "#008080", grey = "#808080", white = "#ffffff", yellow = "#ffd600";
    const struct {
        int index;
        const char* meaning;
        std::string square, loudspeaker;
    } images[] = {
        {kImageResting, "rest level in force", teal, yellow},
        {kImageDisabled, "disabled", grey, white},
        {kImageWatching, "watching", teal, white},
    };
    const auto name = [](QRgb colour) { return QColor(colour).name().toStdString(); };
    for (const auto& image : images) {
        SCOPED_TRACE(image.meaning);
        window_.tiMain.SetImageIndex(image.index);
        const QImage shown = window_.tiMain.Icon().icon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(shown.size(), QSize(16, 16));
        std::map<QRgb, int> counts;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                if (qAlpha(shown.pixel(x, y)) == 255) ++counts[shown.pixel(x, y)];
        std::vector<std::pair<int, QRgb>> byCount;
        for (const auto& [colour, count] : counts) byCount.emplace_back(count, colour);
        std::sort(byCount.rbegin(), byCount.rend());
        ASSERT_GE(byCount.size(), 2u);
        EXPECT_EQ(name(byCount[0].second), image.square);
        EXPECT_EQ(name(byCount[1].second), image.loudspeaker);
    }
    EXPECT_EQ(window_.tiMain.Icon().toolTip().toStdString(), "RestLevel");

    ASSERT_EQ(window_.tiMain.Icon().contextMenu(), window_.pmPopup.get());
    const QList<QAction*> actions = window_.pmPopup->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0], window_.OpenRestLevel1.Action());
    EXPECT_EQ(actions[1], window_.DisableRestLevel1.Action());
    EXPECT_EQ(actions[2], window_.Exit1.Action());
    EXPECT_EQ(actions[0]->text().toStdString(), "&Open RestLevel");
    EXPECT_EQ(actions[1]->text().toStdString(), "&Disable RestLevel");
    EXPECT_EQ(actions[2]->text().toStdString(), "E&xit");
    EXPECT_TRUE(actions[1]->isCheckable());
}

// Before the window is first shown the controls keep their state
// themselves, under the same event rules, and hand it to the widgets.
TEST(QtWindowBeforeShowingTest, ControlsKeepTheEventRulesAndHandTheirStateToTheWidgets) {
    qt::MainWindow window;
    int fired = 0;
    const EventHandler count = [&] { ++fired; };
    window.tbRestLevel.SetOnChange(count);
    window.ckbRelative.SetOnClick(count);
    window.pcMain.SetOnChange(count);
    window.cbPrograms.SetOnClick(count);
    window.lbPrograms.SetOnClick(count);

    window.tbRestLevel.SetPosition(333);
    window.tbRestLevel.SetPosition(333);
    window.tbRestLevel.SetPosition(-5);
    EXPECT_EQ(fired, 2) << "two changes";
    window.ckbRelative.SetChecked(true);
    window.ckbRelative.SetChecked(true);
    EXPECT_EQ(fired, 3);
    window.pcMain.SetActivePage(kPageExceptions);
    window.ebIdleTime.SetText("7.5");
    window.lbCopyright.SetCaption("notice");
    EXPECT_EQ(window.cbPrograms.AddItem("zeta", "/z"), 0);
    EXPECT_EQ(window.cbPrograms.AddItem("Alpha", "/a"), 0);
    window.cbPrograms.SetItemIndex(1);
    window.lbPrograms.AddItem("/one");
    window.lbPrograms.AddItem("/two");
    window.lbPrograms.SetItemIndex(1);
    window.btnRemove.SetEnabled(true);
    EXPECT_EQ(fired, 3) << "programmatic page, list and selection changes are silent";
    EXPECT_FALSE(window.Realized());

    QWidget* w = window.Widget();
    ASSERT_TRUE(window.Realized());
    EXPECT_EQ(fired, 3) << "making the widgets fires nothing";
    EXPECT_EQ(window.tbRestLevel.Widget()->value(), 0);
    EXPECT_EQ(window.tbIdleTime.Widget()->value(), 100) << "the design position";
    EXPECT_TRUE(window.ckbRelative.Widget()->isChecked());
    EXPECT_EQ(window.pcMain.Widget()->currentIndex(), kPageExceptions);
    EXPECT_EQ(window.ebIdleTime.Widget()->text(), "7.5");
    EXPECT_EQ(window.lbCopyright.Widget()->text(), "notice");
    EXPECT_EQ(window.cbPrograms.Widget()->itemText(0), "Alpha");
    EXPECT_EQ(window.cbPrograms.Widget()->currentIndex(), 1);
    EXPECT_EQ(window.cbPrograms.ItemData(1), "/z");
    EXPECT_EQ(window.lbPrograms.Widget()->count(), 2);
    EXPECT_EQ(window.lbPrograms.ItemIndex(), 1);
    EXPECT_TRUE(window.btnRemove.Widget()->isEnabled());
    EXPECT_FALSE(window.btnAdd.Widget()->isEnabled());
    EXPECT_FALSE(w->isVisible());
}

// The window with the portable form on fake devices: what showing and
// closing mean, and the form's texts in the real controls.
class QtWindowFormTest : public QtWindowTest {
protected:
    void SetUp() override {
        SetRegistryPort(&registry_);
        form_ = std::make_unique<TfrmRestLevel>(
            window_.Controls(), TRestLevelServices{window_, clock_, devices_, timer_, pump_, false});
        window_.SetOnShow([this] { form_->FormShow(); });
        window_.SetOnClose([this] { return form_->FormClose(); });
        ASSERT_TRUE(StartRestLevel(*form_));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.Widget()));
    }
    void TearDown() override { SetRegistryPort(nullptr); }

    // Runs the event loop until something leaves it; 7 when nothing did.
    int RunLoop(const std::function<void()>& act) {
        QTimer::singleShot(0, act);
        QTimer::singleShot(1000, [] { QCoreApplication::exit(7); });
        return QApplication::exec();
    }

    fake::Registry registry_;
    fake::Clock clock_;
    fake::AudioDevices devices_;
    fake::Timer timer_;
    fake::Pump pump_;
    std::unique_ptr<TfrmRestLevel> form_;
};

TEST_F(QtWindowFormTest, FirstStartFillsTheControlsAndTheNoticeFitsItsLabel) {
    EXPECT_TRUE(window_.Visible());
    EXPECT_EQ(window_.ebIdleTime.Text(), "10.0");
    EXPECT_EQ(window_.ebRestLvl.Text(), "30.0");
    EXPECT_TRUE(window_.Widget()->windowFlags().testFlag(Qt::Tool)) << "no taskbar entry";
    EXPECT_EQ(RegReadInteger(kHKeyCurrentUser, kSettingsKey, kValueConfigured, kKeyRead, 0), 1);
    QLabel* notice = window_.lbCopyright.Widget();
    EXPECT_FALSE(notice->text().isEmpty());
    EXPECT_LE(notice->fontMetrics().horizontalAdvance(notice->text()), notice->width());
}

TEST(QtWindowFormLaterStartTest, ALaterStartLeavesTheWindowUnmadeUntilItIsOpened) {
    fake::Registry registry;
    SetRegistryPort(&registry);
    RegWriteInteger(kHKeyCurrentUser, kSettingsKey, kValueConfigured, 1);
    qt::MainWindow window;
    fake::Clock clock;
    fake::AudioDevices devices;
    fake::Timer timer;
    fake::Pump pump;
    TfrmRestLevel form(window.Controls(), TRestLevelServices{window, clock, devices, timer, pump, false});
    window.SetOnShow([&] { form.FormShow(); });
    window.SetOnClose([&] { return form.FormClose(); });
    ASSERT_TRUE(StartRestLevel(form));
    EXPECT_FALSE(window.Realized()) << "only the tray icon on a later start";
    EXPECT_EQ(window.ebRestLvl.Text(), "30.0");

    form.tiMainClick();
    ASSERT_TRUE(window.Realized());
    EXPECT_TRUE(window.Visible());
    EXPECT_EQ(window.ebRestLvl.Widget()->text(), "30.0");
    EXPECT_EQ(window.tbIdleTime.Widget()->value(), 100);
    EXPECT_TRUE(window.Widget()->windowFlags().testFlag(Qt::Tool)) << "the tool-window style asked for before";
    SetRegistryPort(nullptr);
}

TEST_F(QtWindowFormTest, ClosingHidesTheWindowAndExitEndsTheLoop) {
    EXPECT_EQ(RunLoop([this] { window_.Close(); }), 7) << "a plain close does not end the program";
    EXPECT_FALSE(window_.Visible());

    // The tray's Open brings the same window back.
    window_.OpenRestLevel1.Action()->trigger();
    EXPECT_TRUE(window_.Visible());

    EXPECT_EQ(RunLoop([this] { window_.Exit1.Action()->trigger(); }), 0);
    EXPECT_FALSE(window_.Visible());
}

}  // namespace
}  // namespace rl

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

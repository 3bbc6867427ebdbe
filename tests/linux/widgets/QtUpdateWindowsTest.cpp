// The Qt update windows in-process: their layout, Enter, Escape and Tab in
// the release-notes window, the notes as the text document holds them, and
// the download window's painting.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/QtUpdateWindows.h"
#include "platform/linux/RtfReader.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzAutoUpdateProgress.h"

namespace rl {
namespace {

struct Placement {
    const char* name;
    QWidget* widget;
    QRect expected;
};

void ExpectPlacements(const std::vector<Placement>& placements) {
    for (const Placement& p : placements) {
        const QRect g = p.widget->geometry();
        EXPECT_EQ(g, p.expected) << p.name << " is at " << g.x() << "," << g.y() << " size " << g.width() << "x"
                                 << g.height();
    }
}

void ExpectCentred(QWidget* window) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame = window->frameGeometry();
    const QPoint offset = frame.center() - area.center();
    EXPECT_LE(offset.manhattanLength(), 1) << "centre " << frame.center().x() << "," << frame.center().y();
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int Take() { return std::exchange(paints_, 0); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints_;
        return QObject::eventFilter(watched, event);
    }

private:
    int paints_ = 0;
};

class QtUpdateInfoTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpdateWindowPort(&factory_); }
    void TearDown() override { SetUpdateWindowPort(nullptr); }

    // Runs the window modally; `act` runs once it is up and active.
    int RunModal(qt::UpdateInfoWindow& window, const std::function<void(qt::UpdateInfoWindow&)>& act) {
        QTimer::singleShot(0, [&] {
            QDialog* dialog = window.Widget();
            if (!QTest::qWaitForWindowActive(dialog)) ADD_FAILURE() << "the window did not become active";
            act(window);
            // Ends a loop that the action failed to end.
            QTimer::singleShot(2000, dialog, [dialog] { dialog->done(99); });
        });
        return window.ShowModal();
    }

    qt::UpdateWindowFactory factory_;
};

TEST_F(QtUpdateInfoTest, WindowHasItsSizeCaptionAndControlsInTheirPlaces) {
    TfrmUpdateInfo form(factory_.CreateUpdateInfoWindow());
    auto& window = static_cast<qt::UpdateInfoWindow&>(form.Window());
    QDialog* w = window.Widget();
    EXPECT_EQ(w->windowTitle(), "RestLevel Update");
    EXPECT_EQ(w->size(), QSize(505, 293));
    EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "not resizable";
    EXPECT_FALSE(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                     Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint))
        << "no title-bar buttons";

    QTextEdit* notes = window.Edit().Widget();
    ExpectPlacements({
        {"reInfo", notes, QRect(16, 16, 473, 238)},
        {"btnYes", window.btnYes(), QRect(328, 260, 75, 25)},
        {"btnNo", window.btnNo(), QRect(409, 260, 75, 25)},
    });
    EXPECT_TRUE(notes->isReadOnly());
    EXPECT_EQ(notes->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(window.btnYes()->text(), "Yes");
    EXPECT_EQ(window.btnNo()->text(), "No");
    EXPECT_TRUE(window.btnYes()->isDefault());
    EXPECT_FALSE(window.btnNo()->isDefault());

    // The question keeps its top and right edge; a font wider than Tahoma
    // makes it longer to the left.
    QLabel* prompt = window.lbVersionPrompt();
    EXPECT_EQ(prompt->text(), "Would you like to install this version?");
    EXPECT_EQ(prompt->y(), 265);
    EXPECT_EQ(prompt->x() + prompt->width(), 140 + 175);
    EXPECT_GE(prompt->width(), 175);
    EXPECT_GE(prompt->width(), prompt->sizeHint().width()) << "the question is cut off";
    EXPECT_GE(prompt->height(), 13);
    for (QWidget* control : {static_cast<QWidget*>(notes), static_cast<QWidget*>(prompt),
                             static_cast<QWidget*>(window.btnYes()), static_cast<QWidget*>(window.btnNo())}) {
        EXPECT_TRUE(w->rect().contains(control->geometry())) << control->metaObject()->className();
    }
    EXPECT_FALSE(prompt->geometry().intersects(window.btnYes()->geometry()));

    EXPECT_EQ(RunModal(window,
                       [](qt::UpdateInfoWindow& shown) {
                           ExpectCentred(shown.Widget());
                           EXPECT_TRUE(shown.Widget()->isModal());
                           shown.btnNo()->click();
                       }),
              kMrNo);
}

TEST_F(QtUpdateInfoTest, EnterAnswersYesEscapeAnswersNo) {
    struct Case {
        const char* what;
        std::function<void(qt::UpdateInfoWindow&)> act;
        int result;
    };
    const auto key = [](Qt::Key k) {
        return [k](qt::UpdateInfoWindow&) { QTest::keyClick(QApplication::focusWidget(), k); };
    };
    const std::vector<Case> cases = {
        {"Return", key(Qt::Key_Return), kMrYes},
        {"Enter on the keypad", key(Qt::Key_Enter), kMrYes},
        {"Escape", key(Qt::Key_Escape), kMrNo},
        {"Return in the notes",
         [](qt::UpdateInfoWindow& w) {
             w.Edit().Widget()->setFocus(Qt::TabFocusReason);
             QTest::keyClick(w.Edit().Widget(), Qt::Key_Return);
         },
         kMrYes},
        {"Escape in the notes",
         [](qt::UpdateInfoWindow& w) {
             w.Edit().Widget()->setFocus(Qt::TabFocusReason);
             QTest::keyClick(w.Edit().Widget(), Qt::Key_Escape);
         },
         kMrNo},
        {"Return on No, which has the focus",
         [](qt::UpdateInfoWindow& w) {
             w.btnNo()->setFocus(Qt::TabFocusReason);
             QTest::keyClick(w.btnNo(), Qt::Key_Return);
         },
         kMrNo},
        {"a click on Yes", [](qt::UpdateInfoWindow& w) { QTest::mouseClick(w.btnYes(), Qt::LeftButton); }, kMrYes},
        {"a click on No", [](qt::UpdateInfoWindow& w) { QTest::mouseClick(w.btnNo(), Qt::LeftButton); }, kMrNo},
        {"closed by the window manager", [](qt::UpdateInfoWindow& w) { w.Widget()->close(); }, kMrNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qt::UpdateInfoWindow window;
        EXPECT_EQ(RunModal(window, c.act), c.result);
        EXPECT_FALSE(window.Widget()->isVisible());
    }
}

TEST_F(QtUpdateInfoTest, TabGoesFromYesToNoToTheNotesAndBack) {
    qt::UpdateInfoWindow window;
    RunModal(window, [](qt::UpdateInfoWindow& w) {
        const std::vector<std::pair<const char*, QWidget*>> order = {
            {"btnYes", w.btnYes()}, {"btnNo", w.btnNo()}, {"reInfo", w.Edit().Widget()}, {"btnYes", w.btnYes()}};
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (i > 0) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), order[i].second) << "step " << i << ": " << order[i].first;
        }
        w.btnNo()->click();
    });
}

// Release notes as a user would write them in WordPad.
constexpr char kNotes[] =
    R"({\rtf1\ansi\ansicpg1252\deff0{\fonttbl{\f0\fswiss Tahoma;}{\f1\fnil\fcharset2 Symbol;}})"
    R"({\colortbl ;\red192\green0\blue0;}{\*\generator Riched20;}\viewkind4\uc1)"
    R"(\pard\qc\sa120\b\fs24 RestLevel 1.1\b0\fs16\par)"
    R"(\pard{\pntext\f1\'b7\tab}\fi-200\li400\i Faster\i0  fades, \ul underlined\ulnone ,\line )"
    R"(\cf1 red\cf0  and caf\'e9 \u8364?\par})";

TEST_F(QtUpdateInfoTest, NotesBecomeTheDocumentsFormattedBlocks) {
    TfrmUpdateInfo form(factory_.CreateUpdateInfoWindow());
    auto& window = static_cast<qt::UpdateInfoWindow&>(form.Window());
    form.SetInfoText(kNotes);
    EXPECT_EQ(window.reInfo().Text(), "RestLevel 1.1\n·\tFaster fades, underlined,\nred and café €");

    QTextDocument* document = window.Edit().Widget()->document();
    ASSERT_EQ(document->blockCount(), 2);
    const QTextBlock title = document->firstBlock();
    EXPECT_EQ(title.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_DOUBLE_EQ(title.blockFormat().bottomMargin(), 8.0) << "\\sa120 is 8 pixels";
    const QTextBlock item = title.next();
    EXPECT_DOUBLE_EQ(item.blockFormat().leftMargin(), 400 / 15.0);
    EXPECT_DOUBLE_EQ(item.blockFormat().textIndent(), -200 / 15.0);
    EXPECT_TRUE(item.text().contains(QChar(QChar::LineSeparator))) << "\\line breaks the line, not the paragraph";
    // The hanging first line's tab goes to the left indent, where the next
    // line begins.
    window.Widget()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.Widget()));
    ASSERT_GE(item.layout()->lineCount(), 2);
    EXPECT_NEAR(item.layout()->lineAt(0).cursorToX(2), item.layout()->lineAt(1).x(), 0.5);
    EXPECT_NEAR(item.layout()->lineAt(1).x(), 400 / 15.0, 0.5);

    // Each fragment's format, by its text.
    struct Expected {
        QString text;
        bool bold, italic, underline;
        qreal points;  // 0: the edit's own font
        QColor color;  // invalid: the edit's own
    };
    const std::vector<Expected> expected = {
        {"RestLevel 1.1", true, false, false, 12, {}},
        {"·\t", false, false, false, 8, {}},
        {"Faster", false, true, false, 8, {}},
        {" fades, ", false, false, false, 8, {}},
        {"underlined", false, false, true, 8, {}},
        {QStringLiteral(",\u2028"), false, false, false, 8, {}},
        {"red", false, false, false, 8, QColor(192, 0, 0)},
        {QStringLiteral(" and café €"), false, false, false, 8, {}},
    };
    std::vector<QTextFragment> fragments;
    for (QTextBlock b = document->firstBlock(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) fragments.push_back(it.fragment());
    }
    ASSERT_EQ(fragments.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const QTextCharFormat f = fragments[i].charFormat();
        const Expected& e = expected[i];
        SCOPED_TRACE(e.text.toStdString());
        EXPECT_EQ(fragments[i].text(), e.text);
        EXPECT_EQ(f.fontWeight() >= QFont::Bold, e.bold);
        EXPECT_EQ(f.fontItalic(), e.italic);
        EXPECT_EQ(f.fontUnderline(), e.underline);
        EXPECT_DOUBLE_EQ(f.fontPointSize(), e.points);
        if (e.color.isValid()) EXPECT_EQ(f.foreground().color(), e.color);
        else EXPECT_FALSE(f.hasProperty(QTextFormat::ForegroundBrush));
    }

    // Loading again replaces the notes.
    form.SetInfoText("");
    EXPECT_EQ(window.reInfo().Text(), "");
}

// Notes whose paragraphs or words are too long for a quick layout: every
// run keeps its text and format, the paragraph its spacing, and the
// document is broken up where a line may break anyway (the blocks and the
// stretches without a break opportunity stay short).
TEST_F(QtUpdateInfoTest, LongNotesKeepEveryRunAndItsFormat) {
    constexpr int kPairs = 3000;  // "ab" pairs: one word of 6000 characters
    constexpr int kFaces = 300;   // a word of characters beyond the basic plane
    std::string notes = "{\\rtf1\\ansi \\pard\\fi300\\sb150\\sa300 ";
    for (int i = 0; i < kPairs; ++i) notes += "\\b a\\b0 b";
    // An odd start: a break opportunity may fall where a pair would split.
    notes += "\\par\\pard\\i x";
    for (int i = 0; i < kFaces; ++i) notes += "\\u-10179?\\u-8704?";  // U+1F600
    notes += "\\i0\\par ";
    for (int i = 0; i < 1000; ++i) notes += "word ";
    notes += "}";
    std::string words;
    for (int i = 0; i < 1000; ++i) words += "word ";
    std::string faces = "x";
    for (int i = 0; i < kFaces; ++i) faces += "\xF0\x9F\x98\x80";
    std::string pairs;
    for (int i = 0; i < kPairs; ++i) pairs += "ab";

    qt::UpdateInfoWindow window;
    window.reInfo().LoadFromStream(notes);
    std::string shown = window.reInfo().Text();
    std::erase(shown, '\n');
    EXPECT_TRUE(shown == pairs + faces + words) << "the notes read " << shown.size() << " bytes";

    QTextDocument* document = window.Edit().Widget()->document();
    // The runs of the first paragraph, in order, each with its format.
    int runs = 0;
    QTextBlock block = document->firstBlock();
    const QTextBlock first = block;
    QTextBlock last;
    for (; block.isValid() && !block.text().startsWith(u'x'); block = block.next()) {
        last = block;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            QString text = it.fragment().text();
            text.remove(QChar(0x200B));
            const bool bold = it.fragment().charFormat().fontWeight() >= QFont::Bold;
            for (const QChar c : text) {
                ASSERT_EQ(c, runs % 2 == 0 ? u'a' : u'b') << "run " << runs;
                ASSERT_EQ(bold, runs % 2 == 0) << "run " << runs;
                ++runs;
            }
        }
    }
    EXPECT_EQ(runs, 2 * kPairs);
    ASSERT_NE(first, last) << "the long paragraph is one block";
    // The paragraph's first-line indent and space before belong to its
    // first block, its space after to its last; none between its blocks.
    EXPECT_DOUBLE_EQ(first.blockFormat().textIndent(), 20.0);
    EXPECT_DOUBLE_EQ(first.blockFormat().topMargin(), 10.0);
    EXPECT_DOUBLE_EQ(first.blockFormat().bottomMargin(), 0.0);
    EXPECT_DOUBLE_EQ(last.blockFormat().textIndent(), 0.0);
    EXPECT_DOUBLE_EQ(last.blockFormat().topMargin(), 0.0);
    EXPECT_DOUBLE_EQ(last.blockFormat().bottomMargin(), 20.0);

    // The faces are italic and whole: nothing comes between a surrogate pair.
    ASSERT_TRUE(block.isValid());
    for (auto it = block.begin(); !it.atEnd(); ++it) EXPECT_TRUE(it.fragment().charFormat().fontItalic());
    const QString raw = document->toPlainText();
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const bool paired = raw[i].isHighSurrogate() ? i + 1 < raw.size() && raw[i + 1].isLowSurrogate()
                            : raw[i].isLowSurrogate()  ? i > 0 && raw[i - 1].isHighSurrogate()
                                                       : true;
        ASSERT_TRUE(paired) << "at " << i;
    }

    // What keeps the layout short.
    for (QTextBlock b = document->firstBlock(); b.isValid(); b = b.next()) {
        EXPECT_LE(b.length(), 5000) << "block " << b.blockNumber();
        qsizetype stretch = 0;
        for (const QChar c : b.text()) {
            stretch = c == u' ' || c == QChar(0x200B) ? 0 : stretch + 1;
            ASSERT_LE(stretch, 200) << "block " << b.blockNumber();
        }
    }

    // Plain text, one line of 10000 characters: the same.
    window.reInfo().Clear();
    window.reInfo().LoadFromStream(std::string(10000, 'x'));
    shown = window.reInfo().Text();
    std::erase(shown, '\n');
    EXPECT_EQ(shown, std::string(10000, 'x'));
    EXPECT_GT(document->blockCount(), 1);
}

TEST_F(QtUpdateInfoTest, TextThatIsNotRtfIsShownAsItIs) {
    qt::UpdateInfoWindow window;
    IRichEdit& edit = window.reInfo();
    struct Case {
        const char* what;
        bool plainMode;
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"UTF-8", false, "Grüße\n{\\b not bold}", "Grüße\n{\\b not bold}"},
        {"Windows-1252", false, "Gr\xfc\xdf" "e \x80", "Grüße €"},
        {"RTF in plain-text mode", true, "{\\rtf1 \\b x}", "{\\rtf1 \\b x}"},
        // As RichEdit does, which refuses it as RTF.
        {"blank lines before RTF", false, "\r\n  {\\rtf1\\ansi \\b New\\b0  version}",
         "\n  {\\rtf1\\ansi \\b New\\b0  version}"},
        {"nothing", false, "", ""},
    };
    for (const Case& c : cases) {
        edit.SetPlainText(c.plainMode);
        edit.Clear();
        edit.LoadFromStream(c.text);
        EXPECT_EQ(edit.Text(), c.shown) << c.what;
    }
}

TEST_F(QtUpdateInfoTest, LongNotesScrollFromTheirBeginning) {
    std::string notes = "{\\rtf1 ";
    for (int i = 0; i < 200; ++i) notes += "Line " + std::to_string(i) + "\\par ";
    notes += "}";
    qt::UpdateInfoWindow window;
    window.reInfo().LoadFromStream(notes);
    RunModal(window, [](qt::UpdateInfoWindow& w) {
        QScrollBar* bar = w.Edit().Widget()->verticalScrollBar();
        EXPECT_GT(bar->maximum(), 0);
        EXPECT_EQ(bar->value(), 0);
        QTest::keyClick(w.Edit().Widget(), Qt::Key_End, Qt::ControlModifier);
        EXPECT_GT(bar->value(), bar->maximum() / 2) << "the keys scroll the notes";
        w.btnNo()->click();
    });
}

class QtUpdateProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUpdateWindowPort(&factory_);
        form_ = CreateKzAutoUpdateForm();
        ASSERT_NE(form_, nullptr);
        window_ = &static_cast<qt::UpdateProgressWindow&>(form_->Window());
    }
    void TearDown() override { SetUpdateWindowPort(nullptr); }

    qt::UpdateWindowFactory factory_;
    std::unique_ptr<TfrmKzAutoUpdate> form_;
    qt::UpdateProgressWindow* window_ = nullptr;
};

TEST_F(QtUpdateProgressTest, WindowHasItsSizeCaptionAndControlsInTheirPlaces) {
    QWidget* w = window_->Widget();
    EXPECT_EQ(w->windowTitle(), "Downloading Update...");
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(w->size(), QSize(297, 57));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());
    QLabel* label = window_->Label().Widget();
    QProgressBar* bar = window_->Bar().Widget();
    EXPECT_EQ(label->text(), "Downloading...");
    EXPECT_EQ(label->pos(), QPoint(14, 8));
    EXPECT_EQ(label->size(), label->sizeHint()) << "sized to its text";
    ExpectPlacements({{"pbProgress", bar, QRect(12, 24, 273, 20)}});
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 1000);
    EXPECT_EQ(form_->pbProgress().Max(), 1000);
    EXPECT_EQ(form_->pbProgress().Position(), 0);
    EXPECT_FALSE(w->isVisible()) << "shown only when asked";

    form_->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    ExpectCentred(w);

    // A longer text: the label grows with it.
    form_->SetProgressText("Download 1 of 2 (restlevel)...");
    EXPECT_EQ(label->pos(), QPoint(14, 8));
    EXPECT_EQ(label->size(), label->sizeHint());
}

// As on Windows: no close button, and a close request (the window
// manager's, as Alt+F4 sends it) neither closes the window nor ends the
// download.
TEST_F(QtUpdateProgressTest, HasNoCloseButtonAndRefusesToClose) {
    QWidget* w = window_->Widget();
    EXPECT_FALSE(w->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                                     Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint))
        << "title-bar buttons";
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::CustomizeWindowHint)) << "without it Qt adds the buttons";
    form_->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    form_->SetProgressPosition(400);
    ASSERT_NE(w->windowHandle(), nullptr);
    EXPECT_FALSE(w->windowHandle()->close());
    EXPECT_FALSE(w->close());
    QApplication::processEvents();
    EXPECT_TRUE(w->isVisible());
    // The download goes on in the same window.
    form_->SetProgressPosition(500);
    EXPECT_EQ(window_->Bar().Widget()->value(), 500);
    EXPECT_TRUE(w->isVisible());
}

TEST_F(QtUpdateProgressTest, PositionsStayInTheBarsRange) {
    IProgressBar& bar = form_->pbProgress();
    for (const auto& [set, read] : std::vector<std::pair<int, int>>{{500, 500}, {-5, 0}, {1000, 1000}, {2000, 1000}}) {
        bar.SetPosition(set);
        EXPECT_EQ(bar.Position(), read) << set;
    }
}

TEST_F(QtUpdateProgressTest, TextAndPositionPaintAtOnceAndAnEqualTextDoesNot) {
    QWidget* w = window_->Widget();
    form_->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    PaintCounter label(window_->Label().Widget());
    PaintCounter bar(window_->Bar().Widget());
    QApplication::processEvents();
    label.Take();
    bar.Take();

    // No message loop runs between these calls, as during a download.
    form_->SetProgressText("Checking for Update Files...");
    EXPECT_EQ(label.Take(), 1);
    form_->SetProgressText("Checking for Update Files...");
    EXPECT_EQ(label.Take(), 0);
    EXPECT_EQ(window_->Label().Widget()->text(), "Checking for Update Files...");

    form_->SetProgressPosition(250);
    EXPECT_GE(bar.Take(), 1);
    EXPECT_EQ(window_->Bar().Widget()->value(), 250);
    // The bar paints a new value by itself; the same one only when told.
    form_->SetProgressPosition(250);
    EXPECT_EQ(bar.Take(), 1);
}

TEST_F(QtUpdateProgressTest, ShowingTheBarShowsItsWindowInFront) {
    QWidget* w = window_->Widget();
    form_->pbProgress().Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    EXPECT_TRUE(window_->Bar().Widget()->isVisible());
    ExpectCentred(w);
    form_.reset();
    EXPECT_EQ(QApplication::topLevelWidgets().count(w), 0) << "destroying the form destroys the window";
}

}  // namespace
}  // namespace rl

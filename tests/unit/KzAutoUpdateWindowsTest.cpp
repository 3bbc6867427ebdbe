// The update windows' logic against fake windows: the caption, loading the
// notes, the modal answer, and the download window's painting.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Application.h"
#include "tests/fakes/FakeApplication.h"
#include "tests/fakes/FakeUpdateUi.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzAutoUpdateProgress.h"

namespace rl {
namespace {

using Log = std::vector<std::string>;

class UpdateWindowsTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpdateWindowPort(&factory_); }
    void TearDown() override {
        SetUpdateWindowPort(nullptr);
        SetApplicationPort(nullptr);
        SetApplicationTitle("RestLevel");
    }

    fake::UpdateWindowFactory factory_;
};

TEST_F(UpdateWindowsTest, TheCaptionIsTheApplicationTitleFollowedByUpdate) {
    {
        TfrmUpdateInfo form(factory_.CreateUpdateInfoWindow());
        EXPECT_EQ(form.Window().Caption(), "RestLevel Update");
    }
    SetApplicationTitle("Other: Tool?");
    TfrmUpdateInfo form(factory_.CreateUpdateInfoWindow());
    EXPECT_EQ(form.Window().Caption(), "Other: Tool? Update");
}

TEST_F(UpdateWindowsTest, ExecuteUpdateInfoAnswersTrueOnlyForYes) {
    struct Case {
        const char* what;
        int modalResult;
        bool expected;
    };
    const Case cases[] = {
        {"Yes (Enter)", kMrYes, true},
        {"No (Escape)", kMrNo, false},
        {"closed another way", kMrNone, false},
        {"cancelled", 2, false},
        {"a result beside Yes", kMrYes - 1, false},  // neither Yes nor No
        {"a result past No", kMrNo + 1, false},
    };
    const std::string notes = "{\\rtf1 {\\b New:} faster fades\\par}";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        factory_.infoWindows.clear();
        factory_.answer = c.modalResult;
        EXPECT_EQ(ExecuteUpdateInfo(notes), c.expected);
        ASSERT_EQ(factory_.infoWindows.size(), 1u);
        const fake::UpdateInfoWindow& window = *factory_.infoWindows[0];
        EXPECT_EQ(window.edit.text, notes);
        const Log expected = {"Window.SetCaption RestLevel Update", "RichEdit.SetPlainText false", "RichEdit.Clear",
                              "RichEdit.LoadFromStream " + notes, "Window.ShowModal", "Window.Destroyed"};
        EXPECT_EQ(window.log, expected);
    }
}

TEST_F(UpdateWindowsTest, TheNotesAreReadAsRichTextWhateverModeTheEditWasIn) {
    bool checked = false;
    factory_.onShowModal = [&](fake::UpdateInfoWindow& window) {
        // What the user sees while the question is open.
        EXPECT_FALSE(window.destroyed);
        EXPECT_EQ(window.caption, "RestLevel Update");
        EXPECT_FALSE(window.edit.plainAtLoad);
        EXPECT_EQ(window.edit.Text(), "notes");
        checked = true;
        return kMrYes;
    };
    // A window whose edit starts in plain-text mode with old text in it.
    auto window = factory_.CreateUpdateInfoWindow();
    factory_.infoWindows[0]->edit.plain = true;
    factory_.infoWindows[0]->edit.text = "old";
    TfrmUpdateInfo form(std::move(window));
    form.SetInfoText("notes");
    EXPECT_EQ(form.ShowModal(), kMrYes);
    EXPECT_TRUE(checked);
}

TEST_F(UpdateWindowsTest, EmptyNotesStillAskTheQuestion) {
    factory_.answer = kMrYes;
    EXPECT_TRUE(ExecuteUpdateInfo(""));
    ASSERT_EQ(factory_.infoWindows.size(), 1u);
    const fake::UpdateInfoWindow& window = *factory_.infoWindows[0];
    EXPECT_EQ(window.modalShows, 1);
    EXPECT_EQ(window.edit.clears, 1);
    EXPECT_EQ(window.edit.loads, 1);
    EXPECT_EQ(window.edit.Text(), "");
}

TEST_F(UpdateWindowsTest, WithoutWindowsTheAnswerIsNo) {
    factory_.answer = kMrYes;
    factory_.refuse = true;
    EXPECT_FALSE(ExecuteUpdateInfo("notes"));
    EXPECT_EQ(CreateKzAutoUpdateForm(), nullptr);

    SetUpdateWindowPort(nullptr);
    EXPECT_FALSE(ExecuteUpdateInfo("notes"));
    EXPECT_EQ(CreateKzAutoUpdateForm(), nullptr);
}

TEST_F(UpdateWindowsTest, ProgressTextRepaintsOnlyWhenItChanges) {
    std::unique_ptr<TfrmKzAutoUpdate> form = CreateKzAutoUpdateForm();
    ASSERT_NE(form, nullptr);
    const fake::UpdateProgressWindow& window = *factory_.progressWindows.at(0);

    struct Step {
        const char* text;
        int repaints;  // in all, after the step
    };
    const Step steps[] = {
        {"Downloading...", 0},  // the window's own first text
        {"Checking for Update Files...", 1},
        {"Checking for Update Files...", 1},
        {"Download 1 of 2 (restlevel)...", 2},
        {"", 3},
        {"", 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.text);
        form->SetProgressText(step.text);
        EXPECT_EQ(window.label.caption, step.text);
        EXPECT_EQ(window.label.repaints, step.repaints);
    }
    const Log expected = {"Label.SetCaption Checking for Update Files...", "Label.Repaint",
                          "Label.SetCaption Download 1 of 2 (restlevel)...", "Label.Repaint", "Label.SetCaption ",
                          "Label.Repaint"};
    EXPECT_EQ(window.log, expected);
}

TEST_F(UpdateWindowsTest, ProgressPositionIsSetAndPaintedBeforeMessagesAreProcessed) {
    std::unique_ptr<TfrmKzAutoUpdate> form = CreateKzAutoUpdateForm();
    ASSERT_NE(form, nullptr);
    fake::UpdateProgressWindow& window = *factory_.progressWindows.at(0);
    fake::Application application;
    application.onProcessMessages = [&] { window.log.push_back("ProcessMessages"); };
    SetApplicationPort(&application);

    form->SetProgressPosition(0);
    form->SetProgressPosition(500);
    form->SetProgressPosition(500);  // the same position is painted again
    EXPECT_EQ(&form->pbProgress(), &window.bar) << "the bar HTTPGet advances is the window's";
    EXPECT_EQ(window.bar.Position(), 500);
    EXPECT_EQ(application.processed, 3);
    const Log expected = {"ProgressBar.SetPosition 0",   "ProgressBar.Repaint", "ProcessMessages",
                          "ProgressBar.SetPosition 500", "ProgressBar.Repaint", "ProcessMessages",
                          "ProgressBar.SetPosition 500", "ProgressBar.Repaint", "ProcessMessages"};
    EXPECT_EQ(window.log, expected);

    // Without an application (tests, or before start-up) nothing is
    // processed, and the rest still happens.
    SetApplicationPort(nullptr);
    form->SetProgressPosition(1000);
    EXPECT_EQ(window.bar.Position(), 1000);
    EXPECT_EQ(window.bar.repaints, 4);
    EXPECT_EQ(application.processed, 3);

    form.reset();
    EXPECT_TRUE(window.destroyed);
}

}  // namespace
}  // namespace rl

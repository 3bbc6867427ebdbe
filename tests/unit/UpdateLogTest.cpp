// The update log writer against a fake file system: a fresh log replaces the
// old file, an appended one keeps it, lines end in CR LF, fragments reach the
// file at once, and a closed log drops what it is given.
#include <gtest/gtest.h>

#include "support/KzFileLib.h"
#include "tests/fakes/FakeFileSystem.h"
#include "update/UpdateLog.h"

namespace rl {
namespace {

constexpr char kLog[] = "C:\\Temp\\RestLevel Update.log";

class UpdateLogTest : public ::testing::Test {
protected:
    void SetUp() override { SetFileSystemPort(&files); }
    void TearDown() override { SetFileSystemPort(nullptr); }
    std::string Content() { return files.files[kLog].data; }

    fake::FileSystem files;
};

TEST_F(UpdateLogTest, AFreshLogReplacesTheOldFileAndWritesEachPieceAtOnce) {
    files.files[kLog].data = "an earlier check\r\n";
    TUpdateLog log;
    ASSERT_TRUE(log.OpenAfresh(kLog));
    EXPECT_EQ(Content(), "");
    EXPECT_EQ(files.calls.front(), std::string("DeleteFile ") + kLog) << "deleted before it is created";

    log.Fragment("Check File RestLevel.zbin ... ");
    EXPECT_EQ(Content(), "Check File RestLevel.zbin ... ") << "a fragment is in the file before the line ends";
    log.Line("Up-to-date Local @ 2024-03-01 12:00:00");
    log.Line("");
    log.Line("Software is already up-to-date.");
    EXPECT_EQ(Content(),
              "Check File RestLevel.zbin ... Up-to-date Local @ 2024-03-01 12:00:00\r\n"
              "\r\n"
              "Software is already up-to-date.\r\n");

    log.Close();
    EXPECT_FALSE(log.IsOpen());
    log.Line("after the close");
    EXPECT_EQ(files.OpenHandles(), 0u);
    EXPECT_EQ(Content().find("after the close"), std::string::npos);
}

TEST_F(UpdateLogTest, AnAppendedLogKeepsWhatWasThere) {
    files.files[kLog].data = "Start C:\\Prog\\RestLevel.exe\r\n";
    {
        TUpdateLog log;
        ASSERT_TRUE(log.OpenForAppend(kLog));
        log.Line("Installed");
    }
    EXPECT_EQ(Content(), "Start C:\\Prog\\RestLevel.exe\r\nInstalled\r\n");
    EXPECT_EQ(files.OpenHandles(), 0u) << "the destructor closes the log";

    TUpdateLog missing;
    ASSERT_TRUE(missing.OpenForAppend("C:\\Temp\\new.log"));
    missing.Line("first");
    EXPECT_EQ(files.files["C:\\Temp\\new.log"].data, "first\r\n");
}

TEST_F(UpdateLogTest, ALogThatCannotBeOpenedDropsEveryWrite) {
    files.failing = {std::string("CreateFile ") + kLog};
    TUpdateLog log;
    EXPECT_FALSE(log.OpenAfresh(kLog));
    log.Fragment("Check File x ... ");
    log.Line("lost");
    EXPECT_TRUE(files.writeSizes.empty());

    // No temporary folder gives no name: nothing is made in the current folder.
    EXPECT_FALSE(log.OpenAfresh(""));
    EXPECT_FALSE(log.OpenForAppend(""));
    EXPECT_EQ(files.files.count(""), 0u);
}

TEST(UpdateLogDate, WritesYearMonthDayAndTheTimeToTheSecond) {
    struct Case {
        double dateTime;
        const char* text;
    } cases[] = {
        {45352.5, "2024-03-01 12:00:00"},
        {45352.5 + 3.0 / 86400, "2024-03-01 12:00:03"},
        {45352.0 + (23 * 3600 + 59 * 60 + 59.4) / 86400, "2024-03-01 23:59:59"},  // a fraction is dropped
        {0, "1899-12-30 00:00:00"},  // a server that sends no date
        {2.0, "1900-01-01 00:00:00"},
        {-1e9, ""},                  // no date at all
    };
    for (const Case& c : cases) EXPECT_EQ(LogDateTime(c.dateTime), c.text) << c.dateTime;
}

}  // namespace
}  // namespace rl

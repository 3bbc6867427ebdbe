// The file utilities against a fake file system: the order of their steps,
// what each failure leaves in the error record, the path rules of both path
// styles, and the inflate loop on streams made by zlib itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "procenum/KzEnumProcesses.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/fakes/Fakes.h"

namespace rl {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr FileTime kUnixEpoch = 116444736000000000ull;  // 1970-01-01 00:00 UTC
constexpr FileTime kTicksPerDay = 864000000000ull;
constexpr FileTime kHour = 36000000000ull;

FileTime At(double dateTime) {  // a date-time as file time, computed on its own
    const double milliseconds = std::round((dateTime - 25569.0) * 86400000.0);
    return static_cast<FileTime>(static_cast<std::int64_t>(kUnixEpoch) + static_cast<std::int64_t>(milliseconds) * 10000);
}

std::string Compress(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), Z_BEST_COMPRESSION);
    out.resize(size);
    return out;
}

std::string Mixed(std::size_t size, unsigned start = 7) {
    std::mt19937 random(start);
    std::string text;
    while (text.size() < size) {
        if (random() % 3 == 0)
            for (int i = 0; i < 64; ++i) text.push_back(static_cast<char>(random()));
        else
            text += "The volume rests while nobody is there. ";
    }
    text.resize(size);
    return text;
}

class FileLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileSystemPort(&files);
        SetScreenCursorPort(&cursor);
        SetMessagePumpPort(&pump);
        SetSnapshotPort(&snapshots);
        ResetFileError();
    }
    void TearDown() override {
        SetFileSystemPort(nullptr);
        SetScreenCursorPort(nullptr);
        SetMessagePumpPort(nullptr);
        SetSnapshotPort(nullptr);
    }

    fake::FileSystem files;
    fake::ScreenCursor cursor;
    fake::Pump pump;
    fake::Snapshots snapshots;
};

TEST(FileLibDateTime, ConvertsBetweenDateTimesAndFileTimes) {
    struct Case {
        double dateTime;
        FileTime fileTime;
    } cases[] = {
        {25569.0, kUnixEpoch},
        {0.0, 109205ull * kTicksPerDay},
        {45488.5, At(45488.5)},                      // 2024-07-15 12:00
        {45488.573263888889, At(45488.573263888889)},  // 13:45:30
        {-109205.0, 0},                              // 1601-01-01
    };
    for (const Case& c : cases) {
        FileTime time = 1;
        ASSERT_TRUE(DateTimeToFileTime(c.dateTime, time)) << c.dateTime;
        EXPECT_EQ(time, c.fileTime) << c.dateTime;
        EXPECT_NEAR(FileTimeToDateTime(c.fileTime), c.dateTime, 1e-8) << c.dateTime;
    }
    FileTime time = 0;
    EXPECT_FALSE(DateTimeToFileTime(-109206.0, time)) << "before 1601";
    EXPECT_FALSE(DateTimeToFileTime(3e6, time)) << "after 9999";
}

TEST_F(FileLibTest, CopyGivesTheDestinationTheSourceTimesAndAttributes) {
    files.localOffset = 2 * static_cast<std::int64_t>(kHour);
    files.localNow = {2024, 7, 1, 15, 12, 0, 0, 0};
    files.files["C:\\s.exe"] = {"new", At(45000), At(45400), At(45300), kFileAttributeReadOnly};
    files.files["C:\\d.exe"] = {"old contents", At(1000), At(1000), At(1000)};

    ASSERT_TRUE(CopyFileWithTimes("C:\\s.exe", "C:\\d.exe", false));
    const fake::File& copy = files.files["C:\\d.exe"];
    EXPECT_EQ(copy.data, "new");
    EXPECT_EQ(copy.created, At(45488.5) - 2 * kHour) << "now, from local time to UTC";
    EXPECT_EQ(copy.accessed, At(45400));
    EXPECT_EQ(copy.written, At(45300));
    EXPECT_EQ(copy.attributes, kFileAttributeReadOnly);
    EXPECT_EQ(FileLastStep, "");
    EXPECT_EQ(files.OpenHandles(), 0u);

    ASSERT_TRUE(CopyFileWithTimes("C:\\s.exe", "C:\\k.exe", true));
    EXPECT_EQ(files.files["C:\\k.exe"].created, At(45000));
}

TEST_F(FileLibTest, CopyReplacesMissingCreationAndAccessTimesByTheLastWrite) {
    files.localOffset = -5 * static_cast<std::int64_t>(kHour);
    // 0, and a time whose local date-time is not after 30 December 1899.
    files.files["C:\\s"] = {"x", 0, At(0.1), At(45300)};
    ASSERT_TRUE(CopyFileWithTimes("C:\\s", "C:\\d", true));
    EXPECT_EQ(files.files["C:\\d"].created, At(45300));
    EXPECT_EQ(files.files["C:\\d"].accessed, At(45300));
}

TEST_F(FileLibTest, CopyFailuresAfterTheCopyShowOnlyInTheErrorRecord) {
    struct Case {
        const char* failing;
        bool result;
        const char* step;
    } cases[] = {
        {"CopyFile", false, "Allocate Copy Buffers"},
        // After "Open Source File" and "Create Destination File": the open's
        // error, not that of the calls that went through after it.
        {"CreateFile C:\\s", true, "Retrieve Source File Timestamps"},
        {"CreateFile C:\\d", true, "Set Destination File Timestamps"},
        {"GetFileTimes", true, "Retrieve Source File Timestamps"},
        {"SetFileTimes", true, "Set Destination File Timestamps"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        fake::FileSystem fresh;
        fresh.failing = {c.failing};
        fresh.failCode = 5;
        fresh.files["C:\\s"] = {"data", At(45000), At(45001), At(45002), kFileAttributeHidden};
        SetFileSystemPort(&fresh);
        FileLastStep = "stale";
        EXPECT_EQ(CopyFileWithTimes("C:\\s", "C:\\d", true), c.result);
        EXPECT_EQ(FileLastStep, c.step);
        EXPECT_EQ(FileLastError, SysErrorText(5));
        EXPECT_EQ(FileLastErrorCode, 0u) << "the copy sets no code";
        EXPECT_EQ(fresh.OpenHandles(), 0u);
        if (c.result) {
            EXPECT_EQ(fresh.files["C:\\d"].data, "data");
            EXPECT_EQ(fresh.files["C:\\d"].attributes, kFileAttributeHidden) << "attributes follow anyway";
            EXPECT_EQ(fresh.files["C:\\d"].written, 0u) << "the times were not carried";
        } else {
            EXPECT_EQ(fresh.files.count("C:\\d"), 0u);
            EXPECT_THAT(fresh.calls, ElementsAre("CopyFile C:\\s C:\\d"));
        }
    }
}

TEST_F(FileLibTest, InflatesWholeStreamsInChunksOf64K) {
    struct Case {
        std::size_t size;
        std::vector<std::uint32_t> writes;
    } cases[] = {
        {0, {}},
        {10, {10}},
        {65535, {65535}},
        {65536, {65536}},  // then an empty read, and nothing more to write
        {65537, {65536, 1}},
        {200000, {65536, 65536, 65536, 3392}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        files.writeSizes.clear();
        cursor.changes.clear();
        const std::string text = Mixed(c.size);
        ASSERT_TRUE(DecompressToFile(Compress(text), "C:\\out.bin", 0));
        EXPECT_EQ(files.files["C:\\out.bin"].data, text);
        EXPECT_EQ(files.writeSizes, c.writes);
        EXPECT_EQ(FileLastError, "");
        EXPECT_THAT(cursor.changes, ElementsAre(kCursorHourGlass, kCursorDefault));
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
    EXPECT_THAT(files.calls, ::testing::Not(::testing::Contains("SetFileTimes"))) << "no time given";
}

TEST_F(FileLibTest, DataThatEndsBeforeTheStreamIsAFailure) {
    const std::string whole = Compress(Mixed(150000));
    const std::string cases[] = {
        "",                                     // nothing at all
        whole.substr(0, 2),                     // the header alone
        whole.substr(0, whole.size() / 2),      // cut in transit
        whole.substr(0, whole.size() - 4),      // all but the checksum
        whole.substr(0, whole.size() - 1),
    };
    for (const std::string& data : cases) {
        SCOPED_TRACE(data.size());
        ResetFileError();
        EXPECT_FALSE(DecompressToFile(data, "C:\\out.bin", 45000.5));
        EXPECT_EQ(FileLastErrorCode, kErrorHandleEof);
        EXPECT_THAT(FileLastError, HasSubstr("incomplete"));
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
    // Data after the end of the stream is not part of it.
    EXPECT_TRUE(DecompressToFile(whole + "trailing", "C:\\out.bin", 0));
}

TEST_F(FileLibTest, AStreamThatInflatesPastTheLimitWritesNothingBeyondItAndIsRemoved) {
    EXPECT_EQ(kMaxInflatedSize, 268435456u);
    struct Case {
        std::uint64_t size;
        std::uint64_t limit;
        bool fits;
    } cases[] = {
        {100000, 100000, true},   // exactly the limit
        {65536, 65536, true},     // a whole chunk, then the empty read
        {100001, 100000, false},  // one byte beyond, in the second chunk
        {65537, 65536, false},
        {300000, 100000, false},  // the first chunk written, the second not
        {10, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " into " + std::to_string(c.limit));
        files.files.clear();
        files.writeSizes.clear();
        files.calls.clear();
        cursor.changes.clear();
        const std::string text = Mixed(static_cast<std::size_t>(c.size));
        EXPECT_EQ(DecompressToFile(Compress(text), "C:\\out.bin", 0, c.limit), c.fits);
        std::uint64_t written = 0;
        for (const std::uint32_t w : files.writeSizes) written += w;
        EXPECT_LE(written, c.limit) << "nothing beyond the limit is written";
        EXPECT_EQ(files.OpenHandles(), 0u);
        EXPECT_THAT(cursor.changes, ElementsAre(kCursorHourGlass, kCursorDefault));
        if (c.fits) {
            EXPECT_EQ(files.files["C:\\out.bin"].data, text);
            EXPECT_EQ(FileLastError, "");
        } else {
            EXPECT_EQ(files.files.count("C:\\out.bin"), 0u) << "the part written is removed";
            EXPECT_EQ(FileLastError, "The package inflates to more than " + std::to_string(c.limit) + " bytes");
            EXPECT_EQ(FileLastErrorCode, 223u);
        }
    }
}

TEST_F(FileLibTest, ADamagedStreamRaisesWithTheDecompressorsMessage) {
    const std::string whole = Compress(Mixed(100000));
    std::string badHeader = whole;
    badHeader[1] = static_cast<char>(badHeader[1] ^ 1);
    std::string badChecksum = whole;
    badChecksum.back() = static_cast<char>(badChecksum.back() ^ 0x55);
    std::string badBlock = whole;
    badBlock[2] = static_cast<char>(0xFF);  // a reserved block type

    const std::pair<std::string, const char*> cases[] = {
        {badHeader, "incorrect header check"},
        {badChecksum, "incorrect data check"},
        {badBlock, "invalid block type"},
    };
    for (const auto& [data, message] : cases) {
        SCOPED_TRACE(message);
        cursor.changes.clear();
        FileLastStep = "stale";
        FileLastErrorCode = 9;
        try {
            DecompressToFile(data, "C:\\out.bin", 0);
            ADD_FAILURE() << "no error raised";
        } catch (const EDecompressionError& error) {
            EXPECT_STREQ(error.what(), message);
        }
        EXPECT_EQ(FileLastError, message);
        EXPECT_EQ(FileLastStep, "");
        EXPECT_EQ(FileLastErrorCode, 0u);
        EXPECT_THAT(cursor.changes, ElementsAre(kCursorHourGlass, kCursorDefault));
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
}

TEST_F(FileLibTest, DecompressReportsADestinationItCannotCreateOrFill) {
    files.failing = {"CreateFile C:\\no\\out.bin"};
    files.failCode = 3;
    EXPECT_FALSE(DecompressToFile(Compress("abc"), "C:\\no\\out.bin", 0));
    EXPECT_EQ(FileLastErrorCode, 3u);
    EXPECT_EQ(FileLastError, SysErrorText(3) + " at Create File");
    EXPECT_TRUE(files.writeSizes.empty());
    EXPECT_THAT(cursor.changes, ElementsAre(kCursorHourGlass, kCursorDefault));

    files.failing.clear();
    files.writeLimit = 1000;  // a full disk
    EXPECT_FALSE(DecompressToFile(Compress(Mixed(100000)), "C:\\out.bin", 0));
    EXPECT_EQ(files.writeSizes.size(), 1u) << "no write after one falls short";
    EXPECT_NE(FileLastError, "");
}

TEST_F(FileLibTest, DecompressSetsOnlyTheLastWriteTimeFromLocalTime) {
    files.localOffset = 2 * static_cast<std::int64_t>(kHour);
    files.files["C:\\out.bin"] = {"", At(100), At(101), At(102)};
    ASSERT_TRUE(DecompressToFile(Compress("abc"), "C:\\out.bin", 45488.573263888889));
    const fake::File& f = files.files["C:\\out.bin"];
    EXPECT_EQ(f.written, At(45488.573263888889) - 2 * kHour);
    EXPECT_EQ(f.created, At(100));
    EXPECT_EQ(f.accessed, At(101));
    EXPECT_NEAR(GetFileDateUTC("C:\\out.bin"), 45488.573263888889 - 2.0 / 24, 1e-8);
}

TEST_F(FileLibTest, FileDateIsZeroWithoutAFileOrATime) {
    files.files["C:\\none"] = {"", 0, 0, 0xFFFFFFFFull};  // upper half 0
    files.files["C:\\some"] = {"", 0, 0, At(45000.25)};
    EXPECT_EQ(GetFileDateUTC("C:\\missing"), 0.0);
    EXPECT_EQ(GetFileDateUTC("C:\\none"), 0.0);
    EXPECT_DOUBLE_EQ(GetFileDateUTC("C:\\some"), 45000.25);
    EXPECT_EQ(files.OpenHandles(), 0u);
}

TEST_F(FileLibTest, MakeFolderPathCreatesEachMissingFolderOnce) {
    struct Case {
        PathStyle style;
        std::set<std::string> existing;
        std::set<std::string> failing;
        std::string path;
        int result;
        std::vector<std::string> created;
    } cases[] = {
        {PathStyle::Windows, {}, {}, "C:\\A\\B", 0, {"C:\\A", "C:\\A\\B"}},
        {PathStyle::Windows, {"C:\\A", "C:\\A\\B"}, {}, "C:\\A\\B\\", 1, {}},
        {PathStyle::Windows, {"C:\\A"}, {}, "C:\\A\\B\\C", 0, {"C:\\A\\B", "C:\\A\\B\\C"}},
        {PathStyle::Windows, {}, {"CreateDirectory C:\\A"}, "C:\\A\\B", 2, {}},
        {PathStyle::Windows, {}, {"CreateDirectory C:\\A\\B"}, "C:\\A\\B\\C", 2, {"C:\\A"}},
        {PathStyle::Windows, {}, {}, "C:\\", 1, {}},
        {PathStyle::Windows, {}, {}, "C:", 1, {}},
        {PathStyle::Posix, {"/tmp"}, {}, "/tmp/x/y", 0, {"/tmp/x", "/tmp/x/y"}},
        {PathStyle::Posix, {"/tmp", "/tmp/x"}, {}, "/tmp/x/", 1, {}},
        {PathStyle::Posix, {}, {}, "/", 1, {}},
        {PathStyle::Posix, {}, {}, "rel/sub", 0, {"rel", "rel/sub"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fake::FileSystem fresh;
        fresh.style = c.style;
        fresh.folders = c.existing;
        fresh.failing = c.failing;
        SetFileSystemPort(&fresh);
        EXPECT_EQ(MakeFolderPath(c.path), c.result);
        std::vector<std::string> created;
        for (const std::string& folder : fresh.folders)
            if (c.existing.count(folder) == 0) created.push_back(folder);
        EXPECT_EQ(created, c.created);
        for (const std::string& call : fresh.calls) EXPECT_NE(call, "FindEntry ") << "the root is never looked up";
    }
}

TEST_F(FileLibTest, TemporaryNamesAndFolders) {
    EXPECT_EQ(CreateTempFile("C:\\Stage"), "C:\\Stage\\HLV1.TMP");
    EXPECT_EQ(CreateTempFile(""), ".\\HLV2.TMP") << "the current folder";
    EXPECT_THAT(files.calls, ElementsAre("TempFileName C:\\Stage HLV", "TempFileName . HLV"));

    struct Case {
        PathStyle style;
        std::string path;
        std::string folder;
    } cases[] = {
        {PathStyle::Windows, "C:\\Temp", "C:\\Temp\\"},
        {PathStyle::Windows, "C:\\Temp\\", "C:\\Temp\\"},
        {PathStyle::Posix, "/tmp", "/tmp/"},
        {PathStyle::Posix, "/var/tmp/", "/var/tmp/"},
    };
    for (const Case& c : cases) {
        files.style = c.style;
        files.tempPath = c.path;
        EXPECT_EQ(GetTempFolder(), c.folder);
    }
    files.failing = {"TempPath", "TempFileName"};
    EXPECT_EQ(GetTempFolder(), "") << "never the root by accident";
    EXPECT_EQ(CreateTempFile("C:\\Stage"), "");
}

TEST_F(FileLibTest, ResolvesWindowsPaths) {
    files.computerName = "HOST";
    files.folders = {"C:\\Prog", "e:\\Dir", "C:\\A\\B"};
    struct Case {
        std::string base;
        std::string path;
        std::string result;
    } cases[] = {
        {"C:\\Prog\\", "..\\Data\\x.txt", "C:\\Data\\x.txt"},
        {"C:\\Prog\\", "\\x.txt", "C:\\x.txt"},
        {"C:\\Prog\\", "\\\\host\\d$\\Dir\\x.txt", "d:\\Dir\\x.txt"},
        {"C:\\Prog\\", "\\\\HoSt\\D$\\Dir\\x.txt", "D:\\Dir\\x.txt"},
        {"C:\\Prog\\", "\\\\\"host\"\\d$\\Dir\\x.txt", "d:\\Dir\\x.txt"},
        {"C:\\Prog\\", "\\\\other\\d$\\Dir\\x.txt", "\\\\other\\d$\\Dir\\x.txt"},
        {"C:\\Prog\\", "\\\\other\\e$\\Dir\\x.txt", "e:\\Dir\\x.txt"},  // the folder is here
        {"C:\\Prog\\", "\\\\other\\share\\x.txt", "\\\\other\\share\\x.txt"},
        {"C:\\Prog\\", "D:\\y.txt", "D:\\y.txt"},
        {"C:\\Prog\\", "sub\\x.txt", "C:\\Prog\\sub\\x.txt"},
        {"C:\\Prog", "x.txt", "C:\\Prog\\x.txt"},             // an existing folder
        {"C:\\Prog\\RestLevel.exe", "x.txt", "C:\\Prog\\x.txt"},  // a file's folder
        {"C:\\A\\B\\", "..\\..\\x.txt", "C:\\x.txt"},
        {"C:\\A\\", "..\\..\\..\\x.txt", "C:\\x.txt"},  // the root stays
        {"C:\\Prog\\", "..\\\\x.txt", "C:\\x.txt"},
    };
    for (const Case& c : cases) EXPECT_EQ(ResolvePath(c.base, c.path), c.result) << c.base << " + " << c.path;
}

TEST_F(FileLibTest, ResolvesPosixPaths) {
    files.style = PathStyle::Posix;
    files.folders = {"/opt/prog"};
    struct Case {
        std::string base;
        std::string path;
        std::string result;
    } cases[] = {
        {"/opt/prog/", "/etc/x", "/etc/x"},
        {"/opt/prog/", "../data/x", "/opt/data/x"},
        {"/opt/prog/", "../../../x", "/x"},
        {"/opt/prog/", "x", "/opt/prog/x"},
        {"/opt/prog/", "./x", "/opt/prog/x"},
        {"/opt/prog/", "sub/x", "/opt/prog/sub/x"},
        {"/opt/prog", "x", "/opt/prog/x"},
        {"/opt/prog/restlevel", "x", "/opt/prog/x"},
        {"/opt/prog/", "\\\\host\\d$\\x", "/opt/prog/\\\\host\\d$\\x"},  // no shares here
    };
    for (const Case& c : cases) EXPECT_EQ(ResolvePath(c.base, c.path), c.result) << c.base << " + " << c.path;
}

TEST_F(FileLibTest, VersionTextComesFromTheFirstTranslation) {
    const std::vector<std::uint8_t> translations = {0x0C, 0x04, 0xE4, 0x04, 0x09, 0x04, 0xB0, 0x04};
    files.versions["C:\\a.exe"] = {
        {"\\VarFileInfo\\Translation", translations},
        {"\\StringFileInfo\\040C04E4\\FileDescription", {'D', 'e', 's', 'c', 0}},
        {"\\StringFileInfo\\040904B0\\FileDescription", {'W', 'r', 'o', 'n', 'g', 0}},
        {"\\StringFileInfo\\040C04E4\\ProductName", {'P', 0}},
    };
    files.versions["C:\\short.exe"] = {{"\\VarFileInfo\\Translation", {0x09, 0x04}}};
    EXPECT_EQ(GetVersionInfoText("C:\\a.exe", 1), "Desc");
    EXPECT_EQ(GetVersionInfoText("C:\\a.exe", 6), "P");
    EXPECT_EQ(GetVersionInfoText("C:\\a.exe", 0), "") << "no such string";
    EXPECT_EQ(GetVersionInfoText("C:\\a.exe", 8), "") << "no such key";
    EXPECT_EQ(GetVersionInfoText("C:\\a.exe", -1), "");
    EXPECT_EQ(GetVersionInfoText("C:\\plain.txt", 1), "") << "no version resource";
    EXPECT_EQ(GetVersionInfoText("C:\\short.exe", 1), "") << "a broken translation table";
}

TEST_F(FileLibTest, RunAndWaitWaitsWhileProcessingMessages) {
    files.timeoutsBeforeExit = 3;
    files.exitCode = 7;
    std::uint32_t code = 0;
    ASSERT_TRUE(RunAndWait(0x1234, "runas", "C:\\p.exe", "/a \"b c\"", "C:\\", kSwHide, true, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(pump.calls, 3 + 2) << "after each time-out, and with each cursor change";
    ASSERT_EQ(files.executed.size(), 1u);
    const ShellExecuteRequest& r = files.executed[0];
    EXPECT_EQ(r.Mask, 0x540u);
    EXPECT_EQ(r.Owner, 0x1234u);
    EXPECT_EQ(r.Verb, "runas");
    EXPECT_EQ(r.File, "C:\\p.exe");
    EXPECT_EQ(r.Parameters, "/a \"b c\"");
    EXPECT_EQ(r.Directory, "C:\\");
    EXPECT_EQ(r.Show, kSwHide);
    EXPECT_EQ(std::count(files.calls.begin(), files.calls.end(), "Wait 100"), 4);
    EXPECT_THAT(cursor.changes, ElementsAre(kCursorHourGlass, kCursorDefault));
    EXPECT_EQ(files.OpenHandles(), 0u);
}

TEST_F(FileLibTest, RunWithoutWaitingOrThatCannotStart) {
    ASSERT_TRUE(RunAndWait(0, "open", "C:\\p.exe", "", "", kSwShowNormal, false));
    EXPECT_EQ(files.executed.back().Mask, 0x500u);
    EXPECT_TRUE(files.calls.empty()) << "nothing to wait for";

    files.failing = {"ShellExecute"};
    std::uint32_t code = 99;
    EXPECT_FALSE(RunAndWait(0, "open", "C:\\missing.exe", "", "", kSwShowNormal, true, &code));
    EXPECT_EQ(code, 99u);
    EXPECT_THAT(cursor.changes, ElementsAre(kCursorHourGlass, kCursorDefault, kCursorHourGlass, kCursorDefault));
}

TEST_F(FileLibTest, CloseProcessAsksThenWaitsThenTerminates) {
    files.threads = {11};
    files.processes = {22};
    files.threadQuits = false;
    snapshots.privilegeResult = true;
    EXPECT_TRUE(CloseProcess(11, 22, 10000));
    const std::vector<std::string> expected = {
        "OpenThread 1048576 11", "OpenThread 64 11", "OpenProcess 1049601 22",  // all before the request
        "PostQuit 11",           "Sleep 5000",       "Wait 10000",
        "GetExitCodeThread",     "TerminateProcess 0", "Wait 10000",
        "GetExitCodeProcess",    "CloseHandle",      "CloseHandle",
        "CloseHandle"};
    EXPECT_EQ(files.calls, expected);
    EXPECT_EQ(snapshots.privilegeCalls,
              (std::vector<std::pair<std::string, bool>>{{"SeDebugPrivilege", true}, {"SeDebugPrivilege", true}}));
}

TEST_F(FileLibTest, CloseProcessResults) {
    struct Case {
        const char* name;
        std::uint32_t thread;
        std::uint32_t process;
        bool threadQuits;
        bool terminateFails;
        bool result;
    } cases[] = {
        {"the thread quits, the process is ended too", 11, 22, true, false, true},
        {"the thread quits, the process cannot be ended", 11, 22, true, true, true},
        {"the thread ignores the request", 11, 0, false, false, false},
        {"the process only", 0, 22, false, false, true},
        {"neither can be opened", 12, 23, true, false, false},
        {"nothing given", 0, 0, true, false, false},
        {"ignored, and the process cannot be ended", 11, 22, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FileSystem fresh;
        fresh.threads = {11};
        fresh.processes = {22};
        fresh.threadQuits = c.threadQuits;
        if (c.terminateFails) fresh.failing = {"TerminateProcess"};
        SetFileSystemPort(&fresh);
        snapshots.privilegeResult = false;
        snapshots.privilegeCalls.clear();
        EXPECT_EQ(CloseProcess(c.thread, c.process, 2000), c.result);
        EXPECT_EQ(fresh.OpenHandles(), 0u);
        const bool slept = std::find(fresh.calls.begin(), fresh.calls.end(), "Sleep 5000") != fresh.calls.end();
        EXPECT_EQ(slept, c.thread != 0);
        ASSERT_EQ(snapshots.privilegeCalls.size(), 2u);
        EXPECT_FALSE(snapshots.privilegeCalls[1].second) << "a failed enabling asks for a disabling";
    }
}

TEST_F(FileLibTest, CursorChangesSurviveAFailingToolkit) {
    struct Throwing : IScreenCursor {
        void SetCursor(int) override { throw std::runtime_error("no screen"); }
    } throwing;
    SetScreenCursorPort(&throwing);
    EXPECT_NO_THROW(SetScreenCursor(kCursorHourGlass));
    EXPECT_TRUE(DecompressToFile(Compress("abc"), "C:\\out.bin", 0));
}

TEST(FileLibWithoutPorts, EveryRoutineFailsQuietly) {
    SetFileSystemPort(nullptr);
    EXPECT_FALSE(CopyFileWithTimes("a", "b", false));
    EXPECT_FALSE(DecompressToFile(Compress("abc"), "b", 0));
    EXPECT_EQ(GetFileDateUTC("a"), 0.0);
    EXPECT_EQ(CreateTempFile(""), "");
    EXPECT_EQ(GetVersionInfoText("a", 1), "");
    EXPECT_FALSE(RunAndWait(0, "open", "a", "", "", 1, true));
    EXPECT_FALSE(CloseProcess(1, 2, 10));
}

}  // namespace
}  // namespace rl

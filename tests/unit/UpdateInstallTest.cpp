// The installer against fakes: a staging as the download leaves it (registry
// values, staged files in C:\Temp\RestLevel, the update log), a previous
// instance with thread 1234 and process 5678, and the staged copy of the
// program as the running file. Terminate throws, so each run ends in the
// test with its exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "tests/fakes/FakeApplication.h"
#include "tests/fakes/FakeCrypto.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/fakes/FakeTextSystem.h"
#include "tests/unit/UpdateTestValues.h"
#include "update/KzAutoUpdate.h"
#include "update/UpdateSignature.h"

namespace rl {
namespace {

using updatetest::Dword;
using updatetest::kLog;
using updatetest::Lines;
using updatetest::Sz;

constexpr char kMain[] = "Software\\Halvane\\KzAutoUpdate";
constexpr char kFiles[] = "Software\\Halvane\\KzAutoUpdate\\Files";
constexpr char kProgram[] = "C:\\Prog\\RestLevel.exe";
constexpr char kHelp[] = "C:\\Prog\\Help.chm";
constexpr char kStagedProgram[] = "C:\\Temp\\RestLevel\\HLV1.TMP.exe";
constexpr char kStagedHelp[] = "C:\\Temp\\RestLevel\\HLV2.TMP.chm";
constexpr char kEarlierLog[] = "Start C:\\Temp\\RestLevel\\HLV1.TMP.exe\r\n";

constexpr FileTime kServerTime = 133537680000000000;  // the staged files' last-write time
constexpr std::uint32_t kSynchronizeAccess = 0x00100000;
constexpr std::uint64_t kSignedTime = 1709294400;       // kServerTime in seconds since 1970
constexpr FileTime kTicksPerSecond = 10000000;

constexpr char kInstalled[] = "Update appears to have installed correctly.";
constexpr char kIncomplete[] = "One or more issues prevent the update from being complete.";

// A command line split as a Windows program splits simple ones: blanks
// outside double quotes separate, quotes are dropped.
std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false, any = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) args.push_back(current);
    return args;
}

// Changes the first occurrence of `from` in the text.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Counts the reads and deletes of the "Param" values, to see that a count
// from the registry does not set how many are tried.
class ParamCountingRegistry : public fake::Registry {
public:
    RegResult QueryValue(RegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* size) override {
        if (name.rfind("Param", 0) == 0 && name != "ParamCount") ++paramQueries;
        return fake::Registry::QueryValue(key, name, type, data, size);
    }
    RegResult DeleteValue(RegKey key, const std::string& name) override {
        if (name.rfind("Param", 0) == 0 && name != "ParamCount") ++paramDeletes;
        return fake::Registry::DeleteValue(key, name);
    }
    long paramQueries = 0;
    long paramDeletes = 0;
};

class UpdateInstallTest : public ::testing::Test {
public:
    void SetUp() override {
        SetFileSystemPort(&files);
        SetTextSystemPort(&text);
        SetApplicationPort(&app);
        SetRegistryPort(&registry);
        SetCryptoPort(&crypto);
        SetApplicationTitle("RestLevel");
        text.systemMessages[5] = "Access is denied.\r\n";
        text.systemMessages[32] = "The process cannot access the file because it is being used by another process.\r\n";
        text.systemMessages[50] = "The request is not supported.\r\n";
        app.exeName = kStagedProgram;
        app.arguments = {"/KzUpdate", kProgram, "1234", "5678", "RestLevel"};
        files.folders = {"C:\\Prog", "C:\\Temp", "C:\\Temp\\RestLevel"};
        files.processes = {5678};
        files.threads = {1234};
        files.files[kLog].data = kEarlierLog;
        files.files[kProgram].data = "version 1";
        files.files[kProgram].mode = 0755;
        registry.Put(kMain, "AppName", kRegSz, Sz(kProgram));
        registry.Put(kMain, "TempPath", kRegSz, Sz("C:\\Temp\\RestLevel\\"));
        registry.Put(kMain, "ParamCount", kRegDword, Dword(2));
        registry.Put(kMain, "Silent", kRegDword, Dword(0));
        registry.Put(kMain, "LogFile", kRegSz, Sz(kLog));
        registry.Put(kMain, "Param1", kRegSz, Sz("-tray"));
        registry.Put(kMain, "Param2", kRegSz, Sz("C:\\My Settings\\rest.ini"));
        Stage("HLV1.TMP.exe", kStagedProgram, kProgram, "version 2");
    }
    void TearDown() override {
        SetCryptoPort(nullptr);
        SetRegistryPort(nullptr);
        SetApplicationPort(nullptr);
        SetTextSystemPort(nullptr);
        SetFileSystemPort(nullptr);
        SetApplicationTitle("RestLevel");
    }

    // The starting state again, for the next case of a table.
    void Reset() {
        registry.Clear();
        registry.grant = nullptr;
        registry.paramQueries = registry.paramDeletes = 0;
        files = fake::FileSystem();
        app = fake::Application();
        SetUp();
    }
    void Stage(const std::string& name, const std::string& staged, const std::string& destination,
               const std::string& content) {
        registry.Put(std::string(kFiles) + "\\" + name, "TempFile", kRegSz, Sz(staged));
        registry.Put(std::string(kFiles) + "\\" + name, "DestFile", kRegSz, Sz(destination));
        fake::File& file = files.files[staged];
        file.data = content;
        file.written = kServerTime;
        file.mode = 0600;
    }
    // Runs the start-up step; the exit code when it ended the process.
    std::optional<int> Run() {
        try {
            HandleUpdateSwitch(trustedKeys);
            return std::nullopt;
        } catch (const fake::Terminated& end) {
            return end.exitCode;
        }
    }
    // The elevated run, as the shell would start it: this very code with
    // the request's arguments and administrator rights.
    void ElevateWith(std::function<void()> adminRights) {
        files.onExecute = [this, adminRights](const ShellExecuteRequest& request) {
            if (request.Verb != "runas") return;
            const std::vector<std::string> before = app.arguments;
            const std::set<std::string> failing = files.failing;
            app.arguments = Split(request.Parameters);
            if (adminRights) adminRights();
            files.exitCode = static_cast<std::uint32_t>(Run().value_or(-1));
            app.arguments = before;
            files.failing = failing;
        };
    }
    std::string Log() { return files.files[kLog].data; }
    std::vector<std::string> Started() const {
        std::vector<std::string> started;
        for (const ShellExecuteRequest& r : files.executed)
            started.push_back(r.Verb + " " + r.File + " " + r.Parameters + " | " + r.Directory + " | " +
                              std::to_string(r.Show) + " | " + std::to_string(r.Mask));
        return started;
    }
    std::vector<std::string> SubKeys(const std::string& path) {
        std::vector<std::string> names;
        RegKey key = 0;
        if (registry.OpenKey(kHKeyCurrentUser, path, kKeyRead, key) != kErrorSuccess) return names;
        std::string name;
        for (std::uint32_t i = 0; registry.EnumSubKey(key, i, name) == kErrorSuccess; ++i) names.push_back(name);
        registry.CloseKey(key);
        return names;
    }
    bool Staged() { return registry.Get(kMain, "TempPath").has_value() && !SubKeys(kFiles).empty(); }
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const auto& [name, file] : files.files)
            if (name.find(".KzUpdate.tmp") != std::string::npos) names.push_back(name);
        return names;
    }

    // Records the statement of a staged file's content, signed with `key`,
    // in its subkey.
    void Sign(const std::string& name, const std::string& content, std::uint64_t time = kSignedTime,
              std::uint8_t key = 1) {
        registry.Put(std::string(kFiles) + "\\" + name, "Signature", kRegSz,
                     Sz(fake::Crypto::Statement(fake::Crypto::Key(key), "RestLevel.zbin", time, "packed " + content,
                                                content)));
    }

    fake::FileSystem files;
    fake::TextSystem text;
    fake::Application app;
    ParamCountingRegistry registry;
    fake::Crypto crypto;
    std::vector<P256PublicKey> trustedKeys;
};

const std::string kRestart =
    "open C:\\Prog\\RestLevel.exe -tray \"C:\\My Settings\\rest.ini\" | C:\\Prog\\ | 5 | 0";
const std::string kElevated =
    "runas C:\\Temp\\RestLevel\\HLV1.TMP.exe /AdmKzUpdate C:\\Prog\\RestLevel.exe 0 0 RestLevel | "
    "C:\\Temp\\RestLevel\\ | 0 | 1344";

TEST_F(UpdateInstallTest, InstallsWithTheElevatedRunsHelpAndStartsTheNewVersion) {
    Stage("HLV2.TMP.chm", kStagedHelp, kHelp, "help 2");
    files.files[kStagedHelp].mode = 0640;
    // The user may replace the program but not write the help file.
    files.failing = {std::string("CopyFile ") + kStagedHelp};
    ElevateWith([this] { files.failing.clear(); });

    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(Log(), kEarlierLog + Lines({
                         "Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Updated",
                         "Update C:\\Temp\\RestLevel\\HLV2.TMP.chm to C:\\Prog\\Help.chm ... Failed Access is denied "
                         "(0x00000005)",
                         // The elevated run installs every file again.
                         "Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Updated",
                         "Update C:\\Temp\\RestLevel\\HLV2.TMP.chm to C:\\Prog\\Help.chm ... Updated",
                         kInstalled,
                         kInstalled,
                         "Start New Version",
                     }));
    EXPECT_EQ(Started(), (std::vector<std::string>{kElevated, kRestart}));
    EXPECT_EQ(files.exitCode, 1u) << "the elevated run installed everything";
    EXPECT_TRUE(app.messageBoxes.empty());

    const fake::File& program = files.files[kProgram];
    EXPECT_EQ(program.data, "version 2");
    EXPECT_EQ(program.written, kServerTime);
    EXPECT_EQ(program.mode, 0755u) << "an installed file keeps the bits of the one it replaced";
    EXPECT_EQ(files.files[kHelp].data, "help 2");
    EXPECT_EQ(files.files[kHelp].mode, 0640u) << "a new file takes the staged file's";
    EXPECT_TRUE(Leftovers().empty());

    // Copied beside the installed file, then moved over it in one step.
    std::vector<std::string> steps;
    for (const std::string& call : files.calls)
        if (call.rfind("CopyFile", 0) == 0 || call.rfind("CopyPermissions", 0) == 0 || call.rfind("MoveFileEx", 0) == 0)
            steps.push_back(call);
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 3),
              (std::vector<std::string>{
                  "CopyFile C:\\Temp\\RestLevel\\HLV1.TMP.exe C:\\Prog\\RestLevel.exe.KzUpdate.tmp",
                  "CopyPermissions C:\\Prog\\RestLevel.exe C:\\Prog\\RestLevel.exe.KzUpdate.tmp",
                  "MoveFileEx C:\\Prog\\RestLevel.exe.KzUpdate.tmp C:\\Prog\\RestLevel.exe 9"}));

    // The staging is cleared; the staged copy that ran this goes at the restart.
    EXPECT_TRUE(SubKeys(kFiles).empty());
    EXPECT_FALSE(registry.Get(kMain, "TempPath").has_value());
    EXPECT_EQ(files.files.count(kStagedHelp), 0u);
    EXPECT_EQ(files.rebootMoves, (std::vector<std::pair<std::string, std::string>>{{kStagedProgram, ""}}));
    EXPECT_EQ(registry.OpenHandles(), 0u);
    EXPECT_EQ(files.OpenHandles(), 0u);
}

TEST_F(UpdateInstallTest, WaitsForThePreviousInstanceOrEndsIt) {
    struct Case {
        const char* name;
        std::string threadArg, processArg;
        std::function<void(fake::FileSystem&)> arrange;
        std::vector<std::string> waits;  // the calls before the installation
        bool closed;
    } cases[] = {
        {"ids that are not numbers", "abc", "12x", [](fake::FileSystem&) {}, {"Sleep 1000"}, true},
        {"gone before the installer looked", "1234", "5678", [](fake::FileSystem& f) { f.processes.clear(); },
         {"Sleep 300", "OpenProcess 1048576 5678", "Sleep 1000"}, true},
        {"ends while waited for", "1234", "5678", [](fake::FileSystem& f) { f.timeoutsBeforeExit = 0; },
         {"Sleep 300", "OpenProcess 1048576 5678", "Wait 15000", "Sleep 1000"}, true},
        {"asked to quit, then terminated", "1234", "5678",
         [](fake::FileSystem& f) {
             f.timeoutsBeforeExit = 1;
             f.threadQuits = false;
         },
         {"Sleep 300", "OpenProcess 1048576 5678", "Wait 15000", "PostQuit 1234", "Sleep 5000", "Wait 10000",
          "TerminateProcess 0", "Wait 10000", "Sleep 1000"},
         true},
        {"will not end", "1234", "5678",
         [](fake::FileSystem& f) {
             f.timeoutsBeforeExit = 1000;
             f.threadQuits = false;
             f.failing = {"TerminateProcess"};
         },
         {"Sleep 300", "OpenProcess 1048576 5678", "Wait 15000", "PostQuit 1234", "Sleep 5000", "Wait 10000",
          "TerminateProcess 0", "Sleep 1000"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        app.arguments = {"/KzUpdate", kProgram, c.threadArg, c.processArg, "RestLevel"};
        c.arrange(files);

        EXPECT_EQ(Run(), 0);
        std::vector<std::string> waits;
        for (const std::string& call : files.calls) {
            if (call.rfind("CopyFile", 0) == 0) break;
            for (const char* kind : {"Sleep", "OpenProcess 1048576", "Wait", "PostQuit", "TerminateProcess"})
                if (call.rfind(kind, 0) == 0) waits.push_back(call);
        }
        EXPECT_EQ(waits, c.waits);
        EXPECT_EQ(files.files[kProgram].data, c.closed ? "version 2" : "version 1");
        if (c.closed) {
            EXPECT_EQ(Log(), kEarlierLog + Lines({"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe "
                                                  "... Updated",
                                                  kInstalled, "Start New Version"}));
            EXPECT_TRUE(app.messageBoxes.empty());
            EXPECT_FALSE(Staged());
        } else {
            EXPECT_EQ(Log(), kEarlierLog + Lines({"Could not update ... previous version could not be closed",
                                                  kIncomplete, "Start New Version"}));
            EXPECT_EQ(app.messageBoxes,
                      (std::vector<std::pair<std::string, std::uint32_t>>{
                          {"RestLevel could not be updated because the previous version could not be closed.",
                           kMbIconError | kMbCancelOnly},
                          {"RestLevel could not be updated.", kMbOk}}));
            EXPECT_TRUE(Staged()) << "for the next normal start to clear";
        }
        EXPECT_EQ(Started().back(), kRestart) << "the program starts in every case";
    }
}

TEST_F(UpdateInstallTest, RestartsWithTheArgumentsTheRegistryKept) {
    struct Case {
        const char* name;
        std::function<void(fake::Registry&)> arrange;
        std::string parameters;
    } cases[] = {
        {"a blank in the second", [](fake::Registry&) {}, "-tray \"C:\\My Settings\\rest.ini\""},
        // Four bytes, as many as an integer has.
        {"ParamCount as a string", [](fake::Registry& r) { r.Put(kMain, "ParamCount", kRegSz, {'2', 0, 0, 0}); }, ""},
        // A mistyped value is an empty argument; a missing one ends the list.
        {"a mistyped and a missing value",
         [](fake::Registry& r) {
             r.Put(kMain, "ParamCount", kRegDword, Dword(4));
             r.Put(kMain, "Param2", kRegDword, Dword(7));
             r.Put(kMain, "Param4", kRegExpandSz, Sz("last"));
         },
         "-tray \"\""},
        {"no main key", [](fake::Registry& r) { r.Clear(); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        c.arrange(registry);
        EXPECT_EQ(Run(), 0);
        ASSERT_FALSE(files.executed.empty());
        EXPECT_EQ(files.executed.back().Parameters, c.parameters);
        EXPECT_EQ(files.executed.back().File, kProgram);
    }
}

TEST_F(UpdateInstallTest, AHugeParamCountReadsOnlyTheValuesThatExist) {
    // A count no download wrote once held the start for hours, one
    // registry query for each number up to it.
    for (const std::int32_t count : {2000000000, 0x7FFFFFFF}) {
        SCOPED_TRACE(count);
        Reset();
        registry.Put(kMain, "ParamCount", kRegDword, Dword(static_cast<std::uint32_t>(count)));
        EXPECT_EQ(Run(), 0);
        ASSERT_FALSE(files.executed.empty());
        EXPECT_EQ(files.executed.back().Parameters, "-tray \"C:\\My Settings\\rest.ini\"");
        EXPECT_LE(registry.paramQueries, 20) << "the installer reads up to the first missing value";
        EXPECT_LE(registry.paramDeletes, 10) << "and the clearing deletes up to it";
        EXPECT_FALSE(registry.Get(kMain, "Param2").has_value());
        EXPECT_FALSE(registry.Get(kMain, "ParamCount").has_value());
    }
    // The clearing of a normal start is as quick.
    Reset();
    registry.Put(kMain, "ParamCount", kRegDword, Dword(2000000000));
    ClearStagedUpdate();
    EXPECT_LE(registry.paramDeletes, 10);
    EXPECT_FALSE(registry.Get(kMain, "ParamCount").has_value());
}

TEST_F(UpdateInstallTest, WithoutALogOrStagedFilesTheInstallStillRuns) {
    struct Case {
        const char* name;
        std::function<void(UpdateInstallTest&)> arrange;
        bool logged;
        std::string installed;
    } cases[] = {
        {"no LogFile", [](UpdateInstallTest& t) { t.registry.Put(kMain, "LogFile", kRegDword, Dword(0)); }, false,
         "version 2"},
        {"LogFile names a missing file",
         [](UpdateInstallTest& t) { t.registry.Put(kMain, "LogFile", kRegSz, Sz("C:\\Temp\\Gone.log")); }, false,
         "version 2"},
        {"no Files key",
         [](UpdateInstallTest& t) { ASSERT_EQ(DeleteKeyTree(t.registry, kHKeyCurrentUser, kFiles), kErrorSuccess); },
         true, "version 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        c.arrange(*this);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(files.files[kProgram].data, c.installed);
        EXPECT_EQ(files.files.count("C:\\Temp\\Gone.log"), 0u);
        if (c.logged)
            EXPECT_EQ(Log(), kEarlierLog + Lines({kInstalled, "Start New Version"}));
        else
            EXPECT_EQ(Log(), kEarlierLog);
        EXPECT_EQ(Started(), std::vector<std::string>{kRestart});
        EXPECT_TRUE(app.messageBoxes.empty());
        EXPECT_FALSE(registry.Get(kMain, "TempPath").has_value()) << "a success clears the staging";
    }
}

TEST_F(UpdateInstallTest, WhatTheElevatedRunsAnswerLeadsTo) {
    struct Case {
        const char* name;
        bool started;
        std::uint32_t exitCode;
        bool silent;
        std::vector<std::string> end;  // the log's last lines
        std::vector<std::pair<std::string, std::uint32_t>> boxes;
        bool restarted;
        bool cleared;
    } cases[] = {
        {"refused", false, 0, false, {kIncomplete, "Start New Version"}, {{"RestLevel could not be updated.", kMbOk}},
         true, false},
        {"not all installed", true, 0, false, {kIncomplete, "Start New Version"},
         {{"RestLevel could not be updated.", kMbOk}}, true, false},
        {"not all installed, silent", true, 0, true, {kIncomplete, "Start New Version"}, {}, true, false},
        {"all installed", true, 1, false, {kInstalled, "Start New Version"}, {}, true, true},
        {"some at the restart of Windows", true, 2, false,
         {kInstalled, "New version requires reboot; will not be launched"},
         {{"RestLevel will be updated after you restart your computer.", kMbIconInformation | kMbOk}}, false, true},
        {"some at the restart of Windows, silent", true, 2, true,
         {kInstalled, "New version requires reboot; will not be launched"}, {}, false, true},
        // An elevation tool that was refused, or a crash, is no answer of ours.
        {"ended with another code", true, 126, false, {kIncomplete, "Start New Version"},
         {{"RestLevel could not be updated.", kMbOk}}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        registry.Put(kMain, "Silent", kRegDword, Dword(c.silent ? 1 : 0));
        files.failing = {std::string("CopyFile ") + kStagedProgram};
        if (!c.started) files.failing.insert("ShellExecute");
        files.exitCode = c.exitCode;

        EXPECT_EQ(Run(), 0);
        std::vector<std::string> lines = {"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... "
                                          "Failed Access is denied (0x00000005)"};
        lines.insert(lines.end(), c.end.begin(), c.end.end());
        EXPECT_EQ(Log(), kEarlierLog + Lines(lines));
        EXPECT_EQ(app.messageBoxes, c.boxes);
        ASSERT_FALSE(files.executed.empty());
        EXPECT_EQ(Started().front(), kElevated);
        EXPECT_EQ(Started().back() == kRestart, c.restarted);
        EXPECT_EQ(!Staged(), c.cleared);
        EXPECT_EQ(registry.Get(std::string(kFiles) + "\\HLV1.TMP.exe", "Error").has_value(), !c.cleared);
        EXPECT_EQ(files.files[kProgram].data, "version 1");
    }
}

TEST_F(UpdateInstallTest, TheElevatedRunLeavesThePreviousInstancesIdsAlone) {
    // The previous instance ended; by the time the elevated run starts,
    // another program of the machine may hold its numbers, one that does
    // not end when asked.
    files.failing = {std::string("CopyFile ") + kStagedProgram};
    std::size_t elevatedFrom = 0;
    ElevateWith([this, &elevatedFrom] {
        files.failing.clear();
        files.processes = {5678};
        files.threads = {1234};
        files.threadQuits = false;
        elevatedFrom = files.calls.size();
    });

    EXPECT_EQ(Run(), 0);
    ASSERT_GT(elevatedFrom, 0u);
    for (std::size_t i = elevatedFrom; i < files.calls.size(); ++i)
        for (const char* kind : {"OpenProcess", "OpenThread", "PostQuit", "TerminateProcess"})
            EXPECT_NE(files.calls[i].rfind(kind, 0), 0u) << files.calls[i];
    EXPECT_EQ(files.exitCode, 1u);
    EXPECT_EQ(files.files[kProgram].data, "version 2");
}

TEST_F(UpdateInstallTest, OnPosixAFolderTheUserCannotWriteIsNamedAndNothingIsElevated) {
    struct Case {
        const char* name;
        bool silent;
        std::uint32_t error;
        std::vector<std::string> lines;  // after the failed file
        std::vector<std::pair<std::string, std::uint32_t>> boxes;
    } cases[] = {
        {"refused", false, 5,
         {"Could not update ... folder cannot be written: /opt/rest level", kIncomplete, "Start New Version"},
         {{"RestLevel could not be updated because its folder /opt/rest level cannot be written by you.",
           kMbIconError | kMbOk}}},
        {"refused, silent", true, 5,
         {"Could not update ... folder cannot be written: /opt/rest level", kIncomplete, "Start New Version"}, {}},
        // Another fault is no matter of the folder's rights.
        {"the disk is full", false, 112, {kIncomplete, "Start New Version"}, {{"RestLevel could not be updated.", kMbOk}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        registry.Clear();
        files.style = PathStyle::Posix;
        const std::string program = "/opt/rest level/restlevel";
        const std::string staged = "/home/u/.cache/restlevel/tmp/HLV1.TMP";
        const std::string log = "/home/u/.cache/restlevel/tmp/RestLevel Update.log";
        files.folders = {"/opt/rest level", "/home/u/.cache/restlevel/tmp"};
        files.files[program].data = "version 1";
        files.files[log].data = "";
        registry.Put(kMain, "TempPath", kRegSz, Sz("/home/u/.cache/restlevel/tmp/"));
        registry.Put(kMain, "Silent", kRegDword, Dword(c.silent ? 1 : 0));
        registry.Put(kMain, "LogFile", kRegSz, Sz(log));
        Stage("HLV1.TMP", staged, program, "version 2");
        app.exeName = staged;
        app.arguments = {"/KzUpdate", program, "1234", "5678", "RestLevel"};
        files.failing = {"CopyFile " + staged};
        files.failCode = c.error;
        text.systemMessages[112] = "There is not enough space on the disk.\r\n";

        EXPECT_EQ(Run(), 0);
        ASSERT_EQ(files.executed.size(), 1u) << "no elevated run, only the restart";
        EXPECT_EQ(files.executed[0].Verb, "open");
        EXPECT_EQ(files.executed[0].File, program);
        EXPECT_EQ(files.files[program].data, "version 1");
        EXPECT_EQ(app.messageBoxes, c.boxes);
        std::vector<std::string> lines = {"Update " + staged + " to " + program + " ... Failed " +
                                          (c.error == 5 ? "Access is denied" : "There is not enough space on the disk") +
                                          " (0x" + (c.error == 5 ? "00000005" : "00000070") + ")"};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(files.files[log].data, Lines(lines));
    }
}

TEST_F(UpdateInstallTest, TheElevatedRunAnswersThroughItsExitCode) {
    // The installed program is read-only here, so it cannot be replaced
    // now; Windows may still replace it at the restart.
    struct Case {
        const char* name;
        bool readOnly;
        std::set<std::string> failing;
        bool noFiles;
        int exitCode;
        std::vector<std::string> lines;
        bool pendingReboot;
    } cases[] = {
        {"installed", false, {}, false, 1,
         {"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Updated", kInstalled}, false},
        {"replaced at the restart", true, {}, false, 2,
         {"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... delay until reboot", kInstalled},
         true},
        // Not even scheduled: not installed.
        {"cannot be scheduled either", true, {"MoveFileEx C:\\Prog\\RestLevel.exe.KzUpdate.tmp"}, false, 0,
         {"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... delay until reboot",
          "Failed Access is denied (0x00000005)", kIncomplete},
         false},
        // Only a copy beside the destination is scheduled; without one the
        // file is not installed.
        {"no copy beside the destination", false, {"CopyFile C:\\Temp\\RestLevel\\HLV1.TMP.exe"}, false, 0,
         {"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... delay until reboot",
          "Failed Access is denied (0x00000005)", kIncomplete},
         false},
        // Started only because a file is staged; seeing none, it installed
        // nothing it was asked to.
        {"no staged files in sight", false, {}, true, 0, {kIncomplete}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        app.arguments = {"/AdmKzUpdate", kProgram, "1234", "5678", "RestLevel"};
        files.failing = c.failing;
        if (c.readOnly) files.files[kProgram].attributes |= kFileAttributeReadOnly;
        if (c.noFiles) {
            registry.Clear();
            registry.Put(kMain, "LogFile", kRegSz, Sz(kLog));
        }

        EXPECT_EQ(Run(), c.exitCode);
        EXPECT_EQ(Log(), kEarlierLog + Lines(c.lines));
        // The copy beside is what moves at the restart: the staged file is not
        // marked to be kept, and goes with the staging.
        EXPECT_FALSE(registry.Get(std::string(kFiles) + "\\HLV1.TMP.exe", "PendingReboot").has_value());
        if (c.pendingReboot) {
            const std::string beside = std::string(kProgram) + ".KzUpdate.tmp";
            EXPECT_EQ(files.rebootMoves, (std::vector<std::pair<std::string, std::string>>{{beside, kProgram}}));
            EXPECT_EQ(files.files[beside].data, "version 2");
            EXPECT_EQ(files.files[kProgram].data, "version 1");
            EXPECT_EQ(registry.Get(std::string(kFiles) + "\\HLV1.TMP.exe", "Error")->data,
                      Sz("Access is denied (0x00000005)"));
        }
        if (!c.pendingReboot) {
            EXPECT_TRUE(files.rebootMoves.empty());
            EXPECT_TRUE(Leftovers().empty());
        }
        EXPECT_TRUE(files.executed.empty()) << "no other elevated run, no restart";
        EXPECT_TRUE(app.messageBoxes.empty());
        EXPECT_TRUE(registry.Get(kMain, "TempPath").has_value() || c.noFiles) << "the installer clears, not this run";
    }
    // Replacing an existing file at the restart needs the replace flag.
    Reset();
    app.arguments = {"/AdmKzUpdate", kProgram, "1234", "5678", "RestLevel"};
    files.files[kProgram].attributes |= kFileAttributeReadOnly;
    EXPECT_EQ(Run(), 2);
    EXPECT_NE(std::find(files.calls.begin(), files.calls.end(),
                        "MoveFileEx C:\\Prog\\RestLevel.exe.KzUpdate.tmp C:\\Prog\\RestLevel.exe 5"),
              files.calls.end());
}

TEST_F(UpdateInstallTest, AFileThatCannotBeInstalledLeavesTheOldOneWhole) {
    struct Case {
        const char* name;
        std::function<void(UpdateInstallTest&)> arrange;
        std::string line;
        std::string error;  // the subkey's "Error"
    } cases[] = {
        {"its subkey cannot be opened",
         [](UpdateInstallTest& t) { t.registry.grant = [](std::uint32_t access) { return access != (kKeyRead | kKeyWrite); }; },
         "Update info not available: HLV1.TMP.exe", ""},
        {"TempFile of another type",
         [](UpdateInstallTest& t) { t.registry.Put(std::string(kFiles) + "\\HLV1.TMP.exe", "TempFile", kRegDword, Dword(1)); },
         "Exception Invalid data type for 'TempFile'", ""},
        {"the copy is refused", [](UpdateInstallTest& t) { t.files.failing = {"CopyFile C:\\Temp\\RestLevel\\HLV1.TMP.exe"}; },
         "Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Failed Access is denied (0x00000005)",
         "Access is denied (0x00000005)"},
        {"the installed file is in use",
         [](UpdateInstallTest& t) {
             t.files.failing = {"MoveFileEx C:\\Prog\\RestLevel.exe.KzUpdate.tmp"};
             t.files.failCode = 32;
         },
         "Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Failed The process cannot access "
         "the file because it is being used by another process (0x00000020)",
         "The process cannot access the file because it is being used by another process (0x00000020)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        c.arrange(*this);
        files.failing.insert("ShellExecute");  // no elevation to be had

        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Log(), kEarlierLog + Lines({c.line, kIncomplete, "Start New Version"}));
        EXPECT_EQ(files.files[kProgram].data, "version 1");
        EXPECT_EQ(files.files[kProgram].mode, 0755u);
        EXPECT_TRUE(Leftovers().empty()) << testing::PrintToString(Leftovers());
        EXPECT_EQ(app.messageBoxes,
                  (std::vector<std::pair<std::string, std::uint32_t>>{{"RestLevel could not be updated.", kMbOk}}));
        registry.grant = nullptr;
        const auto error = registry.Get(std::string(kFiles) + "\\HLV1.TMP.exe", "Error");
        EXPECT_EQ(error.has_value() ? error->data : std::vector<std::uint8_t>{},
                  c.error.empty() ? std::vector<std::uint8_t>{} : Sz(c.error));
        EXPECT_TRUE(Staged());
    }
}

// The clearing waits for the single-instance lock, which the program takes
// after this step: a second start must not wipe an update under way.
TEST_F(UpdateInstallTest, ANormalStartLeavesTheStagingAndGoesOn) {
    for (const char* first : {"/kzupdate", "/KZUPDATE", "/admkzupdate", "KzUpdate", "/KzUpdate ", "-tray", ""}) {
        SCOPED_TRACE(first);
        Reset();
        app.exeName = kProgram;
        app.arguments = {first, kProgram, "1234", "5678", "RestLevel"};
        if (std::string(first).empty()) app.arguments.clear();
        EXPECT_EQ(Run(), std::nullopt);
        EXPECT_TRUE(Staged());
        EXPECT_EQ(files.files.count(kStagedProgram), 1u);
        EXPECT_EQ(files.files[kProgram].data, "version 1");
        EXPECT_EQ(Log(), kEarlierLog);
        EXPECT_TRUE(files.executed.empty());
    }
}

TEST_F(UpdateInstallTest, TheTitleComesFromTheCommandLine) {
    app.arguments = {"/KzUpdate", kProgram, "1234", "5678", "Rest Level Pro"};
    files.failing = {std::string("CopyFile ") + kStagedProgram, "ShellExecute"};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(ApplicationTitle(), "Rest Level Pro");
    EXPECT_EQ(app.messageBoxes,
              (std::vector<std::pair<std::string, std::uint32_t>>{{"Rest Level Pro could not be updated.", kMbOk}}));
    EXPECT_EQ(files.executed.front().Parameters,
              "/AdmKzUpdate C:\\Prog\\RestLevel.exe 0 0 \"Rest Level Pro\"");
}

TEST_F(UpdateInstallTest, TheInstalledProgramThatRanTheInstallIsNotDeleted) {
    struct Case {
        const char* exe;
        bool scheduled;
    } cases[] = {
        {"C:\\Prog\\RestLevel.exe", false},
        {"c:\\prog\\RESTLEVEL.EXE", false},  // the same file in Windows' eyes
        {kStagedProgram, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe);
        Reset();
        registry.Clear();
        registry.Put(kMain, "LogFile", kRegSz, Sz(kLog));
        app.exeName = c.exe;
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(files.rebootMoves.size(), c.scheduled ? 1u : 0u);
    }
    // POSIX paths differ by letter case.
    Reset();
    registry.Clear();
    files.style = PathStyle::Posix;
    app.arguments = {"/KzUpdate", "/opt/restlevel/restlevel", "1234", "5678", "RestLevel"};
    app.exeName = "/opt/restlevel/RestLevel";
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(files.rebootMoves, (std::vector<std::pair<std::string, std::string>>{{"/opt/restlevel/RestLevel", ""}}));
    EXPECT_EQ(files.executed.back().Directory, "/opt/restlevel/");
}

// Signed updates ---------------------------------------------------------

TEST_F(UpdateInstallTest, WithTrustedKeysEachFileIsVerifiedAndTakesItsSignedTime) {
    trustedKeys = {fake::Crypto::Key(2), fake::Crypto::Key(1)};
    Stage("HLV2.TMP.chm", kStagedHelp, kHelp, "help 2");
    Sign("HLV1.TMP.exe", "version 2");
    Sign("HLV2.TMP.chm", "help 2");
    // The staged files' own times are the user's to change: not what counts.
    files.files[kStagedProgram].written = kServerTime + 3600 * kTicksPerSecond;
    // Installed 5 s after the signed time: within the tolerance, no downgrade.
    files.files[kProgram].written = kServerTime + 5 * kTicksPerSecond;

    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Log(), kEarlierLog + Lines({
                         "Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Updated",
                         "Update C:\\Temp\\RestLevel\\HLV2.TMP.chm to C:\\Prog\\Help.chm ... Updated",
                         kInstalled,
                         "Start New Version",
                     }));
    EXPECT_EQ(files.files[kProgram].data, "version 2");
    EXPECT_EQ(files.files[kProgram].written, kServerTime) << "the signed time";
    EXPECT_EQ(files.files[kHelp].data, "help 2");
    EXPECT_EQ(Started(), std::vector<std::string>{kRestart});
    EXPECT_TRUE(app.messageBoxes.empty());
    EXPECT_FALSE(Staged());
    EXPECT_EQ(files.OpenHandles(), 0u);

    // The copy beside the installed file is read between its copy and its move.
    const std::string beside = std::string(kProgram) + ".KzUpdate.tmp";
    std::vector<std::string> steps;
    for (const std::string& call : files.calls)
        if (call.rfind("CopyFile", 0) == 0 || call.rfind("MoveFileEx", 0) == 0 ||
            call.rfind("CreateFile " + beside + " " + std::to_string(kGenericRead) + " ", 0) == 0)
            steps.push_back(call.substr(0, call.find(' ', call.find(' ') + 1)));
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 3),
              (std::vector<std::string>{"CopyFile C:\\Temp\\RestLevel\\HLV1.TMP.exe", "CreateFile " + beside,
                                        "MoveFileEx " + beside}));
}

TEST_F(UpdateInstallTest, WithTrustedKeysAFileThatDoesNotVerifyInstallsNothing) {
    const std::string couldNot = "Could not verify C:\\Prog\\";
    struct Case {
        const char* name;
        std::function<void(UpdateInstallTest&)> arrange;
        std::vector<std::string> lines;  // after the earlier log, before the end
    } cases[] = {
        {"the second file has no statement", [](UpdateInstallTest& t) { t.Sign("HLV1.TMP.exe", "version 2"); },
         {couldNot + "Help.chm: no signature recorded"}},
        {"a statement of another key",
         [](UpdateInstallTest& t) {
             t.Sign("HLV1.TMP.exe", "version 2");
             t.Sign("HLV2.TMP.chm", "help 2", kSignedTime, 3);
         },
         {couldNot + "Help.chm: signature not valid"}},
        {"a record whose statement was edited",
         [](UpdateInstallTest& t) {
             t.Sign("HLV1.TMP.exe", "version 2");
             t.Sign("HLV2.TMP.chm", "help 2");
             const std::string key = std::string(kFiles) + "\\HLV2.TMP.chm";
             const std::vector<std::uint8_t> recorded = t.registry.Get(key, "Signature")->data;
             const std::string edited =
                 Replaced(std::string(recorded.begin(), recorded.end() - 1), "time: 1709294400", "time: 1709294500");
             t.registry.Put(key, "Signature", kRegSz, Sz(edited));
         },
         {couldNot + "Help.chm: signature not valid"}},
        {"a staged file swapped before the install",
         [](UpdateInstallTest& t) {
             t.Sign("HLV1.TMP.exe", "version 2");
             t.Sign("HLV2.TMP.chm", "help 2");
             t.files.files[kStagedHelp].data = "help 2, from someone else";
         },
         {couldNot + "Help.chm: unpacked content differs from the signed"}},
        {"an older signed program than the installed one",
         [](UpdateInstallTest& t) {
             t.Sign("HLV1.TMP.exe", "version 2");
             t.Sign("HLV2.TMP.chm", "help 2");
             t.files.files[kProgram].written = kServerTime + 6 * kTicksPerSecond;
         },
         {couldNot + "RestLevel.exe: signed time is older than the installed file's"}},
        {"a statement without the unpacked hash",
         [](UpdateInstallTest& t) {
             t.Sign("HLV2.TMP.chm", "help 2");
             t.registry.Put(std::string(kFiles) + "\\HLV1.TMP.exe", "Signature", kRegSz,
                            Sz(fake::Crypto::Statement(fake::Crypto::Key(1), "RestLevel.zbin", kSignedTime, "p",
                                                       std::nullopt)));
         },
         {couldNot + "RestLevel.exe: signed without the unpacked file's hash"}},
        {"a staged file swapped while it is copied beside the installed one",
         [](UpdateInstallTest& t) {
             t.Sign("HLV1.TMP.exe", "version 2");
             t.Sign("HLV2.TMP.chm", "help 2");
             t.files.onCopy = [&t](const std::string& source, const std::string&) {
                 if (source == kStagedProgram) t.files.files[kStagedProgram].data = "version 2, from someone else";
             };
         },
         {"Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... " + couldNot +
          "RestLevel.exe: unpacked content differs from the signed"}},
    };
    for (const Case& c : cases) {
        for (const bool silent : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (silent ? ", silent" : ""));
            Reset();
            trustedKeys = {fake::Crypto::Key(1)};
            registry.Put(kMain, "Silent", kRegDword, Dword(silent ? 1 : 0));
            Stage("HLV2.TMP.chm", kStagedHelp, kHelp, "help 2");
            c.arrange(*this);
            const FileTime installedTime = files.files[kProgram].written;

            EXPECT_EQ(Run(), 0);
            std::vector<std::string> lines = c.lines;
            lines.push_back(kIncomplete);
            lines.push_back("Start New Version");
            EXPECT_EQ(Log(), kEarlierLog + Lines(lines));
            EXPECT_EQ(files.files[kProgram].data, "version 1");
            EXPECT_EQ(files.files[kProgram].written, installedTime);
            EXPECT_EQ(files.files.count(kHelp), 0u);
            EXPECT_TRUE(Leftovers().empty());
            EXPECT_EQ(Started(), std::vector<std::string>{kRestart}) << "no elevated run; the old version starts";
            EXPECT_FALSE(Staged()) << "the staging is cleared";
            EXPECT_EQ(files.files.count(kStagedHelp), 0u);
            if (silent)
                EXPECT_TRUE(app.messageBoxes.empty());
            else
                EXPECT_EQ(app.messageBoxes,
                          (std::vector<std::pair<std::string, std::uint32_t>>{
                              {"The update of RestLevel could not be verified. Nothing was installed.",
                               kMbIconError | kMbOk}}));
        }
    }
}

TEST_F(UpdateInstallTest, WithTrustedKeysTheElevatedRunVerifiesItselfAndSaysSo) {
    trustedKeys = {fake::Crypto::Key(1)};
    Stage("HLV2.TMP.chm", kStagedHelp, kHelp, "help 2");
    Sign("HLV1.TMP.exe", "version 2");
    Sign("HLV2.TMP.chm", "help 2");
    // The user may not write the help file; while the user is asked for the
    // rights, another program of theirs swaps a staged file.
    files.failing = {std::string("CopyFile ") + kStagedHelp};
    ElevateWith([this] {
        files.failing.clear();
        files.files[kStagedProgram].data = "version 2, from someone else";
    });

    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(files.exitCode, 3u) << "the elevated run refused";
    EXPECT_EQ(Log(), kEarlierLog + Lines({
                         "Update C:\\Temp\\RestLevel\\HLV1.TMP.exe to C:\\Prog\\RestLevel.exe ... Updated",
                         "Update C:\\Temp\\RestLevel\\HLV2.TMP.chm to C:\\Prog\\Help.chm ... Failed Access is "
                         "denied (0x00000005)",
                         "Could not verify C:\\Prog\\RestLevel.exe: unpacked content differs from the signed",
                         kIncomplete,
                         kIncomplete,
                         "Start New Version",
                     }));
    EXPECT_EQ(files.files.count(kHelp), 0u);
    EXPECT_EQ(Started(), (std::vector<std::string>{kElevated, kRestart}));
    EXPECT_EQ(app.messageBoxes, (std::vector<std::pair<std::string, std::uint32_t>>{
                                    {"The update of RestLevel could not be verified. Nothing was installed.",
                                     kMbIconError | kMbOk}}));
    EXPECT_FALSE(Staged());
}

}  // namespace
}  // namespace rl

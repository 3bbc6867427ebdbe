// The download and staging against fakes: a scripted server, the program at
// C:\Prog with chosen file times, the user's temporary folder C:\Temp, and a
// registry that records every value in the order it is written. The cases
// compare the whole update log, the registry state and the launch.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Ui.h"
#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "tests/fakes/FakeApplication.h"
#include "tests/fakes/FakeCrypto.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/fakes/FakeInternet.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/fakes/FakeTextSystem.h"
#include "tests/fakes/FakeUpdateUi.h"
#include "tests/unit/UpdateTestValues.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/UpdateSignature.h"

namespace rl {
namespace {

using updatetest::Calendar;
using updatetest::kExe;
using updatetest::kLog;
using updatetest::kPackage;
using updatetest::kSecond;
using updatetest::kT0;
using updatetest::kUpdateURL;
using updatetest::Dword;
using updatetest::Lines;
using updatetest::Sz;

constexpr char kHelp[] = "C:\\Prog\\Help.chm";
constexpr char kStaging[] = "C:\\Temp\\RestLevel\\";
constexpr char kHelpPackage[] = "/restlevel/Help.zbin";
constexpr char kFiles[] = "Software\\Halvane\\KzAutoUpdate\\Files";

constexpr std::int64_t kTicksPerMinute = 600000000;

std::string Packed(const std::string& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
              static_cast<uLong>(plain.size()), Z_BEST_COMPRESSION);
    packed.resize(size);
    return packed;
}

FileTime FileTimeOf(double utc) {
    FileTime time = 0;
    DateTimeToFileTime(utc, time);
    return time;
}

// The double's bytes, lowest first, whatever the machine's order.
std::vector<std::uint8_t> DateBytes(double dateTime) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &dateTime, sizeof bits);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return bytes;
}

// The date-time a Last-Modified header of that instant reads as.
double ServedDate(double utc) { return *SystemTimeToDateTime(Calendar(utc)); }

// Remembers the path of every key handle, and every value written, in order.
class RecordingRegistry : public fake::Registry {
public:
    struct Write {
        std::string key;
        std::string name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
        friend bool operator==(const Write&, const Write&) = default;
        friend void PrintTo(const Write& w, std::ostream* out) {
            *out << w.key << " " << w.name << " type " << w.type << " " << testing::PrintToString(w.data);
        }
    };
    std::vector<Write> writes;

    RegResult OpenKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result) override {
        const RegResult r = Registry::OpenKey(base, path, access, result);
        if (r == kErrorSuccess) paths_[result] = path;
        return r;
    }
    RegResult CreateKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                        std::uint32_t* disposition) override {
        const RegResult r = Registry::CreateKey(base, path, access, result, disposition);
        if (r == kErrorSuccess) paths_[result] = path;
        return r;
    }
    RegResult SetValue(RegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                       std::uint32_t size) override {
        writes.push_back({paths_[key], name, type, std::vector<std::uint8_t>(data, data + size)});
        return Registry::SetValue(key, name, type, data, size);
    }

private:
    std::map<RegKey, std::string> paths_;
};

class UpdateDownloadTest : public ::testing::Test {
public:
    void SetUp() override {
        SetFileSystemPort(&files);
        SetTextSystemPort(&text);
        SetInternetPort(&net);
        SetApplicationPort(&app);
        SetUpdateWindowPort(&windows);
        SetRegistryPort(&registry);
        SetCryptoPort(&crypto);
        SetApplicationTitle("RestLevel");
        app.exeName = kExe;
        files.folders = {"C:\\Prog", "C:\\Temp"};
        net.textSystem = &text;
        net.response.status = 404;  // whatever the test does not serve
        // Each round of the message loop takes 100 ms.
        app.onProcessMessages = [this] { text.counter += text.frequency / 10; };
        updater.UpdateURL = kUpdateURL;
    }
    void TearDown() override {
        InflatedSizeLimit = kMaxInflatedSize;
        SetCryptoPort(nullptr);
        SetRegistryPort(nullptr);
        SetUpdateWindowPort(nullptr);
        SetApplicationPort(nullptr);
        SetInternetPort(nullptr);
        SetTextSystemPort(nullptr);
        SetFileSystemPort(nullptr);
    }

    // A fresh file system: no files, no calls, names counted from 1 again.
    void ResetFiles() {
        files = fake::FileSystem();
        files.folders = {"C:\\Prog", "C:\\Temp"};
    }
    void Local(const std::string& path, double utc) { files.files[path].written = FileTimeOf(utc); }
    // A package on the server holding `plain`; without a time it is served
    // without Last-Modified.
    fake::Response& Serve(const std::string& object, const std::string& plain, std::optional<double> modified) {
        fake::Response& response = net.responses[object];
        response = fake::Response();
        response.Body(Packed(plain));
        if (modified) response.lastModified = Calendar(*modified);
        return response;
    }
    // Runs the download; the exit code when it ended the process.
    std::optional<int> Download(bool silent, bool* result = nullptr) {
        try {
            const bool r = updater.DownloadAndInstall(silent);
            if (result != nullptr) *result = r;
            return std::nullopt;
        } catch (const fake::Terminated& end) {
            return end.exitCode;
        }
    }
    std::string Log() { return files.files[kLog].data; }
    std::vector<std::string> Launched() const {
        std::vector<std::string> launched;
        for (const ShellExecuteRequest& r : files.executed)
            launched.push_back(r.Verb + " " + r.File + " " + r.Parameters + " | " + r.Directory + " | " +
                               std::to_string(r.Show));
        return launched;
    }
    std::vector<std::string> StagedNames() { return registry.KeyExists(kFiles) ? SubKeys(kFiles) : std::vector<std::string>{}; }
    std::vector<std::string> SubKeys(const std::string& path) {
        std::vector<std::string> names;
        RegKey key = 0;
        if (registry.OpenKey(kHKeyCurrentUser, path, kKeyRead, key) != kErrorSuccess) return names;
        std::string name;
        for (std::uint32_t i = 0; registry.EnumSubKey(key, i, name) == kErrorSuccess; ++i) names.push_back(name);
        registry.CloseKey(key);
        return names;
    }

    fake::FileSystem files;
    fake::TextSystem text;
    fake::Internet net;
    fake::Application app;
    fake::UpdateWindowFactory windows;
    RecordingRegistry registry;
    fake::Crypto crypto;
    TKzAutoUpdate updater;
};

// Whole seconds since 1970 of a date-time.
std::uint64_t UnixTime(double dateTime) { return static_cast<std::uint64_t>(std::llround((dateTime - 25569) * 86400)); }

// The statement of a package holding `plain`, signed with the first test key.
std::string SignedPackage(const std::string& name, double time, const std::string& plain,
                          std::uint8_t key = 1) {
    return fake::Crypto::Statement(fake::Crypto::Key(key), name, UnixTime(time), Packed(plain), plain);
}

TEST_F(UpdateDownloadTest, StagesTheChangedFilesRecordsThemAndRelaunches) {
    // Two hours east of UTC: the staged files must still carry the server's
    // instant.
    text.utcOffsetMinutes = 120;
    files.localOffset = 120 * kTicksPerMinute;
    app.arguments = {"-tray", "C:\\My Settings\\rest.ini"};
    updater.SetAuxFiles({"Help.chm=Help.zbin"});
    Local(kExe, kT0);
    files.files[kExe].mode = 0755;
    Serve(kPackage, "version 2", kT0 + 60 * kSecond);
    Serve(kHelpPackage, "help 2", kT0 + 90 * kSecond);

    EXPECT_EQ(Download(false), 0) << "ForcedTerminate ends the process after the launch";

    EXPECT_EQ(Log(), Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... will be updated",
                            "Help.zbin (C:\\Prog\\Help.chm) ... will be updated",
                            "Files to update: 2",
                            "Download RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... OK",
                            "Save to C:\\Temp\\RestLevel\\HLV1.TMP.exe ... OK",
                            "Download Help.zbin (C:\\Prog\\Help.chm) ... OK",
                            "Save to C:\\Temp\\RestLevel\\HLV2.TMP.chm ... OK",
                            "Start C:\\Temp\\RestLevel\\HLV1.TMP.exe"}));

    const std::string main = "Software\\Halvane\\KzAutoUpdate";
    const std::string exeKey = std::string(kFiles) + "\\HLV1.TMP.exe";
    const std::string helpKey = std::string(kFiles) + "\\HLV2.TMP.chm";
    EXPECT_EQ(registry.writes,
              (std::vector<RecordingRegistry::Write>{
                  {main, "AppName", kRegSz, Sz(kExe)},
                  {main, "TempPath", kRegSz, Sz(kStaging)},
                  {main, "ParamCount", kRegDword, Dword(2)},
                  {main, "Silent", kRegDword, Dword(0)},
                  {main, "LogFile", kRegSz, Sz(kLog)},
                  {main, "Param1", kRegSz, Sz("-tray")},
                  // As the program received it: the blank kept, no quotes.
                  {main, "Param2", kRegSz, Sz("C:\\My Settings\\rest.ini")},
                  {exeKey, "TempFile", kRegSz, Sz("C:\\Temp\\RestLevel\\HLV1.TMP.exe")},
                  {exeKey, "DestFile", kRegSz, Sz(kExe)},
                  {exeKey, "FileDate", kRegBinary, DateBytes(ServedDate(kT0 + 60 * kSecond))},
                  {helpKey, "TempFile", kRegSz, Sz("C:\\Temp\\RestLevel\\HLV2.TMP.chm")},
                  {helpKey, "DestFile", kRegSz, Sz(kHelp)},
                  {helpKey, "FileDate", kRegBinary, DateBytes(ServedDate(kT0 + 90 * kSecond))},
              }));

    const fake::File& program = files.files["C:\\Temp\\RestLevel\\HLV1.TMP.exe"];
    EXPECT_EQ(program.data, "version 2");
    EXPECT_EQ(program.written, FileTimeOf(kT0 + 60 * kSecond)) << "the server's Last-Modified instant";
    EXPECT_EQ(program.mode, 0755u) << "the staged program can be started";
    EXPECT_EQ(files.files["C:\\Temp\\RestLevel\\HLV2.TMP.chm"].data, "help 2");
    EXPECT_EQ(files.files["C:\\Temp\\RestLevel\\HLV2.TMP.chm"].written, FileTimeOf(kT0 + 90 * kSecond));
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV1.TMP"), 1u) << "the placeholder stays";

    EXPECT_EQ(Launched(), (std::vector<std::string>{
                              "open C:\\Temp\\RestLevel\\HLV1.TMP.exe /KzUpdate C:\\Prog\\RestLevel.exe 1234 5678 "
                              "RestLevel | C:\\Temp\\RestLevel\\ | 5"}));
    EXPECT_TRUE(app.messageBoxes.empty());

    ASSERT_EQ(windows.progressWindows.size(), 1u);
    const fake::UpdateProgressWindow& window = *windows.progressWindows[0];
    EXPECT_EQ(window.label.captions, (std::vector<std::string>{"Checking for Update Files...",
                                                               "Download 1 of 2 (RestLevel.exe)...",
                                                               "Download 2 of 2 (Help.chm)..."}));
    EXPECT_EQ(window.shows, 1);
    EXPECT_TRUE(window.destroyed) << "before the launch";
    // Each file's bar starts from 0 again, once its caption names it.
    std::vector<std::string> bar;
    for (const std::string& line : window.log)
        if (line.rfind("Label.SetCaption Download", 0) == 0 || line.rfind("ProgressBar.SetPosition", 0) == 0)
            bar.push_back(line);
    const auto second = std::find(bar.begin(), bar.end(), "Label.SetCaption Download 2 of 2 (Help.chm)...");
    ASSERT_NE(second, bar.end());
    ASSERT_GE(bar.size(), 4u);
    EXPECT_EQ(bar[0], "Label.SetCaption Download 1 of 2 (RestLevel.exe)...");
    EXPECT_EQ(bar[1], "ProgressBar.SetPosition 0");
    EXPECT_NE(*(second - 1), "ProgressBar.SetPosition 0") << "the first file moved the bar";
    ASSERT_NE(second + 1, bar.end());
    EXPECT_EQ(*(second + 1), "ProgressBar.SetPosition 0");
    EXPECT_EQ(net.OpenHandles(), 0);
}

TEST_F(UpdateDownloadTest, TheStagingStateStoresSilentAndEveryArgument) {
    struct Case {
        const char* name;
        bool silent;
        std::vector<std::string> arguments;
    } cases[] = {
        {"silent, no arguments", true, {}},
        {"not silent, an empty argument and quotes", false, {"", "say \"hi\"", "a b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry.Clear();
        registry.writes.clear();
        ResetFiles();
        app.arguments = c.arguments;
        Local(kExe, kT0);
        Serve(kPackage, "version 2", kT0 + 60 * kSecond);
        EXPECT_EQ(Download(c.silent), 0);

        const std::string main = "Software\\Halvane\\KzAutoUpdate";
        std::vector<std::string> names;
        for (const auto& w : registry.writes)
            if (w.key == main) names.push_back(w.name);
        std::vector<std::string> expected = {"AppName", "TempPath", "ParamCount", "Silent", "LogFile"};
        for (std::size_t i = 1; i <= c.arguments.size(); ++i) expected.push_back("Param" + std::to_string(i));
        EXPECT_EQ(names, expected);
        EXPECT_EQ(registry.Get(main, "Silent")->data, Dword(c.silent ? 1 : 0));
        EXPECT_EQ(registry.Get(main, "ParamCount")->data, Dword(static_cast<std::uint32_t>(c.arguments.size())));
        for (std::size_t i = 0; i < c.arguments.size(); ++i)
            EXPECT_EQ(registry.Get(main, "Param" + std::to_string(i + 1))->data, Sz(c.arguments[i])) << i;
    }
}

TEST_F(UpdateDownloadTest, AFileIsUpdatedWhenItDiffersEitherWayOrIsMissing) {
    struct Case {
        const char* name;
        std::optional<double> local;   // nullopt: no local file
        std::optional<double> remote;  // nullopt: no Last-Modified
        bool updated;
    } cases[] = {
        {"server 6 s newer", kT0, kT0 + 6 * kSecond, true},
        {"server exactly 5 s newer", kT0, kT0 + 5 * kSecond, false},
        // The check called this one older than the installed file; the
        // download replaces it all the same.
        {"local 10 s newer", kT0 + 10 * kSecond, kT0, true},
        {"local exactly 5 s newer", kT0 + 5 * kSecond, kT0, false},
        {"same time", kT0, kT0, false},
        {"missing locally", std::nullopt, kT0, true},
        {"no Last-Modified, file present", kT0 - 3600 * kSecond, std::nullopt, false},
        {"no Last-Modified, file missing", std::nullopt, std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFiles();
        registry.Clear();
        updater.SetAuxFiles({"Help.chm=Help.zbin"});
        Local(kExe, kT0);
        Serve(kPackage, "version 1", kT0);
        if (c.local) Local(kHelp, *c.local);
        Serve(kHelpPackage, "help 2", c.remote);

        bool result = true;
        const std::optional<int> ended = Download(false, &result);
        const std::string verdicts = Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... is up to date",
                                            std::string("Help.zbin (C:\\Prog\\Help.chm) ... ") +
                                                (c.updated ? "will be updated" : "is up to date")});
        EXPECT_EQ(Log().substr(0, verdicts.size()), verdicts);
        EXPECT_EQ(ended.has_value(), c.updated);
        EXPECT_EQ(StagedNames(), c.updated ? std::vector<std::string>{"HLV1.TMP.chm"} : std::vector<std::string>{});
        if (!c.updated) {
            EXPECT_FALSE(result);
            EXPECT_TRUE(files.executed.empty());
            EXPECT_FALSE(registry.KeyExists("Software\\Halvane\\KzAutoUpdate")) << "nothing staged, nothing cleared";
        } else if (!c.remote) {
            EXPECT_EQ(registry.Get(std::string(kFiles) + "\\HLV1.TMP.chm", "FileDate")->data, DateBytes(0));
            EXPECT_EQ(files.files["C:\\Temp\\RestLevel\\HLV1.TMP.chm"].written, 0u)
                << "the staged file keeps the time of its creation";
        }
    }
}

TEST_F(UpdateDownloadTest, AFileThatCannotBeCheckedIsLeftOutAndTheOthersGoOn) {
    updater.SetAuxFiles({"Help.chm=Help.zbin", "Lang.dll=Lang.zbin"});
    Local(kExe, kT0);
    Serve(kPackage, "version 1", kT0);
    // Missing locally, so only its failed check keeps it out.
    Serve(kHelpPackage, "help 2", kT0).status = 503;
    Serve("/restlevel/Lang.zbin", "lang 2", kT0);

    EXPECT_EQ(Download(false), 0);
    const std::string start = Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... is up to date",
                                     "Help.zbin (C:\\Prog\\Help.chm) ... could not be checked: HTTP 503 ",
                                     "Lang.zbin (C:\\Prog\\Lang.dll) ... will be updated",
                                     "Files to update: 1"});
    EXPECT_EQ(Log().substr(0, start.size()), start);
    EXPECT_EQ(StagedNames(), std::vector<std::string>{"HLV1.TMP.dll"});
    for (const auto& request : net.requests)
        EXPECT_FALSE(request.verb == "GET" && request.objectName == kHelpPackage) << "never fetched";
}

TEST_F(UpdateDownloadTest, EveryRequestCarriesTheCredentialsAndTheListingIsFetchedAnew) {
    updater.FileListURL = "https://halvane.example/restlevel/files.txt";
    net.responses["/restlevel/files.txt"].Body("Help.chm=Help.zbin\r\n");
    updater.SetHTTPUsername("alice");
    updater.SetHTTPPassword("s3cret pass");
    Serve(kPackage, "version 2", kT0);
    Serve(kHelpPackage, "help 2", kT0);

    EXPECT_EQ(Download(true), 0);
    std::vector<std::string> objects;
    for (const auto& request : net.requests) objects.push_back(request.verb + " " + request.objectName);
    EXPECT_EQ(objects, (std::vector<std::string>{"GET /restlevel/files.txt", "HEAD /restlevel/RestLevel.zbin",
                                                 "HEAD /restlevel/Help.zbin", "GET /restlevel/RestLevel.zbin",
                                                 "GET /restlevel/Help.zbin"}));
    ASSERT_FALSE(net.requests.empty());
    EXPECT_NE(net.requests[0].flags & kInternetFlagReload, 0u) << "never a cached listing";
    for (std::size_t i = 1; i < net.requests.size(); ++i)
        EXPECT_EQ(net.requests[i].flags & kInternetFlagReload, 0u) << i;
    ASSERT_EQ(net.connects.size(), net.requests.size());
    for (const auto& connect : net.connects) {
        EXPECT_EQ(connect.userName, std::optional<std::string>("alice"));
        EXPECT_EQ(connect.password, std::optional<std::string>("s3cret pass"));
    }
}

TEST_F(UpdateDownloadTest, TheProgramItselfIsRelaunchedUnlessItsNewVersionIsStaged) {
    struct Case {
        const char* name;
        double programOnServer;
        std::string launched;
    } cases[] = {
        {"only another file changed", kT0,
         "open C:\\Prog\\RestLevel.exe /KzUpdate C:\\Prog\\RestLevel.exe 1234 5678 RestLevel | C:\\Prog\\ | 5"},
        {"the program changed too", kT0 + 60 * kSecond,
         "open C:\\Temp\\RestLevel\\HLV1.TMP.exe /KzUpdate C:\\Prog\\RestLevel.exe 1234 5678 RestLevel | "
         "C:\\Temp\\RestLevel\\ | 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFiles();
        registry.Clear();
        updater.SetAuxFiles({"Help.chm=Help.zbin"});
        Local(kExe, kT0);
        Serve(kPackage, "version 2", c.programOnServer);
        Serve(kHelpPackage, "help 2", kT0);
        EXPECT_EQ(Download(false), 0);
        EXPECT_EQ(Launched(), std::vector<std::string>{c.launched});
    }
}

TEST_F(UpdateDownloadTest, AFailedDownloadKeepsWhatWasStagedAndLaunchesNothing) {
    updater.SetAuxFiles({"Help.chm=Help.zbin", "Lang.dll=Lang.zbin"});
    Serve(kPackage, "version 2", kT0);
    net.responses[kHelpPackage].status = 200;
    net.responses[kHelpPackage].lastModified = Calendar(kT0);
    Serve("/restlevel/Lang.zbin", "lang 2", kT0);
    // The HEAD goes through; the body's read breaks off.
    net.responses[kHelpPackage].Body(Packed("help 2")).readFailsAt = 0;
    text.moduleMessages[kErrorInternetConnectionReset] = "The connection with the server was reset.\r\n";

    bool result = true;
    EXPECT_EQ(Download(false, &result), std::nullopt);
    EXPECT_FALSE(result);
    EXPECT_EQ(Log(), Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... will be updated",
                            "Help.zbin (C:\\Prog\\Help.chm) ... will be updated",
                            "Lang.zbin (C:\\Prog\\Lang.dll) ... will be updated",
                            "Files to update: 3",
                            "Download RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... OK",
                            "Save to C:\\Temp\\RestLevel\\HLV1.TMP.exe ... OK",
                            "Download Help.zbin (C:\\Prog\\Help.chm) ... Error HTTP 200 The connection with the server was "
                            "reset (0x00002EFF)"}));
    EXPECT_EQ(StagedNames(), std::vector<std::string>{"HLV1.TMP.exe"}) << "the first file stays staged";
    EXPECT_EQ(files.files["C:\\Temp\\RestLevel\\HLV1.TMP.exe"].data, "version 2");
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV1.TMP"), 1u) << "its placeholder too";
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV2.TMP"), 0u) << "no subkey names the failed one's";
    EXPECT_TRUE(files.executed.empty());
    EXPECT_TRUE(app.messageBoxes.empty());
    for (const auto& request : net.requests)
        EXPECT_FALSE(request.verb == "GET" && request.objectName == "/restlevel/Lang.zbin") << "later files are not fetched";
    ASSERT_EQ(windows.progressWindows.size(), 1u);
    EXPECT_TRUE(windows.progressWindows[0]->destroyed);
}

// A save that fails without raising: the file is neither recorded nor
// installed, and neither it nor its placeholder is left behind.
TEST_F(UpdateDownloadTest, AFailedSaveEndsTheDownloadAndRecordsNothing) {
    const std::string plain(5000, 'h');
    const std::string packed = Packed(plain);
    struct Case {
        const char* name;
        std::string body;
        std::uint64_t limit;
        std::string line;
        bool planted = false;  // a file is at the staged file's name already
    } cases[] = {
        {"a package cut short", packed.substr(0, packed.size() / 2), kMaxInflatedSize,
         "The compressed data is incomplete: it ends before the end of its stream"},
        {"a package that inflates past the limit", packed, 1000, "The package inflates to more than 1000 bytes"},
        // Staged files are made new: one already there is not ours to fill.
        {"a file already at the staged name", packed, kMaxInflatedSize, SysErrorText(80) + " at Create File", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFiles();
        registry.Clear();
        if (c.planted) files.files["C:\\Temp\\RestLevel\\HLV2.TMP.chm"].data = "planted";
        InflatedSizeLimit = c.limit;
        updater.SetAuxFiles({"Help.chm=Help.zbin"});
        Serve(kPackage, "version 2", kT0);
        Serve(kHelpPackage, "", kT0).Body(c.body);

        bool result = true;
        EXPECT_EQ(Download(true, &result), std::nullopt);
        EXPECT_FALSE(result);
        EXPECT_EQ(Log(), Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... will be updated",
                                "Help.zbin (C:\\Prog\\Help.chm) ... will be updated",
                                "Files to update: 2",
                                "Download RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... OK",
                                "Save to C:\\Temp\\RestLevel\\HLV1.TMP.exe ... OK",
                                "Download Help.zbin (C:\\Prog\\Help.chm) ... OK",
                                "Save to C:\\Temp\\RestLevel\\HLV2.TMP.chm ... " + c.line}));
        EXPECT_EQ(StagedNames(), std::vector<std::string>{"HLV1.TMP.exe"});
        EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV2.TMP.chm"), 0u);
        EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV2.TMP"), 0u);
        EXPECT_TRUE(files.executed.empty());
    }
}

// A store that refuses a write, or whose key does not open: the installer
// would find nothing recorded, so nothing is launched and the staging goes.
TEST_F(UpdateDownloadTest, AStoreThatCannotBeWrittenEndsTheDownloadAndRemovesTheStaging) {
    struct Case {
        const char* name;
        std::string refused;  // empty: the key does not open at all
        std::string line;
    } cases[] = {
        {"the key does not open", "", "Could not record AppName in the settings store"},
        {"the program's name", "AppName", "Could not record AppName in the settings store"},
        {"an argument", "Param2", "Could not record Param2 in the settings store"},
        {"a staged file's name", "TempFile", "Could not record TempFile in the settings store"},
        {"the second file's date", "FileDate#2", "Could not record FileDate in the settings store"},
    };
    for (const Case& c : cases) {
        for (const bool silent : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (silent ? ", silent" : ""));
            ResetFiles();
            registry.Clear();
            app.messageBoxes.clear();
            app.arguments = {"one", "two"};
            updater.SetAuxFiles({"Help.chm=Help.zbin"});
            Serve(kPackage, "version 2", kT0);
            Serve(kHelpPackage, "help 2", kT0);
            int fileDates = 0;
            registry.grant = [&c](std::uint32_t access) { return !c.refused.empty() || access != kKeyAllAccess; };
            registry.refuseSet = [&c, &fileDates](const std::string& name) {
                if (name == "FileDate") ++fileDates;
                return name == c.refused || (c.refused == "FileDate#2" && name == "FileDate" && fileDates == 2);
            };

            bool result = true;
            EXPECT_EQ(Download(silent, &result), std::nullopt);
            EXPECT_FALSE(result);
            EXPECT_NE(Log().find(c.line + "\r\n"), std::string::npos) << Log();
            EXPECT_EQ(Log().find("Start "), std::string::npos);
            EXPECT_TRUE(files.executed.empty());
            registry.grant = nullptr;
            registry.refuseSet = nullptr;
            EXPECT_EQ(StagedNames(), std::vector<std::string>{});
            EXPECT_FALSE(registry.Get("Software\\Halvane\\KzAutoUpdate", "AppName").has_value());
            EXPECT_FALSE(registry.Get("Software\\Halvane\\KzAutoUpdate", "TempPath").has_value());
            for (const auto& [name, file] : files.files)
                EXPECT_NE(name.rfind(kStaging, 0), 0u) << name << " is left behind";
            EXPECT_EQ(files.folders.count("C:\\Temp\\RestLevel"), 0u);
            if (silent) {
                EXPECT_TRUE(app.messageBoxes.empty());
            } else {
                ASSERT_EQ(app.messageBoxes.size(), 1u);
                EXPECT_EQ(app.messageBoxes[0].first,
                          "The update could not be prepared: the settings store cannot be written.");
                EXPECT_EQ(app.messageBoxes[0].second, kMbIconError | kMbCancelOnly);
            }
            ASSERT_FALSE(windows.progressWindows.empty());
            EXPECT_TRUE(windows.progressWindows.back()->destroyed);
        }
    }
    app.arguments.clear();
}

TEST_F(UpdateDownloadTest, TheTwoBoxesShowOnlyWhenNotSilent) {
    struct Case {
        const char* name;
        bool listingFails;
        bool launchFails;
        std::string box;
        std::uint32_t flags;
    } cases[] = {
        {"listing not available", true, false,
         "Software update information is not currently available.  Please try again later.",
         kMbIconWarning | kMbCancelOnly},
        {"installer not started", false, true,
         "An error occurred attempting to install the RestLevel update.\r\n\r\nThe system cannot find the file "
         "specified (0x00000002)",
         kMbIconError | kMbCancelOnly},
    };
    text.systemMessages[2] = "The system cannot find the file specified.\r\n";
    for (const Case& c : cases) {
        for (const bool silent : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (silent ? ", silent" : ""));
            ResetFiles();
            registry.Clear();
            app.messageBoxes.clear();
            updater.FileListURL = "https://halvane.example/restlevel/files.txt";
            net.responses["/restlevel/files.txt"].status = c.listingFails ? 503 : 200;
            net.responses["/restlevel/files.txt"].Body("");
            files.shellResult = c.launchFails ? 2 : 42;
            Serve(kPackage, "version 2", kT0);

            bool result = true;
            EXPECT_EQ(Download(silent, &result), std::nullopt);
            EXPECT_FALSE(result);
            if (silent) {
                EXPECT_TRUE(app.messageBoxes.empty());
            } else {
                ASSERT_EQ(app.messageBoxes.size(), 1u);
                EXPECT_EQ(app.messageBoxes[0].first, c.box);
                EXPECT_EQ(app.messageBoxes[0].second, c.flags);
            }
            if (c.listingFails) {
                EXPECT_EQ(Log(), Lines({"File listing not available https://halvane.example/restlevel/files.txt : "
                                        "HTTP 503 "}));
                EXPECT_TRUE(windows.progressWindows.empty() || windows.progressWindows.back()->destroyed);
            } else {
                EXPECT_NE(Log().find("Got file listing from https://halvane.example/restlevel/files.txt\r\n"),
                          std::string::npos);
                EXPECT_NE(Log().find("\r\nStart C:\\Temp\\RestLevel\\HLV1.TMP.exe\r\n"), std::string::npos);
            }
        }
    }
}

TEST_F(UpdateDownloadTest, ADamagedPackageEndsTheDownloadButNotTheProgram) {
    updater.SetAuxFiles({"Help.chm=Help.zbin"});
    Local(kExe, kT0);
    Serve(kPackage, "version 1", kT0);
    net.responses[kHelpPackage] = net.responses[kPackage];
    net.responses[kHelpPackage].Body("this is not a zlib stream");

    bool result = true;
    EXPECT_EQ(Download(false, &result), std::nullopt);
    EXPECT_FALSE(result);
    EXPECT_EQ(Log(), Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... is up to date",
                            "Help.zbin (C:\\Prog\\Help.chm) ... will be updated",
                            "Files to update: 1",
                            "Download Help.zbin (C:\\Prog\\Help.chm) ... OK",
                            "Save to C:\\Temp\\RestLevel\\HLV1.TMP.chm ... Fatal error: incorrect header check"}));
    ASSERT_EQ(windows.progressWindows.size(), 1u);
    EXPECT_TRUE(windows.progressWindows[0]->destroyed);
    EXPECT_TRUE(files.executed.empty());
    EXPECT_TRUE(app.messageBoxes.empty());
    EXPECT_EQ(registry.Get("Software\\Halvane\\KzAutoUpdate", "TempPath")->data, Sz(kStaging))
        << "the staging stays for the next ClearStagedUpdate";
    // What no subkey names, nothing would ever remove.
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV1.TMP.chm"), 0u);
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV1.TMP"), 0u);
}

TEST_F(UpdateDownloadTest, AfterTheLaunchTheProcessEndsOrTheMainWindowCloses) {
    struct Case {
        const char* name;
        bool forcedTerminate;
        bool hasMainForm;
        bool ends;
    } cases[] = {
        {"forced, window up", true, true, true},
        {"forced, still starting", true, false, true},
        {"not forced, window up", false, true, false},
        // No main window yet to ask: the start-up use ends at once.
        {"not forced, still starting", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry.Clear();
        app.closeRequests = 0;
        updater.ForcedTerminate = c.forcedTerminate;
        app.hasMainForm = c.hasMainForm;
        Serve(kPackage, "version 2", kT0);
        bool result = false;
        EXPECT_EQ(Download(false, &result).has_value(), c.ends);
        if (!c.ends) {
            EXPECT_TRUE(result);
            EXPECT_EQ(app.closeRequests, 1);
        }
    }
}

TEST_F(UpdateDownloadTest, ThePauseAfterEachDownloadComesBeforeTheInflating) {
    Serve(kPackage, "version 2", kT0);
    int pauseRounds = 0;
    app.onProcessMessages = [this, &pauseRounds] {
        text.counter += text.frequency / 10;
        const std::string log = Log();
        const std::string downloaded = "... OK\r\n";
        if (log.size() >= downloaded.size() && log.compare(log.size() - downloaded.size(), downloaded.size(), downloaded) == 0 &&
            log.find("Save to") == std::string::npos)
            ++pauseRounds;
    };
    EXPECT_EQ(Download(false), 0);
    // 0, 100, ..., 500 ms have passed at the rounds' starts.
    EXPECT_EQ(pauseRounds, 6);
    int sleeps = 0;
    for (const std::string& call : files.calls) sleeps += call == "Sleep 1";
    EXPECT_EQ(sleeps, 6);
}

TEST_F(UpdateDownloadTest, WithoutAStagingFolderNothingIsStaged) {
    struct Case {
        const char* name;
        std::set<std::string> failing;
        std::string line;
    } cases[] = {
        {"folder cannot be made", {"CreateDirectory C:\\Temp\\RestLevel"},
         "Temp folder C:\\Temp\\RestLevel\\ could not be created"},
        // Never a relative folder below wherever the program was started.
        {"no temporary folder", {"TempPath"}, "Temp folder  could not be created"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFiles();
        files.failing = c.failing;
        Serve(kPackage, "version 2", kT0);
        bool result = true;
        EXPECT_EQ(Download(false, &result), std::nullopt);
        EXPECT_FALSE(result);
        if (!c.failing.count("TempPath")) {
            EXPECT_EQ(Log(), Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... will be updated", c.line}));
        }
        EXPECT_TRUE(files.executed.empty());
        EXPECT_TRUE(app.messageBoxes.empty());
        EXPECT_EQ(files.calls.end(), std::find_if(files.calls.begin(), files.calls.end(), [](const std::string& call) {
                      return call.rfind("TempFileName", 0) == 0;
                  }));
    }
}

TEST_F(UpdateDownloadTest, AnEmptyUpdateURLDoesNothingAndLeavesAnEmptyLog) {
    updater.UpdateURL.clear();
    updater.SetAuxFiles({"Help.chm=Help.zbin"});
    files.files[kLog].data = "an earlier check\r\n";
    bool result = true;
    EXPECT_EQ(Download(false, &result), std::nullopt);
    EXPECT_FALSE(result);
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(net.requests.empty());
    EXPECT_TRUE(windows.progressWindows.empty());
}

// ClearStagedUpdate ---------------------------------------------------------

class ClearStagedUpdateTest : public UpdateDownloadTest {
public:
    void Stage(const std::string& name, bool fileThere, bool pendingReboot) {
        const std::string key = std::string(kFiles) + "\\" + name;
        registry.Put(key, "TempFile", kRegSz, Sz(kStaging + name));
        registry.Put(key, "DestFile", kRegSz, Sz("C:\\Prog\\x" + name.substr(name.find(".TMP") + 4)));
        if (pendingReboot) registry.Put(key, "PendingReboot", kRegDword, Dword(1));
        if (fileThere) files.files[kStaging + name].data = "staged";
    }
};

// Signed updates ---------------------------------------------------------

TEST_F(UpdateDownloadTest, WithTrustedKeysEachPackageIsVerifiedAndItsStatementRecorded) {
    updater.TrustedKeys = {fake::Crypto::Key(1)};
    updater.SetAuxFiles({"Help.chm=Help.zbin"});
    Local(kExe, kT0);
    const std::string programSig = SignedPackage("RestLevel.zbin", kT0 + 60 * kSecond, "version 2");
    const std::string helpSig = SignedPackage("restlevel/Help.zbin", kT0 + 90 * kSecond, "help 2");
    Serve(kPackage, "version 2", kT0 + 60 * kSecond);
    Serve(kHelpPackage, "help 2", kT0 + 90 * kSecond);
    net.responses["/restlevel/RestLevel.zbin.sig"].Body(programSig);
    net.responses["/restlevel/Help.zbin.sig"].Body(helpSig);

    EXPECT_EQ(Download(false), 0);
    std::vector<std::string> objects;
    for (const auto& request : net.requests) objects.push_back(request.verb + " " + request.objectName);
    EXPECT_EQ(objects, (std::vector<std::string>{"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.zbin.sig",
                                                 "HEAD /restlevel/Help.zbin", "GET /restlevel/Help.zbin.sig",
                                                 "GET /restlevel/RestLevel.zbin", "GET /restlevel/Help.zbin"}));
    EXPECT_EQ(Log(), Lines({"RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... will be updated",
                            "Help.zbin (C:\\Prog\\Help.chm) ... will be updated",
                            "Files to update: 2",
                            "Download RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... OK",
                            "Save to C:\\Temp\\RestLevel\\HLV1.TMP.exe ... OK",
                            "Download Help.zbin (C:\\Prog\\Help.chm) ... OK",
                            "Save to C:\\Temp\\RestLevel\\HLV2.TMP.chm ... OK",
                            "Start C:\\Temp\\RestLevel\\HLV1.TMP.exe"}));
    const std::string exeKey = std::string(kFiles) + "\\HLV1.TMP.exe";
    const std::string helpKey = std::string(kFiles) + "\\HLV2.TMP.chm";
    ASSERT_TRUE(registry.Get(exeKey, "Signature").has_value());
    EXPECT_EQ(registry.Get(exeKey, "Signature")->data, Sz(programSig));
    EXPECT_EQ(registry.Get(exeKey, "Signature")->type, kRegSz);
    ASSERT_TRUE(registry.Get(helpKey, "Signature").has_value());
    EXPECT_EQ(registry.Get(helpKey, "Signature")->data, Sz(helpSig));
    EXPECT_EQ(registry.Get(exeKey, "FileDate")->data, DateBytes(ServedDate(kT0 + 60 * kSecond)));
    EXPECT_EQ(files.files["C:\\Temp\\RestLevel\\HLV1.TMP.exe"].written, FileTimeOf(kT0 + 60 * kSecond));
    EXPECT_TRUE(app.messageBoxes.empty());
    EXPECT_EQ(Launched().size(), 1u);
}

TEST_F(UpdateDownloadTest, WithTrustedKeysAnythingUnverifiedStagesNothingAndSaysSo) {
    const double program = kT0 + 60 * kSecond;
    const double help = kT0 + 90 * kSecond;
    const std::string listingURL = "https://halvane.example/restlevel/files.txt";
    const std::string listing = "Help.chm=Help.zbin\r\n";
    struct Case {
        const char* name;
        std::function<void(UpdateDownloadTest&)> arrange;
        std::string line;  // the log's last line
        std::vector<std::string> lastRequests;  // the requests, from the last HEAD of a package on
    } cases[] = {
        {"the help file has no statement",
         [](UpdateDownloadTest& t) { t.net.responses.erase("/restlevel/Help.zbin.sig"); },
         "Help.zbin (C:\\Prog\\Help.chm) ... Could not verify Help.zbin: no signature (HTTP 404)",
         {"HEAD /restlevel/Help.zbin", "GET /restlevel/Help.zbin.sig"}},
        {"the help file signed with another key",
         [=](UpdateDownloadTest& t) {
             t.net.responses["/restlevel/Help.zbin.sig"].Body(SignedPackage("Help.zbin", help, "help 2", 2));
         },
         "Help.zbin (C:\\Prog\\Help.chm) ... Could not verify Help.zbin: signature not valid",
         {"HEAD /restlevel/Help.zbin", "GET /restlevel/Help.zbin.sig"}},
        {"the program's statement of another time",
         [=](UpdateDownloadTest& t) {
             t.net.responses["/restlevel/RestLevel.zbin.sig"].Body(SignedPackage("RestLevel.zbin", kT0, "version 2"));
         },
         "RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... Could not verify RestLevel.zbin: signed time differs from "
         "the server's",
         {"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.zbin.sig"}},
        {"an older signed program than the installed one",
         [=](UpdateDownloadTest& t) { t.Local(kExe, program + 600 * kSecond); },
         "RestLevel.zbin (C:\\Prog\\RestLevel.exe) ... Could not verify RestLevel.zbin: signed time is older than "
         "the installed file's",
         {"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.zbin.sig"}},
        {"the help package replaced after signing",
         [=](UpdateDownloadTest& t) {
             t.net.responses[kHelpPackage].Body(Packed("help 2, changed"));
         },
         "Download Help.zbin (C:\\Prog\\Help.chm) ... Could not verify Help.zbin: content differs from the signed",
         {"HEAD /restlevel/Help.zbin", "GET /restlevel/Help.zbin.sig", "GET /restlevel/RestLevel.zbin",
          "GET /restlevel/Help.zbin"}},
        {"the help package inflating to something else",
         [=](UpdateDownloadTest& t) {
             // Signed as served, but the statement's unpacked file is another.
             const std::string packed = Packed("help 2");
             t.net.responses["/restlevel/Help.zbin.sig"].Body(fake::Crypto::Statement(
                 fake::Crypto::Key(1), "Help.zbin", UnixTime(help), packed, std::string("help 3")));
         },
         "Save to C:\\Temp\\RestLevel\\HLV2.TMP.chm ... Could not verify Help.zbin: unpacked content differs from "
         "the signed",
         {"HEAD /restlevel/Help.zbin", "GET /restlevel/Help.zbin.sig", "GET /restlevel/RestLevel.zbin",
          "GET /restlevel/Help.zbin"}},
        {"a listing without a statement",
         [=](UpdateDownloadTest& t) {
             t.updater.FileListURL = listingURL;
             t.net.responses["/restlevel/files.txt"].Body(listing).lastModified = Calendar(kT0);
         },
         "Could not verify " + listingURL + ": no signature (HTTP 404)",
         {"GET /restlevel/files.txt", "GET /restlevel/files.txt.sig"}},
        {"a listing changed after signing",
         [=](UpdateDownloadTest& t) {
             t.updater.FileListURL = listingURL;
             t.net.responses["/restlevel/files.txt"].Body(listing + "Evil.dll=Help.zbin\r\n").lastModified =
                 Calendar(kT0);
             t.net.responses["/restlevel/files.txt.sig"].Body(fake::Crypto::Statement(
                 fake::Crypto::Key(1), "files.txt", UnixTime(kT0), listing, std::nullopt));
         },
         "Could not verify " + listingURL + ": content differs from the signed",
         {"GET /restlevel/files.txt", "GET /restlevel/files.txt.sig"}},
    };
    for (const Case& c : cases) {
        for (const bool silent : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (silent ? ", silent" : ""));
            ResetFiles();
            registry.Clear();
            net.responses.clear();
            net.requests.clear();
            app.messageBoxes.clear();
            updater.FileListURL.clear();
            updater.TrustedKeys = {fake::Crypto::Key(1)};
            updater.SetAuxFiles({"Help.chm=Help.zbin"});
            Local(kExe, kT0);
            Serve(kPackage, "version 2", program);
            Serve(kHelpPackage, "help 2", help);
            net.responses["/restlevel/RestLevel.zbin.sig"].Body(SignedPackage("RestLevel.zbin", program, "version 2"));
            net.responses["/restlevel/Help.zbin.sig"].Body(SignedPackage("Help.zbin", help, "help 2"));
            // An earlier staging, which goes too.
            registry.Put(std::string(kFiles) + "\\HLV9.TMP.exe", "TempFile", kRegSz,
                         Sz("C:\\Temp\\RestLevel\\HLV9.TMP.exe"));
            c.arrange(*this);

            bool result = true;
            EXPECT_EQ(Download(silent, &result), std::nullopt);
            EXPECT_FALSE(result);
            const std::string end = Lines({c.line});
            const std::string log = Log();
            EXPECT_TRUE(log.size() >= end.size() && log.compare(log.size() - end.size(), end.size(), end) == 0) << log;
            std::vector<std::string> objects;
            for (const auto& request : net.requests) objects.push_back(request.verb + " " + request.objectName);
            ASSERT_GE(objects.size(), c.lastRequests.size());
            EXPECT_EQ(std::vector<std::string>(objects.end() - static_cast<std::ptrdiff_t>(c.lastRequests.size()),
                                               objects.end()),
                      c.lastRequests);
            EXPECT_TRUE(files.executed.empty()) << "nothing launched";
            EXPECT_EQ(StagedNames(), std::vector<std::string>{});
            EXPECT_FALSE(registry.Get("Software\\Halvane\\KzAutoUpdate", "TempPath").has_value());
            for (const auto& [name, file] : files.files)
                EXPECT_NE(name.rfind(kStaging, 0), 0u) << name << " is left behind";
            if (silent) {
                EXPECT_TRUE(app.messageBoxes.empty());
            } else {
                EXPECT_EQ(app.messageBoxes,
                          (std::vector<std::pair<std::string, std::uint32_t>>{
                              {"The update of RestLevel could not be verified. Nothing was installed.",
                               kMbIconError | kMbCancelOnly}}));
            }
        }
    }
}

TEST_F(ClearStagedUpdateTest, RemovesTheValuesTheFilesAndTheFolder) {
    const std::string main = "Software\\Halvane\\KzAutoUpdate";
    registry.Put(main, "AppName", kRegSz, Sz(kExe));
    registry.Put(main, "TempPath", kRegSz, Sz(kStaging));
    registry.Put(main, "ParamCount", kRegDword, Dword(2));
    registry.Put(main, "Silent", kRegDword, Dword(0));
    registry.Put(main, "LogFile", kRegSz, Sz(kLog));
    registry.Put(main, "Param1", kRegSz, Sz("-a"));
    registry.Put(main, "Param2", kRegSz, Sz("b c"));
    registry.Put(main, "Param3", kRegSz, Sz("beyond the count"));
    files.folders.insert("C:\\Temp\\RestLevel");
    Stage("HLV1.TMP.exe", true, false);
    Stage("HLV2.TMP.chm", false, false);  // already gone
    Stage("HLV3.TMP.dll", true, true);    // Windows moves it at the restart
    // The placeholders of all three.
    files.files["C:\\Temp\\RestLevel\\HLV1.TMP"];
    files.files["C:\\Temp\\RestLevel\\HLV3.TMP"];
    files.files["C:\\Temp\\RestLevel\\HLV2.TMP"];

    ClearStagedUpdate();

    EXPECT_TRUE(registry.KeyExists(kFiles)) << "the keys themselves stay";
    EXPECT_TRUE(SubKeys(kFiles).empty());
    for (const char* gone : {"AppName", "TempPath", "ParamCount", "Silent", "Param1", "Param2"})
        EXPECT_FALSE(registry.Get(main, gone).has_value()) << gone;
    EXPECT_EQ(registry.Get(main, "LogFile")->data, Sz(kLog));
    EXPECT_TRUE(registry.Get(main, "Param3").has_value()) << "only the counted ones";

    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV1.TMP.exe"), 0u);
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV3.TMP.dll"), 1u);
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV1.TMP"), 0u) << "placeholders go with their files";
    EXPECT_EQ(files.files.count("C:\\Temp\\RestLevel\\HLV3.TMP"), 0u) << "also of a file left to the restart";
    // The file left to the restart keeps the folder; its removal waits too.
    EXPECT_EQ(files.rebootMoves,
              (std::vector<std::pair<std::string, std::string>>{{"C:\\Temp\\RestLevel", ""}}));
    for (const std::string& call : files.calls)
        EXPECT_NE(call, "DeleteFile C:\\Temp\\RestLevel\\HLV2.TMP.chm") << "a missing file is not deleted";
}

TEST_F(ClearStagedUpdateTest, ToleratesWhatIsGoneAndSchedulesWhatIsInUse) {
    struct Case {
        const char* name;
        std::function<void(ClearStagedUpdateTest&)> arrange;
        std::vector<std::pair<std::string, std::string>> rebootMoves;
        bool folderLeft;
    } cases[] = {
        {"no key at all", [](ClearStagedUpdateTest&) {}, {}, true},
        {"a staged file in use",
         [](ClearStagedUpdateTest& t) {
             t.registry.Put("Software\\Halvane\\KzAutoUpdate", "TempPath", kRegSz, Sz(kStaging));
             t.Stage("HLV1.TMP.exe", true, false);
             t.files.failing = {"DeleteFile C:\\Temp\\RestLevel\\HLV1.TMP.exe"};
         },
         {{"C:\\Temp\\RestLevel\\HLV1.TMP.exe", ""}, {"C:\\Temp\\RestLevel", ""}},
         true},
        {"an emptied folder goes at once",
         [](ClearStagedUpdateTest& t) {
             t.registry.Put("Software\\Halvane\\KzAutoUpdate", "TempPath", kRegSz, Sz(kStaging));
             t.Stage("HLV1.TMP.exe", true, false);
             t.Stage("HLV2.TMP", true, false);  // named as its placeholder
             t.files.files["C:\\Temp\\RestLevel\\HLV1.TMP"];
         },
         {},
         false},
        {"the folder gone already",
         [](ClearStagedUpdateTest& t) {
             t.registry.Put("Software\\Halvane\\KzAutoUpdate", "TempPath", kRegSz, Sz(kStaging));
             t.files.folders.erase("C:\\Temp\\RestLevel");
         },
         {},
         false},
        {"ParamCount as a string",
         [](ClearStagedUpdateTest& t) {
             // Four bytes, as many as an integer has.
             t.registry.Put("Software\\Halvane\\KzAutoUpdate", "ParamCount", kRegSz, {'1', 0, 0, 0});
             t.registry.Put("Software\\Halvane\\KzAutoUpdate", "Param1", kRegSz, Sz("-a"));
         },
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        registry.Clear();
        ResetFiles();
        files.folders.insert("C:\\Temp\\RestLevel");
        c.arrange(*this);
        ClearStagedUpdate();
        EXPECT_EQ(files.rebootMoves, c.rebootMoves);
        EXPECT_EQ(files.folders.count("C:\\Temp\\RestLevel") == 1, c.folderLeft);
        EXPECT_TRUE(SubKeys(kFiles).empty());
        EXPECT_EQ(registry.OpenHandles(), 0u);
    }
    // A string count is no count: its values stay.
    EXPECT_TRUE(registry.Get("Software\\Halvane\\KzAutoUpdate", "ParamCount").has_value());
    EXPECT_TRUE(registry.Get("Software\\Halvane\\KzAutoUpdate", "Param1").has_value());
}

}  // namespace
}  // namespace rl

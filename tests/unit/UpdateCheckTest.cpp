// The update check against fakes: a scripted server behind the internet
// port, local files with chosen times, and the program at C:\Prog. Each case
// compares the whole update log with the lines it must hold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Application.h"
#include "support/Encrypt.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "tests/fakes/FakeApplication.h"
#include "tests/fakes/FakeCrypto.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/fakes/FakeInternet.h"
#include "tests/fakes/FakeTextSystem.h"
#include "tests/fakes/FakeUpdateUi.h"
#include "tests/unit/UpdateTestValues.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/StartupUpdate.h"
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
using updatetest::Lines;

constexpr char kNotesURL[] = "https://halvane.example/restlevel/RestLevel.rtf";
constexpr char kNotes[] = "/restlevel/RestLevel.rtf";

constexpr char kUpToDate[] = "Software is already up-to-date.";
constexpr char kOlder[] = "The update package is older than the installed version.";
constexpr char kAvailable[] = "An update is available and can be installed.";
constexpr char kError[] = "Update cannot be installed; one or more error conditions prevent updating.";

// Expands like the fake, but a text that names `failing` raises: an
// exception in the middle of the comparison.
class ThrowingTextSystem : public fake::TextSystem {
public:
    std::string failing;
    std::uint32_t ExpandEnvironment(const std::string& text, char* buffer, std::uint32_t size) override {
        if (!failing.empty() && text.find(failing) != std::string::npos) throw std::runtime_error("path table damaged");
        return fake::TextSystem::ExpandEnvironment(text, buffer, size);
    }
};

class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileSystemPort(&files);
        SetTextSystemPort(&text);
        SetInternetPort(&net);
        SetApplicationPort(&app);
        SetUpdateWindowPort(&windows);
        SetCryptoPort(&crypto);
        SetApplicationTitle("RestLevel");
        app.exeName = kExe;
        files.folders = {"C:\\Prog", "C:\\Temp"};
        net.textSystem = &text;
        net.response.status = 404;  // whatever the test does not serve
        updater.UpdateURL = kUpdateURL;
    }
    void TearDown() override {
        SetCryptoPort(nullptr);
        SetUpdateWindowPort(nullptr);
        SetApplicationPort(nullptr);
        SetInternetPort(nullptr);
        SetTextSystemPort(nullptr);
        SetFileSystemPort(nullptr);
        SetApplicationTitle("RestLevel");
    }

    void Local(const std::string& path, double utc) {
        FileTime time = 0;
        ASSERT_TRUE(DateTimeToFileTime(utc, time));
        files.files[path].written = time;
    }
    // A file on the server; without a time it is served without Last-Modified.
    fake::Response& Serve(const std::string& object, std::optional<double> modified) {
        fake::Response& response = net.responses[object];
        response.status = 200;
        if (modified) response.lastModified = Calendar(*modified);
        return response;
    }
    fake::Response& ServeText(const std::string& object, const std::string& body) {
        fake::Response& response = net.responses[object];
        response.status = 200;
        response.Body(body);
        return response;
    }
    std::string Log() { return files.files[kLog].data; }
    std::vector<std::string> Objects() const {
        std::vector<std::string> objects;
        for (const auto& request : net.requests) objects.push_back(request.verb + " " + request.objectName);
        return objects;
    }

    fake::FileSystem files;
    ThrowingTextSystem text;
    fake::Internet net;
    fake::Application app;
    fake::UpdateWindowFactory windows;
    fake::Crypto crypto;
    TKzAutoUpdate updater;
};

// Whole seconds since 1970 of a date-time.
std::uint64_t UnixTime(double dateTime) { return static_cast<std::uint64_t>(std::llround((dateTime - 25569) * 86400)); }

TEST_F(UpdateCheckTest, EachVerdictOnTheProgramsOwnFile) {
    const std::string check = "Check File RestLevel.zbin ... ";
    struct Case {
        const char* name;
        std::optional<double> local;   // nullopt: no local file
        std::optional<double> remote;  // nullopt: no Last-Modified
        std::uint32_t status;
        TUpdateCheckResult result;
        std::string line;
        const char* final;
    } cases[] = {
        {"server 3 s newer", kT0, kT0 + 3 * kSecond, 200, ucrUpToDate,
         check + "2024-03-01 12:00:03 Up-to-date Local @ 2024-03-01 12:00:00", kUpToDate},
        {"server exactly 5 s newer", kT0, kT0 + 5 * kSecond, 200, ucrUpToDate,
         check + "2024-03-01 12:00:05 Up-to-date Local @ 2024-03-01 12:00:00", kUpToDate},
        {"server 6 s newer", kT0, kT0 + 6 * kSecond, 200, ucrUpdateAvailable,
         check + "2024-03-01 12:00:06 Needs update from local copy 2024-03-01 12:00:00", kAvailable},
        {"local 6 s newer", kT0 + 6 * kSecond, kT0, 200, ucrPackageOlder,
         check + "2024-03-01 12:00:00 Older Local @ 2024-03-01 12:00:06", kOlder},
        {"local exactly 5 s newer", kT0 + 5 * kSecond, kT0, 200, ucrUpToDate,
         check + "2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:05", kUpToDate},
        // Without a server date an existing file counts as newer than the
        // package; the date fragment shows the zero date-time.
        {"no Last-Modified, file present", kT0, std::nullopt, 200, ucrPackageOlder,
         check + "1899-12-30 00:00:00 Older Local @ 2024-03-01 12:00:00", kOlder},
        {"no Last-Modified, file missing", std::nullopt, std::nullopt, 200, ucrUpdateAvailable,
         check + "1899-12-30 00:00:00 Local File Missing... needs to be installed", kAvailable},
        {"file missing", std::nullopt, kT0, 200, ucrUpdateAvailable,
         check + "2024-03-01 12:00:00 Local File Missing... needs to be installed", kAvailable},
        // The error text of a refused HEAD is empty: the line ends in a blank.
        {"server says 404", kT0, kT0, 404, ucrError, check + "Could not check RestLevel.zbin: HTTP 404 ", kError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        files.files.clear();
        net.responses.clear();
        if (c.local) Local(kExe, *c.local);
        Serve(kPackage, c.remote).status = c.status;
        EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), c.result);
        EXPECT_EQ(Log(), Lines({c.line, c.final}));
    }
}

TEST_F(UpdateCheckTest, AFileThatCannotBeCheckedOutweighsOneThatNeedsAnUpdate) {
    updater.SetAuxFiles({"Help.chm=Help.zbin", "Lang.dll=Lang.zbin"});
    Local(kExe, kT0);
    Local("C:\\Prog\\Lang.dll", kT0);
    Serve(kPackage, kT0 + 60 * kSecond);
    net.responses["/restlevel/Help.zbin"].status = 500;
    Serve("/restlevel/Lang.zbin", kT0);

    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrError);
    EXPECT_EQ(Log(), Lines({"Check File RestLevel.zbin ... 2024-03-01 12:01:00 Needs update from local copy "
                            "2024-03-01 12:00:00",
                            "Check File Help.zbin ... Could not check Help.zbin: HTTP 500 ",
                            "Check File Lang.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00",
                            kError}))
        << "the files after the failed one are still compared";
}

TEST_F(UpdateCheckTest, AServerThatCannotBeReachedIsAnErrorForEveryFile) {
    updater.SetAuxFiles({"Help.chm=Help.zbin"});
    Local(kExe, kT0);
    net.connectError = kErrorInternetNameNotResolved;
    net.responseInfo = "no such host";
    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrError);
    EXPECT_EQ(Log(), Lines({"Check File RestLevel.zbin ... Could not check RestLevel.zbin: HTTP 0 no such host",
                            "Check File Help.zbin ... Could not check Help.zbin: HTTP 0 no such host", kError}));
}

TEST_F(UpdateCheckTest, NothingToCompareGivesResultZeroAndOnlyItsFinalLine) {
    updater.UpdateURL.clear();
    updater.InfoURLRTF = kNotesURL;
    ServeText(kNotes, "{\\rtf1 Version 2}");
    Local(kExe, kT0);
    std::string notes;
    files.files[kLog].data = "an earlier check\r\n";
    EXPECT_EQ(updater.CheckForUpdate(&notes, nullptr), ucrNotSpecified);
    EXPECT_EQ(Log(), Lines({"Update cannot be installed; reason is not specified."}));
    EXPECT_EQ(Objects(), (std::vector<std::string>{"GET /restlevel/RestLevel.rtf"})) << "no file was probed";
    EXPECT_EQ(notes, "{\\rtf1 Version 2}");
}

TEST_F(UpdateCheckTest, TheQueryOfUpdateURLGoesWithEveryFileButNotWithTheListing) {
    updater.UpdateURL = std::string(kUpdateURL) + "?channel=beta&key=7";
    updater.FileListURL = "https://halvane.example/lists/files.txt?v=2";
    ServeText("/lists/files.txt?v=2", "Help.chm=docs/Help.zbin\r\n");
    Local(kExe, kT0);
    Local("C:\\Prog\\Help.chm", kT0);
    Serve("/restlevel/RestLevel.zbin?channel=beta&key=7", kT0);
    Serve("/restlevel/docs/Help.zbin?channel=beta&key=7", kT0);

    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpToDate);
    EXPECT_EQ(Objects(), (std::vector<std::string>{"GET /lists/files.txt?v=2",
                                                   "HEAD /restlevel/RestLevel.zbin?channel=beta&key=7",
                                                   "HEAD /restlevel/docs/Help.zbin?channel=beta&key=7"}));
    EXPECT_EQ(Log(), Lines({"Downloaded File Listing https://halvane.example/lists/files.txt?v=2",
                            "Check File RestLevel.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00",
                            "Check File docs/Help.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00",
                            kUpToDate}));

    // The listing is always fetched anew; the files only resynchronised.
    ASSERT_EQ(net.requests.size(), 3u);
    EXPECT_NE(net.requests[0].flags & kInternetFlagReload, 0u);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(net.requests[i].flags & kInternetFlagReload, 0u);
        EXPECT_NE(net.requests[i].flags & kInternetFlagResynchronize, 0u);
    }
    bool connectTimeout = false;
    for (const auto& option : net.options) {
        EXPECT_NE(option.option, kInternetOptionReceiveTimeout) << "the platform's receive time-out stays";
        if (option.option == kInternetOptionConnectTimeout) connectTimeout = option.value == 20000;
    }
    EXPECT_TRUE(connectTimeout);
}

TEST_F(UpdateCheckTest, AListingReplacesTheAuxFilesLineByLine) {
    updater.SetAuxFiles({"Old.dll=Old.zbin"});
    updater.FileListURL = "https://halvane.example/restlevel/files.txt";
    // CR LF, a lone CR, a lone LF, empty lines, and a NUL that ends the text.
    ServeText("/restlevel/files.txt",
              std::string("a.dll=a.zbin\r\nb.dll=b.zbin\rc.dll\n\n\r\nd.dat=data/d.zbin\r\n") + '\0' +
                  "e.dll=e.zbin\r\n");
    for (const char* name : {kExe, "C:\\Prog\\a.dll", "C:\\Prog\\b.dll", "C:\\Prog\\c.dll", "C:\\Prog\\d.dat"})
        Local(name, kT0);
    for (const char* object : {kPackage, "/restlevel/a.zbin", "/restlevel/b.zbin", "/restlevel/c.dll",
                               "/restlevel/data/d.zbin"})
        Serve(object, kT0);

    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpToDate);
    EXPECT_EQ(updater.AuxFiles(),
              (std::vector<std::string>{"a.dll=a.zbin", "b.dll=b.zbin", "c.dll", "", "", "d.dat=data/d.zbin"}));
    const std::string same = " ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00";
    EXPECT_EQ(Log(), Lines({"Downloaded File Listing https://halvane.example/restlevel/files.txt",
                            "Check File RestLevel.zbin" + same, "Check File a.zbin" + same, "Check File b.zbin" + same,
                            // A bare name is the local file of that name in the program's folder.
                            "Check File c.dll" + same, "Check File data/d.zbin" + same, kUpToDate}));
}

TEST(UpdateListing, SplitsAtEveryKindOfLineBreak) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},  // a final break adds nothing
        {"a\n\n", {"a", ""}},
        {"\r\n", {""}},
        {"a\r\r\nb", {"a", "", "b"}},  // a CR, then a CR LF
        {"a\n\rb", {"a", "", "b"}},    // an LF, then a CR
        {std::string("a\nb\0c\n", 6), {"a", "b"}},
        {std::string("\0a", 2), {}},
    };
    for (const Case& c : cases) EXPECT_EQ(TKzAutoUpdate::ListingLines(c.text), c.lines) << testing::PrintToString(c.text);
}

TEST_F(UpdateCheckTest, LocalPathsExpandTheEnvironmentAndTheProgramFolder) {
    text.environment["SHARED"] = "D:\\Shared";
    struct Case {
        const char* path;
        const char* expanded;
    } cases[] = {
        {"%appdir%Data\\x.dat", "C:\\Prog\\Data\\x.dat"},
        // The folder's own separator stays, and Windows reads the doubled
        // one as one; without the macro the path would start at the root.
        {"%appdir%\\x.dat", "C:\\Prog\\\\x.dat"},
        {"%APPDIR%\\x.dat", "C:\\Prog\\\\x.dat"},
        {"%AppDir%\\x.dat", "C:\\Prog\\\\x.dat"},
        {"\\x.dat", "C:\\x.dat"},
        {"%other%x.dat", "C:\\Prog\\x.dat"},  // any other macro vanishes
        {"%SHARED%\\x.dat", "D:\\Shared\\x.dat"},
        {"x.dat", "C:\\Prog\\x.dat"},
        {"..\\Common\\x.dat", "C:\\Common\\x.dat"},
        {"E:\\x.dat", "E:\\x.dat"},
        {"50% off.txt", "C:\\Prog\\50% off.txt"},  // a lone delimiter stays
        // Nothing left names no file (not the program's folder).
        {"", ""},
        {"%other%", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(updater.ExpandLocalPath(c.path), c.expanded) << c.path;

    std::string local, remote;
    updater.SplitFileEntry("%appdir%Help\\a=b.chm=Help/a=b.zbin", local, remote);
    EXPECT_EQ(local, "C:\\Prog\\Help\\a");
    EXPECT_EQ(remote, "b.chm=Help/a=b.zbin") << "split at the first equals sign";
    updater.SplitFileEntry("Lang.dll", local, remote);
    EXPECT_EQ(local, "C:\\Prog\\Lang.dll");
    EXPECT_EQ(remote, "Lang.dll");

    files.style = PathStyle::Posix;
    app.exeName = "/opt/restlevel/restlevel";
    EXPECT_EQ(updater.ExpandLocalPath("%appdir%lib/x.so"), "/opt/restlevel/lib/x.so");
    EXPECT_EQ(updater.ExpandLocalPath("share/x.png"), "/opt/restlevel/share/x.png");
}

TEST_F(UpdateCheckTest, MacroPathsAreCheckedWhereTheyPoint) {
    updater.SetAuxFiles({"%APPDIR%Data\\x.dat=x.zbin", "%nowhere%y.dat=y.zbin", "=z.zbin", "w.dat="});
    Local(kExe, kT0);
    Local("C:\\Prog\\Data\\x.dat", kT0);
    Local("C:\\Prog\\y.dat", kT0);
    for (const char* object : {kPackage, "/restlevel/x.zbin", "/restlevel/y.zbin", "/restlevel/z.zbin"})
        Serve(object, kT0);
    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpToDate);
    const std::string same = " ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00";
    EXPECT_EQ(Log(), Lines({"Check File RestLevel.zbin" + same, "Check File x.zbin" + same,
                            "Check File y.zbin" + same, kUpToDate}))
        << "entries without a local path or a remote name are skipped";
}

TEST_F(UpdateCheckTest, CredentialsAreStoredScrambledAndSentPlain) {
    Local(kExe, kT0);
    Serve(kPackage, kT0);
    const auto sent = [this](TKzAutoUpdate& component) {
        net.connects.clear();
        component.CheckForUpdate(nullptr, nullptr);
        EXPECT_EQ(net.connects.size(), 1u);
        return net.connects.empty() ? fake::Internet::ConnectCall{} : net.connects.back();
    };

    // Never set: no credentials at all.
    fake::Internet::ConnectCall call = sent(updater);
    EXPECT_EQ(call.userName, std::nullopt);
    EXPECT_EQ(call.password, std::nullopt);

    // Set to empty at run time: "Encr:" alone, sent as an empty text.
    updater.SetHTTPUsername("");
    EXPECT_EQ(updater.HTTPUsername(), "Encr:");
    call = sent(updater);
    EXPECT_EQ(call.userName, std::optional<std::string>(""));
    EXPECT_EQ(call.password, std::nullopt);

    // A plain value is scrambled with the component's fixed settings.
    updater.SetHTTPUsername("alice");
    TKzEncryptString scrambler;
    scrambler.SetLoChar(32);
    scrambler.SetHiChar(254);
    scrambler.SetEncryptionKey(830457);
    scrambler.SetShift(9071);
    EXPECT_EQ(updater.HTTPUsername(), "Encr:" + scrambler.EncryptString("alice"));
    EXPECT_NE(updater.HTTPUsername(), "Encr:alice");

    // A scrambled value is stored as it is, and reads back unchanged.
    const std::string stored = ScrambleCredential("s3cret pass");
    updater.SetHTTPPassword(stored);
    EXPECT_EQ(updater.HTTPPassword(), stored);
    call = sent(updater);
    EXPECT_EQ(call.userName, std::optional<std::string>("alice"));
    EXPECT_EQ(call.password, std::optional<std::string>("s3cret pass"));

    // The prefix is case-sensitive: "encr:" is a plain value.
    updater.SetHTTPPassword("encr:abc");
    EXPECT_EQ(DecodeCredential(updater.HTTPPassword()), "encr:abc");
    EXPECT_NE(updater.HTTPPassword(), "encr:abc");
    EXPECT_EQ(DecodeCredential("plain"), "plain") << "a value without the prefix is its own plain text";
}

TEST_F(UpdateCheckTest, TheLogIsNamedAfterTheTitleWithoutFileNameCharacters) {
    Local(kExe, kT0);
    Serve(kPackage, kT0);
    SetApplicationTitle("Rest:Level?");
    EXPECT_EQ(TKzAutoUpdate::UpdateLogFileName(), kLog);
    SetApplicationTitle("A\"*/<>\\|b");
    EXPECT_EQ(TKzAutoUpdate::UpdateLogFileName(), "C:\\Temp\\Ab Update.log");

    SetApplicationTitle("Rest:Level?");
    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpToDate);
    EXPECT_EQ(Log(), Lines({"Check File RestLevel.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00",
                            kUpToDate}));
}

TEST_F(UpdateCheckTest, WithoutALogTheCheckStillDecides) {
    Local(kExe, kT0);
    Serve(kPackage, kT0 + 60 * kSecond);

    files.failing = {std::string("CreateFile ") + kLog};
    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpdateAvailable);
    EXPECT_EQ(files.files.count(kLog), 0u);

    // No temporary folder: no log anywhere, not a bare name in the current folder.
    files.failing = {"TempPath"};
    EXPECT_EQ(TKzAutoUpdate::UpdateLogFileName(), "");
    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpdateAvailable);
    for (const auto& [name, file] : files.files) EXPECT_EQ(name.find("Update.log"), std::string::npos) << name;
}

TEST_F(UpdateCheckTest, ReleaseNotesComeWhateverTheResult) {
    updater.InfoURLRTF = kNotesURL;
    updater.InfoURLText = "https://halvane.example/restlevel/RestLevel.txt";
    ServeText(kNotes, "{\\rtf1 Version 2}");
    ServeText("/restlevel/RestLevel.txt", "Version 2");
    Local(kExe, kT0);
    struct Case {
        const char* name;
        std::uint32_t status;
        std::optional<double> remote;
        TUpdateCheckResult result;
    } cases[] = {
        {"update available", 200, kT0 + 60 * kSecond, ucrUpdateAvailable},
        {"up to date", 200, kT0, ucrUpToDate},
        {"package older", 200, kT0 - 60 * kSecond, ucrPackageOlder},
        {"file not checked", 503, std::nullopt, ucrError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Serve(kPackage, c.remote).status = c.status;
        std::string rtf = "former", plain = "former";
        EXPECT_EQ(updater.CheckForUpdate(&rtf, &plain), c.result);
        EXPECT_EQ(rtf, "{\\rtf1 Version 2}");
        EXPECT_EQ(plain, "Version 2");
    }

    // Only the outputs asked for are fetched.
    net.requests.clear();
    std::string rtf;
    updater.CheckForUpdate(&rtf, nullptr);
    EXPECT_EQ(Objects(), (std::vector<std::string>{"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.rtf"}));

    // Without an address the output is emptied all the same.
    updater.InfoURLRTF.clear();
    updater.InfoURLText.clear();
    Serve(kPackage, kT0);
    rtf = "former";
    std::string plain = "former";
    EXPECT_EQ(updater.CheckForUpdate(&rtf, &plain), ucrUpToDate);
    EXPECT_EQ(rtf, "");
    EXPECT_EQ(plain, "");
}

TEST_F(UpdateCheckTest, NotesThatCannotBeFetchedAreEmptyAndLeaveTheResultAlone) {
    updater.InfoURLRTF = kNotesURL;
    updater.InfoURLText = "https://halvane.example/restlevel/RestLevel.txt";
    net.responses[kNotes].Body("<h1>Not Found</h1>").status = 404;  // a body that must not be kept
    Local(kExe, kT0);
    Serve(kPackage, kT0);
    std::string rtf = "former", plain = "former";
    EXPECT_EQ(updater.CheckForUpdate(&rtf, &plain), ucrUpToDate);
    EXPECT_EQ(rtf, "");
    EXPECT_EQ(plain, "");
    // The error text is empty for a refused request: two blanks before the address.
    EXPECT_EQ(Log(), Lines({"Check File RestLevel.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00",
                            "RTF Info Not Available: HTTP 404  https://halvane.example/restlevel/RestLevel.rtf",
                            "Text Info Not Available: HTTP 404  https://halvane.example/restlevel/RestLevel.txt",
                            kUpToDate}));
}

TEST_F(UpdateCheckTest, AListingThatCannotBeFetchedStopsTheCheck) {
    updater.FileListURL = "https://halvane.example/restlevel/files.txt";
    updater.SetAuxFiles({"Help.chm=Help.zbin"});
    updater.InfoURLRTF = kNotesURL;
    ServeText(kNotes, "{\\rtf1 Version 2}");
    Local(kExe, kT0);
    Serve(kPackage, kT0 + 60 * kSecond);
    std::string rtf = "former";
    EXPECT_EQ(updater.CheckForUpdate(&rtf, nullptr), ucrError);
    EXPECT_EQ(Log(), Lines({kError}));
    EXPECT_EQ(Objects(), (std::vector<std::string>{"GET /restlevel/files.txt"})) << "no file compared, no notes";
    EXPECT_EQ(rtf, "former");
    EXPECT_EQ(updater.AuxFiles(), (std::vector<std::string>{"Help.chm=Help.zbin"}));
}

TEST_F(UpdateCheckTest, AnExceptionWhileComparingEndsTheCheckWithAnError) {
    updater.SetAuxFiles({"%BROKEN%\\Help.chm=Help.zbin", "Lang.dll=Lang.zbin"});
    updater.InfoURLRTF = kNotesURL;
    ServeText(kNotes, "{\\rtf1 Version 2}");
    text.failing = "%BROKEN%";
    Local(kExe, kT0);
    Serve(kPackage, kT0);
    std::string rtf = "former";
    EXPECT_EQ(updater.CheckForUpdate(&rtf, nullptr), ucrError);
    EXPECT_EQ(Log(), Lines({"Check File RestLevel.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00",
                            "Fatal error: path table damaged", kError}));
    EXPECT_EQ(rtf, "former") << "the notes are not fetched after an exception";
    EXPECT_EQ(net.OpenHandles(), 0);
}

TEST_F(UpdateCheckTest, ShowUpdateInfoShowsTheNotesAndGivesTheAnswer) {
    windows.answer = kMrYes;
    EXPECT_TRUE(updater.ShowUpdateInfo("{\\rtf1 Version 2}"));
    ASSERT_EQ(windows.infoWindows.size(), 1u);
    EXPECT_EQ(windows.infoWindows[0]->edit.text, "{\\rtf1 Version 2}");
    EXPECT_TRUE(windows.infoWindows[0]->destroyed);

    windows.answer = kMrNo;
    EXPECT_FALSE(updater.ShowUpdateInfo(""));
    ASSERT_EQ(windows.infoWindows.size(), 2u);
    EXPECT_EQ(windows.infoWindows[1]->modalShows, 1) << "empty notes ask the same question";
}

// Sets or removes an environment variable for the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        Set(value);
    }
    ~ScopedVariable() { Set(old_ ? old_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    void Set(const char* value) {
#ifdef _WIN32
        _putenv_s(name_.c_str(), value != nullptr ? value : "");
#else
        if (value != nullptr) setenv(name_.c_str(), value, 1);
        else unsetenv(name_.c_str());
#endif
    }
    std::string name_;
    std::optional<std::string> old_;
};

TEST_F(UpdateCheckTest, TheServerAddressComesFromTheEnvironmentWhenSet) {
    {
        ScopedVariable unset(kUpdateServerVariable, nullptr);
        TKzAutoUpdate component;
        ASSERT_TRUE(ConfigureKzAutoUpdate1(component, kWindowsPackagePath));
        EXPECT_EQ(component.UpdateURL, "https://halvane.example/restlevel/RestLevel.zbin");
        EXPECT_EQ(component.InfoURLRTF, "https://halvane.example/restlevel/RestLevel.rtf");
        EXPECT_TRUE(component.ForcedTerminate);
        EXPECT_EQ(component.FileListURL, "");
        EXPECT_EQ(component.InfoURLText, "");
        EXPECT_EQ(component.HTTPUsername(), "");
        EXPECT_TRUE(component.AuxFiles().empty());
    }
    {
        ScopedVariable own(kUpdateServerVariable, "http://127.0.0.1:8080/updates/");
        TKzAutoUpdate component;
        ASSERT_TRUE(ConfigureKzAutoUpdate1(component, kLinuxPackagePath));
        EXPECT_EQ(component.UpdateURL, "http://127.0.0.1:8080/updates/linux-x86_64/restlevel.zbin");
        EXPECT_EQ(component.InfoURLRTF, "http://127.0.0.1:8080/updates/RestLevel.rtf");
    }
#ifndef _WIN32  // the C runtime of Windows cannot hold an empty variable
    {
        ScopedVariable off(kUpdateServerVariable, "");
        TKzAutoUpdate component;
        EXPECT_FALSE(ConfigureKzAutoUpdate1(component, kWindowsPackagePath));
        EXPECT_EQ(component.UpdateURL, "");
    }
#endif
}

TEST_F(UpdateCheckTest, AtStartOnlyAnAvailableUpdateShowsTheNotes) {
    updater.InfoURLRTF = kNotesURL;
    updater.InfoURLText = "https://halvane.example/restlevel/RestLevel.txt";
    ServeText(kNotes, "{\\rtf1 Version 2}");
    Local(kExe, kT0);

    Serve(kPackage, kT0);
    RunStartupUpdate(updater);
    EXPECT_TRUE(windows.infoWindows.empty());
    EXPECT_EQ(Objects(), (std::vector<std::string>{"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.rtf"}))
        << "the RTF notes only";

    Serve(kPackage, kT0 + 60 * kSecond);
    windows.answer = kMrNo;
    RunStartupUpdate(updater);
    ASSERT_EQ(windows.infoWindows.size(), 1u);
    EXPECT_EQ(windows.infoWindows[0]->edit.text, "{\\rtf1 Version 2}");
    EXPECT_TRUE(app.messageBoxes.empty()) << "the answer No ends quietly";
}

// Signed updates ---------------------------------------------------------

TEST_F(UpdateCheckTest, WithTrustedKeysAnUpdateIsOfferedOnlyWhenItsStatementHolds) {
    const double remote = kT0 + 60 * kSecond;
    const P256PublicKey key = fake::Crypto::Key(1);
    const auto statement = [&](const P256PublicKey& by, const std::string& name, double time, bool package) {
        return fake::Crypto::Statement(by, name, UnixTime(time), "package",
                                       package ? std::optional<std::string>("program") : std::nullopt);
    };
    const std::string check = "Check File RestLevel.zbin ... 2024-03-01 12:01:00 Needs update from local copy "
                              "2024-03-01 12:00:00";
    struct Case {
        const char* name;
        std::optional<std::string> sig;  // nullopt: not on the server
        std::string query;
        TUpdateCheckResult result;
        std::string reason;  // empty: verified
        std::optional<std::uint32_t> sendError = std::nullopt;  // of the statement's request
    } cases[] = {
        {"signed", statement(key, "RestLevel.zbin", remote, true), "", ucrUpdateAvailable, ""},
        {"signed, with the name below the top folder", statement(key, "restlevel/RestLevel.zbin", remote, true), "",
         ucrUpdateAvailable, ""},
        {"signed, the query after the suffix", statement(key, "RestLevel.zbin", remote, true), "?channel=beta",
         ucrUpdateAvailable, ""},
        {"no signature", std::nullopt, "", ucrError, "no signature (HTTP 404)"},
        {"another key", statement(fake::Crypto::Key(2), "RestLevel.zbin", remote, true), "", ucrError,
         "signature not valid"},
        {"a statement for another file", statement(key, "Help.zbin", remote, true), "", ucrError,
         "signed for another file"},
        {"an old statement under a new Last-Modified", statement(key, "RestLevel.zbin", kT0 - 60 * kSecond, true), "",
         ucrError, "signed time differs from the server's"},
        {"not signed as a package", statement(key, "RestLevel.zbin", remote, false), "", ucrError,
         "signed without the unpacked file's hash"},
        {"garbage", std::string("<html>Moved</html>"), "", ucrError, "malformed signature: the last line has no LF"},
        {"oversized", std::string(5000, '\n'), "", ucrError,
         "signature could not be fetched: 200 Response body exceeds 4096 bytes"},
        {"the connection breaks", statement(key, "RestLevel.zbin", remote, true), "", ucrError,
         "signature could not be fetched: 0 Send Request Failed: The connection with the server was reset "
         "(0x00002EFF)",
         kErrorInternetConnectionReset},
    };
    text.moduleMessages[kErrorInternetConnectionReset] = "The connection with the server was reset.\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net.responses.clear();
        net.requests.clear();
        Local(kExe, kT0);
        updater.TrustedKeys = {fake::Crypto::Key(3), key};
        updater.UpdateURL = kUpdateURL + c.query;
        Serve(kPackage + c.query, remote);
        const std::string sigObject = std::string(kPackage) + ".sig" + c.query;
        if (c.sig) ServeText(sigObject, *c.sig).sendError = c.sendError;

        EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), c.result);
        EXPECT_EQ(Objects(), (std::vector<std::string>{"HEAD " + std::string(kPackage) + c.query, "GET " + sigObject}));
        if (c.reason.empty())
            EXPECT_EQ(Log(), Lines({check, kAvailable}));
        else
            EXPECT_EQ(Log(), Lines({check, "Could not verify RestLevel.zbin: " + c.reason, kError}));
        ASSERT_FALSE(net.requests.empty());
        EXPECT_NE(net.requests.back().flags & kInternetFlagReload, 0u) << "a statement is always fetched anew";
    }
}

TEST_F(UpdateCheckTest, WithTrustedKeysOnlyAnAvailableUpdateAsksForItsStatement) {
    updater.TrustedKeys = {fake::Crypto::Key(1)};
    updater.SetAuxFiles({"Help.chm=Help.zbin", "Lang.dll=Lang.zbin"});
    Local(kExe, kT0);
    Local("C:\\Prog\\Help.chm", kT0 + 60 * kSecond);
    Local("C:\\Prog\\Lang.dll", kT0);
    Serve(kPackage, kT0);                            // up to date
    Serve("/restlevel/Help.zbin", kT0);              // older on the server
    Serve("/restlevel/Lang.zbin", kT0 + 60 * kSecond);  // newer, and signed
    ServeText("/restlevel/Lang.zbin.sig", fake::Crypto::Statement(fake::Crypto::Key(1), "Lang.zbin",
                                                                  UnixTime(kT0 + 60 * kSecond), "p", std::string("u")));
    EXPECT_EQ(updater.CheckForUpdate(nullptr, nullptr), ucrUpdateAvailable);
    EXPECT_EQ(Objects(), (std::vector<std::string>{"HEAD /restlevel/RestLevel.zbin", "HEAD /restlevel/Help.zbin",
                                                   "HEAD /restlevel/Lang.zbin", "GET /restlevel/Lang.zbin.sig"}));
}

TEST_F(UpdateCheckTest, WithTrustedKeysTheListingIsUsedOnlyWhenItsStatementHolds) {
    const std::string listingURL = "https://halvane.example/restlevel/files.txt?v=2";
    const std::string listing = "Help.chm=Help.zbin\r\n";
    const P256PublicKey key = fake::Crypto::Key(1);
    struct Case {
        const char* name;
        std::optional<std::string> sig;
        std::string served;  // the listing as served
        std::string reason;
    } cases[] = {
        {"signed", fake::Crypto::Statement(key, "restlevel/files.txt", UnixTime(kT0), listing, std::nullopt), listing,
         ""},
        {"changed after signing",
         fake::Crypto::Statement(key, "restlevel/files.txt", UnixTime(kT0), listing, std::nullopt),
         listing + "Evil.dll=Help.zbin\r\n", "content differs from the signed"},
        {"no signature", std::nullopt, listing, "no signature (HTTP 404)"},
        {"signed as a package",
         fake::Crypto::Statement(key, "restlevel/files.txt", UnixTime(kT0), listing, std::string("x")), listing,
         "signed as a package"},
        {"signed for the package",
         fake::Crypto::Statement(key, "RestLevel.zbin", UnixTime(kT0), listing, std::nullopt), listing,
         "signed for another file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net.responses.clear();
        net.requests.clear();
        updater.TrustedKeys = {key};
        updater.FileListURL = listingURL;
        updater.SetAuxFiles({});
        Local(kExe, kT0);
        Local("C:\\Prog\\Help.chm", kT0);
        ServeText("/restlevel/files.txt?v=2", c.served).lastModified = updatetest::Calendar(kT0);
        if (c.sig) ServeText("/restlevel/files.txt.sig?v=2", *c.sig);
        Serve(kPackage, kT0);
        Serve("/restlevel/Help.zbin", kT0);

        const TUpdateCheckResult result = updater.CheckForUpdate(nullptr, nullptr);
        if (c.reason.empty()) {
            EXPECT_EQ(result, ucrUpToDate);
            EXPECT_EQ(Objects(), (std::vector<std::string>{"GET /restlevel/files.txt?v=2",
                                                           "GET /restlevel/files.txt.sig?v=2",
                                                           "HEAD /restlevel/RestLevel.zbin",
                                                           "HEAD /restlevel/Help.zbin"}));
            EXPECT_EQ(updater.AuxFiles(), std::vector<std::string>{"Help.chm=Help.zbin"});
        } else {
            EXPECT_EQ(result, ucrError);
            EXPECT_EQ(Objects(), (std::vector<std::string>{"GET /restlevel/files.txt?v=2",
                                                           "GET /restlevel/files.txt.sig?v=2"}));
            EXPECT_EQ(Log(), Lines({"Could not verify " + listingURL + ": " + c.reason, kError}));
            EXPECT_TRUE(updater.AuxFiles().empty()) << "an unverified listing is not used";
        }
    }
}

TEST_F(UpdateCheckTest, WithTrustedKeysNotesWhoseStatementFailsAreDropped) {
    const std::string notes = "{\\rtf1 Version 2}";
    const P256PublicKey key = fake::Crypto::Key(1);
    updater.InfoURLRTF = kNotesURL;
    Local(kExe, kT0);
    Serve(kPackage, kT0);
    struct Case {
        const char* name;
        std::optional<std::string> sig;
        std::string kept;
        std::string line;  // empty: none
    } cases[] = {
        {"signed", fake::Crypto::Statement(key, "RestLevel.rtf", UnixTime(kT0), notes, std::nullopt), notes, ""},
        {"no signature", std::nullopt, "",
         "Could not verify https://halvane.example/restlevel/RestLevel.rtf: no signature (HTTP 404)"},
        {"signed for other notes",
         fake::Crypto::Statement(key, "RestLevel.rtf", UnixTime(kT0), "{\\rtf1 Version 1}", std::nullopt), "",
         "Could not verify https://halvane.example/restlevel/RestLevel.rtf: content differs from the signed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net.requests.clear();
        net.responses.erase(std::string(kNotes) + ".sig");
        updater.TrustedKeys = {key};
        ServeText(kNotes, notes).lastModified = updatetest::Calendar(kT0);
        if (c.sig) ServeText(std::string(kNotes) + ".sig", *c.sig);
        std::string rtf = "former";
        EXPECT_EQ(updater.CheckForUpdate(&rtf, nullptr), ucrUpToDate) << "the notes do not change the result";
        EXPECT_EQ(rtf, c.kept);
        EXPECT_EQ(Objects(), (std::vector<std::string>{"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.rtf",
                                                       "GET /restlevel/RestLevel.rtf.sig"}));
        std::vector<std::string> lines = {
            "Check File RestLevel.zbin ... 2024-03-01 12:00:00 Up-to-date Local @ 2024-03-01 12:00:00"};
        if (!c.line.empty()) lines.push_back(c.line);
        lines.push_back(kUpToDate);
        EXPECT_EQ(Log(), Lines(lines));
    }
    // Notes that did not come ask for no statement.
    net.requests.clear();
    net.responses[kNotes].status = 404;
    std::string rtf;
    updater.CheckForUpdate(&rtf, nullptr);
    EXPECT_EQ(Objects(), (std::vector<std::string>{"HEAD /restlevel/RestLevel.zbin", "GET /restlevel/RestLevel.rtf"}));
}

}  // namespace
}  // namespace rl

// The start-up check within its time limit, against fakes: a server that
// trickles the release notes or answers slowly, with the fake clock driven by
// the reads. And the keys the component is given: none, no check.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/Application.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "tests/fakes/FakeApplication.h"
#include "tests/fakes/FakeFileSystem.h"
#include "tests/fakes/FakeInternet.h"
#include "tests/fakes/FakeTextSystem.h"
#include "tests/fakes/FakeUpdateUi.h"
#include "tests/unit/UpdateTestValues.h"
#include "update/KzAutoUpdate.h"
#include "update/KzAutoUpdateInfo.h"
#include "update/KzHTTP.h"
#include "update/StartupUpdate.h"
#include "update/UpdateKeys.h"

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

constexpr char kNotes[] = "/restlevel/RestLevel.rtf";
constexpr std::int64_t kCountsPerMs = 1000;  // the fake counter runs at 1 MHz

class StartupUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileSystemPort(&files);
        SetTextSystemPort(&text);
        SetInternetPort(&net);
        SetApplicationPort(&app);
        SetUpdateWindowPort(&windows);
        app.exeName = kExe;
        files.folders = {"C:\\Prog", "C:\\Temp"};
        net.textSystem = &text;
        net.response.status = 404;
        updater.UpdateURL = kUpdateURL;
        updater.InfoURLRTF = "https://halvane.example/restlevel/RestLevel.rtf";
        FileTime local = 0;
        ASSERT_TRUE(DateTimeToFileTime(kT0, local));
        files.files[kExe].written = local;
        // A newer package: the notes decide what the user sees.
        fake::Response& package = net.responses[kPackage];
        package.status = 200;
        package.lastModified = Calendar(kT0 + 3600 * kSecond);
        windows.answer = kMrNo;
    }
    void TearDown() override {
        SetUpdateWindowPort(nullptr);
        SetApplicationPort(nullptr);
        SetInternetPort(nullptr);
        SetTextSystemPort(nullptr);
        SetFileSystemPort(nullptr);
    }

    // Notes of `bytes` bytes, one byte a read, each read `msPerRead` after
    // the one before.
    void TrickleNotes(std::size_t bytes, std::int64_t msPerRead) {
        fake::Response& notes = net.responses[kNotes];
        notes.status = 200;
        notes.Body("{\\rtf1 " + std::string(bytes - 8, 'n') + "}", 1);
        net.onRead = [this, msPerRead](std::size_t) { text.counter += msPerRead * kCountsPerMs; };
    }

    fake::FileSystem files;
    fake::TextSystem text;
    fake::Internet net;
    fake::Application app;
    fake::UpdateWindowFactory windows;
    TKzAutoUpdate updater;
};

TEST_F(StartupUpdateTest, NotesThatArriveInTimeAreShown) {
    TrickleNotes(60, 400);  // 24 s
    RunStartupUpdate(updater);
    ASSERT_EQ(windows.infoWindows.size(), 1u);
    EXPECT_EQ(windows.infoWindows[0]->edit.text.size(), 60u);
}

TEST_F(StartupUpdateTest, NotesThatTricklePastTheLimitFailTheCheck) {
    TrickleNotes(200, 400);  // 80 s
    RunStartupUpdate(updater);
    EXPECT_TRUE(windows.infoWindows.empty()) << "a check out of time shows nothing";
    EXPECT_TRUE(app.messageBoxes.empty());
    const std::int64_t elapsedMs = text.counter / kCountsPerMs;
    EXPECT_GE(elapsedMs, kStartupCheckTimeLimitMs);
    EXPECT_LE(elapsedMs, kStartupCheckTimeLimitMs + 400) << "no read after the end";
    const std::string log = files.files[kLog].data;
    EXPECT_NE(log.find("RTF Info Not Available: HTTP 200 Time limit exceeded "), std::string::npos) << log;
}

TEST_F(StartupUpdateTest, TheDownloadAfterTheCheckHasNoTimeLimit) {
    // The notes come in time; the answer Yes starts the download, whose
    // requests are under no limit even though the check's time has run out.
    TrickleNotes(60, 400);
    windows.answer = kMrYes;
    windows.onShowModal = [this](fake::UpdateInfoWindow&) {
        text.counter += 10LL * kStartupCheckTimeLimitMs * kCountsPerMs;
        net.log.clear();
        return kMrYes;
    };
    RunStartupUpdate(updater);
    ASSERT_EQ(windows.infoWindows.size(), 1u);
    for (const std::string& line : net.log) EXPECT_EQ(line.find("InternetSetOptionA 6 "), std::string::npos) << line;
    EXPECT_EQ(files.files[kLog].data.find(kTimeLimitExceeded), std::string::npos) << files.files[kLog].data;
}

// The update server's address for the scope (the tests' environment turns
// the check off).
class ScopedServer {
public:
    explicit ScopedServer(const char* address) {
        if (const char* old = std::getenv(kUpdateServerVariable)) old_ = old;
        Set(address);
    }
    ~ScopedServer() { Set(old_ ? old_->c_str() : nullptr); }
    ScopedServer(const ScopedServer&) = delete;
    ScopedServer& operator=(const ScopedServer&) = delete;

private:
    static void Set(const char* value) {
#ifdef _WIN32
        _putenv_s(kUpdateServerVariable, value != nullptr ? value : "");
#else
        if (value != nullptr) setenv(kUpdateServerVariable, value, 1);
        else unsetenv(kUpdateServerVariable);
#endif
    }
    std::optional<std::string> old_;
};

P256PublicKey KeyOf(std::uint8_t fill) {
    P256PublicKey key;
    key.fill(fill);
    return key;
}

TEST_F(StartupUpdateTest, TheComponentTrustsTheKeysItIsGiven) {
    const ScopedServer server("https://halvane.example/restlevel");
    const std::vector<P256PublicKey> keys{KeyOf(1), KeyOf(2)};
    TKzAutoUpdate component;
    ASSERT_TRUE(ConfigureKzAutoUpdate1(component, kWindowsPackagePath, keys));
    EXPECT_EQ(component.TrustedKeys, keys);
    EXPECT_EQ(component.UpdateURL, kUpdateURL);

    // By default the program's own: a test build has its test key.
    TKzAutoUpdate builtIn;
    ASSERT_FALSE(BuiltInUpdateKeys().empty());
    ASSERT_TRUE(ConfigureKzAutoUpdate1(builtIn, kWindowsPackagePath));
    EXPECT_EQ(builtIn.TrustedKeys, BuiltInUpdateKeys());
    EXPECT_EQ(files.files.count(kLog), 0u) << "nothing to say";
}

// A program without a key would take whatever the server holds: it does not
// check at all, and says so where a user looks when updates never come.
TEST_F(StartupUpdateTest, WithoutAKeyNothingIsCheckedAndTheLogSaysWhy) {
    const ScopedServer server("https://halvane.example/restlevel");
    files.files[kLog].data = "an earlier check's log\r\n";
    TKzAutoUpdate component;
    EXPECT_FALSE(ConfigureKzAutoUpdate1(component, kWindowsPackagePath, {}));
    EXPECT_EQ(component.UpdateURL, "");
    EXPECT_EQ(component.InfoURLRTF, "");
    EXPECT_TRUE(component.TrustedKeys.empty());
    EXPECT_EQ(files.files[kLog].data, Lines({kNoUpdateKey}));
    EXPECT_TRUE(net.log.empty()) << net.log.front();
}

}  // namespace
}  // namespace rl

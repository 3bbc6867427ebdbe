// The real restlevel program under the test services' Xvfb display and null
// sink: each test gives it a fresh settings store and runtime folder, looks
// at its window through Xlib and at the sink through pactl.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/RestLevel01.h"
#include "platform/Registry.h"
#include "platform/linux/SqliteRegistry.h"
#include "support/VorlLibRegistry.h"
#include "tests/linux/LinuxTestSupport.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::EnvChanges;

// Generous: the machine is shared, and a fade down takes two seconds.
constexpr auto kStartDeadline = 20s;
constexpr auto kExitDeadline = 15s;
// The program's windows, the settings window and its boxes, carry its name.
constexpr char kTitle[] = "RestLevel";
// Raw PulseAudio units (65536 = 100 %). A level written back comes within a
// few units of where it was read.
constexpr unsigned kStartVolume = 32768;  // 50 %
constexpr unsigned kOtherVolume = 52429;  // 80 %
constexpr unsigned kVolumeSlack = 8;

// One run of a program, with its standard error in a file and its exit
// status at hand (the shared Child helper only terminates).
class Program {
public:
    Program(const std::vector<std::string>& argv, const EnvChanges& changes, const std::string& errorFile)
        : errorFile_(errorFile) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const linuxtest::SpawnArrays arrays(argv, changes);
        if (posix_spawnp(&pid_, arrays.Argv()[0], &actions, nullptr, arrays.Argv(), arrays.Envp()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    // Ends a program the test left running the way a session would.
    ~Program() {
        if (pid_ <= 0 || exited_) return;
        kill(pid_, SIGTERM);
        if (!WaitExit(kExitDeadline)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0; }
    void Signal(int signal) { kill(pid_, signal); }

    // The exit code (or 128 + the signal that ended it); nullopt while it
    // is still running at the deadline.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout) {
        if (exited_) return code_;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return code_;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(20ms);
        }
    }

    std::string ErrorOutput() const { return linuxtest::ReadFile(errorFile_); }

private:
    std::string errorFile_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

struct StoredValue {
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;
};

std::vector<std::uint8_t> Dword(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// A user's own settings store and runtime folder, as a login gives them.
class UserFolders {
public:
    UserFolders() { chmod(runtime_.Path().c_str(), 0700); }
    std::string StorePath() const { return config_.Path() + "/restlevel/registry.db"; }
    EnvChanges Env() const {
        return {{"XDG_CONFIG_HOME", config_.Path()}, {"XDG_RUNTIME_DIR", runtime_.Path()}};
    }
    std::string ErrorFile() { return config_.Path() + "/stderr-" + std::to_string(++starts_) + ".txt"; }

    void Preset(const std::string& name, std::uint32_t value) {
        auto registry = CreateSqliteRegistry(SqliteRegistryOptions{StorePath(), false});
        RegKey key = 0;
        ASSERT_EQ(registry->CreateKey(kHKeyCurrentUser, kSettingsKey, kKeyAllAccess, key, nullptr), kErrorSuccess);
        const auto data = Dword(value);
        EXPECT_EQ(registry->SetValue(key, name, kRegDword, data.data(), static_cast<std::uint32_t>(data.size())),
                  kErrorSuccess);
        registry->CloseKey(key);
    }

    // Every value under the settings key; empty when there is no key.
    std::map<std::string, StoredValue> Stored() const {
        std::map<std::string, StoredValue> values;
        auto registry = CreateSqliteRegistry(SqliteRegistryOptions{StorePath(), true});
        RegKey key = 0;
        if (registry->OpenKey(kHKeyCurrentUser, kSettingsKey, kKeyRead, key) != kErrorSuccess) return values;
        std::string name;
        for (std::uint32_t i = 0; registry->EnumValue(key, i, name) == kErrorSuccess; ++i) {
            StoredValue value;
            std::uint32_t size = 0;
            registry->QueryValue(key, name, &value.type, nullptr, &size);
            value.data.resize(size);
            registry->QueryValue(key, name, nullptr, value.data.data(), &size);
            values[name] = value;
        }
        registry->CloseKey(key);
        return values;
    }

    // FormCreate writes "IdleTime" after it has read the device's level;
    // a store preset without it tells when the program is up.
    bool CreatedTheWindow() const { return Stored().count(kValueIdleTime) == 1; }

private:
    linuxtest::TempDir config_;
    linuxtest::TempDir runtime_;
    int starts_ = 0;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        display_ = linuxtest::ServiceEnv("DISPLAY");
        sink_ = linuxtest::ServiceEnv("RL_TEST_SINK");
        ASSERT_FALSE(display_.empty());
        ASSERT_FALSE(sink_.empty());
        ASSERT_TRUE(x_.Open());
    }

    std::unique_ptr<Program> Start(UserFolders& user, EnvChanges extra = {}) {
        EnvChanges env = user.Env();
        for (auto& [name, value] : extra) env[name] = value;
        auto program = std::make_unique<Program>(std::vector<std::string>{RL_RESTLEVEL}, env, user.ErrorFile());
        EXPECT_TRUE(program->Started());
        return program;
    }

    Window WaitForVisibleWindow(const Program& program) { return x_.WaitFor(program.Pid(), kTitle, kStartDeadline); }

    unsigned SinkVolume() {
        const std::vector<unsigned> volumes = linuxtest::SinkVolumes(sink_);
        return volumes.empty() ? 0 : volumes.front();
    }
    void SetSinkVolume(unsigned volume) { ASSERT_TRUE(linuxtest::SetSinkVolumes(sink_, std::to_string(volume))); }
    bool SinkNear(unsigned volume, unsigned slack = kVolumeSlack) {
        const unsigned v = SinkVolume();
        return v + slack >= volume && v <= volume + slack;
    }

    std::string display_;
    std::string sink_;
    // One connection for the whole run: an X server resets itself when its
    // last client leaves, and refuses new ones for that moment.
    static linuxtest::Screen& X(const std::string& display) {
        static linuxtest::Screen screen(display);
        return screen;
    }
    linuxtest::Screen& x_ = X(linuxtest::ServiceEnv("DISPLAY"));
};

TEST_F(ProgramTest, FirstRunShowsTheWindowAndStoresOnlyTheDefaults) {
    UserFolders user;
    auto program = Start(user);
    const Window w = WaitForVisibleWindow(*program);
    ASSERT_NE(w, 0u) << program->ErrorOutput();
    EXPECT_EQ(x_.Size(w), std::make_pair(359, 214 + 24));  // and the automatic exceptions' box

    const std::map<std::string, StoredValue> stored = user.Stored();
    const std::map<std::string, std::uint32_t> expected = {{"Configured", 1}, {"RestLevel", 19660}, {"IdleTime", 100}};
    EXPECT_EQ(stored.size(), expected.size());
    for (const auto& [name, value] : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(stored.count(name), 1u);
        EXPECT_EQ(stored.at(name).type, kRegDword);
        EXPECT_EQ(stored.at(name).data, Dword(value));
    }
}

TEST_F(ProgramTest, ClosingHidesTheWindowAndASecondStartBringsItBack) {
    UserFolders user;
    auto program = Start(user);
    const Window w = WaitForVisibleWindow(*program);
    ASSERT_NE(w, 0u) << program->ErrorOutput();

    x_.SendClose(w);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return !x_.Viewable(w); }, kStartDeadline)) << "the window stays up";
    EXPECT_FALSE(program->WaitExit(1s)) << "closing the window ended the program";

    auto second = Start(user);
    EXPECT_EQ(second->WaitExit(kExitDeadline), 0) << second->ErrorOutput();
    EXPECT_TRUE(linuxtest::WaitFor([&] { return x_.Viewable(w); }, kStartDeadline)) << "the window did not come back";
    EXPECT_FALSE(program->WaitExit(0ms)) << "the first program ended";
}

TEST_F(ProgramTest, AProgramKilledOutrightLeavesNothingThatStopsTheNextStart) {
    UserFolders user;
    {
        auto killed = Start(user);
        ASSERT_NE(WaitForVisibleWindow(*killed), 0u) << killed->ErrorOutput();
        killed->Signal(SIGKILL);
        ASSERT_TRUE(killed->WaitExit(kExitDeadline));
    }
    // Configured now: the next program starts with its tray icon only.
    auto next = Start(user);
    EXPECT_FALSE(next->WaitExit(2s)) << "it ended: " << next->ErrorOutput();
    auto asking = Start(user);
    EXPECT_EQ(asking->WaitExit(kExitDeadline), 0);
    EXPECT_NE(WaitForVisibleWindow(*next), 0u) << "the running program was not asked to show its window";
}

TEST_F(ProgramTest, EndingSignalsEndItInOrderAndPutTheSavedLevelBack) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        UserFolders user;
        user.Preset("Configured", 1);
        SetSinkVolume(kStartVolume);
        auto program = Start(user);
        ASSERT_TRUE(linuxtest::WaitFor([&] { return user.CreatedTheWindow(); }, kStartDeadline))
            << program->ErrorOutput();
        // The user changes the volume while not idle; ending undoes it.
        SetSinkVolume(kOtherVolume);
        program->Signal(signal);
        EXPECT_EQ(program->WaitExit(kExitDeadline), 0) << program->ErrorOutput();
        EXPECT_TRUE(SinkNear(kStartVolume)) << SinkVolume();
    }
}

TEST_F(ProgramTest, ClosingTheWindowWithShiftHeldEndsTheProgram) {
    UserFolders user;
    SetSinkVolume(kStartVolume);
    auto program = Start(user);
    const Window w = WaitForVisibleWindow(*program);
    ASSERT_NE(w, 0u) << program->ErrorOutput();
    SetSinkVolume(kOtherVolume);

    ASSERT_EQ(linuxtest::Run("xdotool keydown Shift_L").status, 0);
    x_.SendClose(w);
    const std::optional<int> code = program->WaitExit(kExitDeadline);
    linuxtest::Run("xdotool keyup Shift_L");
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(SinkNear(kStartVolume)) << SinkVolume();
}

TEST_F(ProgramTest, InputAfterTheRestLevelFadesTheVolumeBack) {
    UserFolders user;
    user.Preset("Configured", 1);
    user.Preset("IdleTime", 1);       // 6 s
    user.Preset("RestLevel", 6553);   // 10.0 %
    SetSinkVolume(kOtherVolume);
    ASSERT_EQ(linuxtest::Run("xdotool mousemove 200 200").status, 0);
    auto program = Start(user);

    // 6553 / 65535 of full scale, in the sink's units.
    constexpr unsigned kRestVolume = 6553;
    EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kRestVolume, 16); }, 40s))
        << "the rest level was not applied: " << SinkVolume() << " " << program->ErrorOutput();
    ASSERT_EQ(linuxtest::Run("xdotool mousemove 300 300").status, 0);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kOtherVolume); }, kStartDeadline))
        << "the volume did not come back: " << SinkVolume();
    program->Signal(SIGTERM);
    EXPECT_EQ(program->WaitExit(kExitDeadline), 0);
}

// Somebody watching or talking keeps the volume where it is, without a list:
// a window that fills the screen, a running record stream from a microphone
// (here a null source of the test's own on the test sound server). With the
// box unchecked the same window does not hold it.
TEST_F(ProgramTest, AFullScreenWindowOrARecordingKeepsTheVolumeUnlessSwitchedOff) {
    struct Case {
        const char* what;
        bool fullScreen;
        bool recording;
        std::optional<std::uint32_t> autoExceptions;
        bool fades;
    };
    const Case cases[] = {
        {"a full-screen window", true, false, std::nullopt, false},
        {"a full-screen window, the box unchecked", true, false, 0u, true},
        {"sound recorded", false, true, std::nullopt, false},
        {"neither", false, false, 1u, true},
    };
    constexpr unsigned kRestVolume = 6553;
    // The idle time of 6 s and a fade of 2 s, with room for a slow start.
    constexpr auto kIdle = 6s;
    constexpr auto kLongAfter = kIdle + 5s;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UserFolders user;
        user.Preset("Configured", 1);
        user.Preset("IdleTime", 1);
        user.Preset("RestLevel", 6553);
        if (c.autoExceptions) user.Preset("AutoExceptions", *c.autoExceptions);
        SetSinkVolume(kOtherVolume);

        linuxtest::TestWindows film;
        if (c.fullScreen) {
            film = linuxtest::StartTestWindows({"title=Film,x=0,y=0,w=" + std::to_string(x_.RootSize().first) +
                                                ",h=" + std::to_string(x_.RootSize().second)});
            ASSERT_EQ(film.ids.size(), 1u);
        }
        std::optional<linuxtest::NullSource> microphone;
        std::unique_ptr<linuxtest::Child> recorder;
        if (c.recording) {
            microphone.emplace("rl_program_test_mic");
            ASSERT_TRUE(microphone->Loaded());
            recorder = std::make_unique<linuxtest::Child>(
                std::vector<std::string>{"parecord", "-d", "rl_program_test_mic", "/dev/null"},
                std::map<std::string, std::string>{}, true);
            ASSERT_TRUE(linuxtest::WaitFor([] { return linuxtest::Run("pactl list short source-outputs").output != ""; },
                                           10s));
        }

        ASSERT_EQ(linuxtest::Run("xdotool mousemove 200 200").status, 0);
        const auto input = std::chrono::steady_clock::now();
        auto program = Start(user);
        if (c.fades) {
            EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kRestVolume, 16); }, 40s))
                << "the rest level was not applied: " << SinkVolume() << " " << program->ErrorOutput();
        } else {
            // Nothing to wait for but the idle period: the volume must stay
            // through it and the fade that would follow.
            ASSERT_TRUE(linuxtest::WaitFor([&] { return user.CreatedTheWindow(); }, kStartDeadline));
            bool stayed = true;
            linuxtest::WaitFor([&] {
                stayed = stayed && SinkNear(kOtherVolume);
                return !stayed || std::chrono::steady_clock::now() - input > kLongAfter;
            }, 60s);
            EXPECT_TRUE(stayed) << "the volume moved: " << SinkVolume() << " " << program->ErrorOutput();
        }
        program->Signal(SIGTERM);
        EXPECT_EQ(program->WaitExit(kExitDeadline), 0);
    }
}

TEST_F(ProgramTest, WithoutAnXDisplayItSaysSoAndEndsWithAnError) {
    struct Case {
        const char* what;
        std::optional<std::string> display;
    };
    const Case cases[] = {{"DISPLAY not set", std::nullopt}, {"no server on DISPLAY", ":4711"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UserFolders user;
        auto program = Start(user, {{"DISPLAY", c.display}});
        const std::optional<int> code = program->WaitExit(kExitDeadline);
        ASSERT_TRUE(code);
        EXPECT_NE(*code, 0);
        EXPECT_NE(program->ErrorOutput().find("no X display"), std::string::npos) << program->ErrorOutput();
        EXPECT_TRUE(user.Stored().empty()) << "nothing is stored without a display";
    }
}

TEST_F(ProgramTest, WithoutASoundDeviceItSaysSoInABoxAndEndsWithZero) {
    struct Case {
        const char* what;
        std::function<void(Program&, Window)> answer;
    };
    const Case cases[] = {
        {"the user answers the box",
         [](Program&, Window box) {
             const std::string keys = "xdotool windowfocus --sync " + std::to_string(box) + " key --clearmodifiers Return";
             ASSERT_EQ(linuxtest::Run(keys).status, 0);
         }},
        {"the session ends while the box is up", [](Program& program, Window) { program.Signal(SIGTERM); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UserFolders user;
        linuxtest::TempDir nowhere;
        auto program = Start(user, {{"PULSE_SERVER", "unix:" + nowhere.Path() + "/no-such-socket"}});
        // The box is the program's only window, titled as the program.
        Window box = 0;
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] { return (box = x_.Find(program->Pid(), kTitle)) != 0 || program->WaitExit(0ms); },
            kStartDeadline));
        ASSERT_NE(box, 0u) << "no box; exit " << program->WaitExit(0ms).value_or(-1) << ": " << program->ErrorOutput();
        EXPECT_NE(x_.Size(box), std::make_pair(359, 214 + 24)) << "the settings window, not a box";
        // Qt copies a box's text to the clipboard on Windows only; the program
        // writes the same text to its standard error.
        EXPECT_NE(program->ErrorOutput().find(
                      "restlevel: RestLevel could not connect to a sound device.  It will now exit.\n"),
                  std::string::npos)
            << program->ErrorOutput();

        c.answer(*program, box);
        EXPECT_EQ(program->WaitExit(kExitDeadline), 0) << "not ended, or a crash (128 + signal)";
        EXPECT_TRUE(user.Stored().empty()) << "it read or stored settings";
    }
}

TEST_F(ProgramTest, ALostXServerStillPutsTheSavedLevelBack) {
    // A display of this test's own, to take away under the program.
    linuxtest::Child xvfb({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24"}, {}, true);
    const std::optional<std::string> number = xvfb.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kStartDeadline));
    ASSERT_TRUE(number) << "Xvfb did not start";

    UserFolders user;
    user.Preset("Configured", 1);
    SetSinkVolume(kStartVolume);
    auto program = Start(user, {{"DISPLAY", ":" + *number}});
    ASSERT_TRUE(linuxtest::WaitFor([&] { return user.CreatedTheWindow(); }, kStartDeadline))
        << program->ErrorOutput();
    SetSinkVolume(kOtherVolume);

    xvfb.Stop();
    const std::optional<int> code = program->WaitExit(kExitDeadline);
    ASSERT_TRUE(code) << "the program outlived its display";
    EXPECT_TRUE(SinkNear(kStartVolume)) << SinkVolume() << " " << program->ErrorOutput();
}

}  // namespace
}  // namespace rl

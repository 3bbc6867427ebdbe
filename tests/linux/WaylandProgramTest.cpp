// The real restlevel in Wayland sessions (headless sway, KWin and mutter),
// each run by the unprivileged session user as are the program and its input
// tools; the volume on the test sound server, reached through a socket of its
// own in the user's home. The regression these guard: with an XWayland
// display at hand, input that goes only to a native Wayland window counts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/WlrForeignToplevel.h"
#include "tests/linux/LinuxTestSupport.h"
#include "tests/linux/WaylandSession.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

// Raw PulseAudio units; the rest level of 10.0 % comes within a few of 6553.
constexpr unsigned kStartVolume = 52429;  // 80 %
constexpr unsigned kRestVolume = 6553;
constexpr unsigned kVolumeSlack = 16;
// "IdleTime" 1: 6 s; a second more for the compositor's notification, two
// for the fade, and room for a slow start on a shared machine.
constexpr auto kFadeDeadline = 30s;
constexpr auto kLongAfterIdle = 12s;

std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The test sound server listens on one more socket, in a folder the session
// user can reach, for as long as the object lives.
class SoundServerAccess {
public:
    explicit SoundServerAccess(const std::string& socket) : socket_(socket) {
        const linuxtest::CommandResult r = linuxtest::Run(
            "pactl load-module module-native-protocol-unix socket=" + Quoted(socket) + " auth-anonymous=1");
        if (r.status == 0) module_ = r.output.substr(0, r.output.find('\n'));
    }
    ~SoundServerAccess() {
        if (!module_.empty()) linuxtest::Run("pactl unload-module " + module_);
    }
    bool Ready() const { return !module_.empty(); }
    std::string Server() const { return "unix:" + socket_; }

private:
    std::string socket_;
    std::string module_;
};

class WaylandProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        sink_ = linuxtest::ServiceEnv("RL_TEST_SINK");
        ASSERT_FALSE(sink_.empty());
        ASSERT_TRUE(user_.Ready());
        config_ = user_.Home() + "/config";
        sound_ = std::make_unique<SoundServerAccess>(user_.Home() + "/pulse.sock");
        ASSERT_TRUE(sound_->Ready());
        program_ = user_.Copy(RL_RESTLEVEL);
        ASSERT_FALSE(program_.empty());
        Preset("Configured", "REG_DWORD", "1");
        Preset("IdleTime", "REG_DWORD", "1");
        Preset("RestLevel", "REG_DWORD", "6553");
    }

    // A value in the user's settings store, which stays the user's.
    void Preset(const std::string& name, const std::string& type, const std::string& data) {
        const std::string command = "XDG_CONFIG_HOME=" + Quoted(config_) + " " + Quoted(RL_REG_TOOL) +
                                    " add 'HKCU\\SOFTWARE\\Halvane\\RestLevel' /v " + name + " /t " + type +
                                    " /d " + Quoted(data) + " /f >/dev/null";
        ASSERT_EQ(linuxtest::Run(command).status, 0) << command;
        ASSERT_EQ(linuxtest::Run("chown -R " + std::to_string(user_.Uid()) + ":" + std::to_string(user_.Gid()) +
                                 " " + Quoted(config_))
                      .status,
                  0);
    }

    // The session's variables and the program's store and sound server.
    std::map<std::string, std::string> ProgramEnv(std::map<std::string, std::string> env) const {
        env["XDG_CONFIG_HOME"] = config_;
        env["PULSE_SERVER"] = sound_->Server();
        return env;
    }

    // The program as the session user, its standard error in a file.
    std::unique_ptr<linuxtest::Child> Start(const std::map<std::string, std::string>& env) {
        errors_ = user_.Home() + "/restlevel-" + std::to_string(++starts_) + ".txt";
        auto child = user_.Start({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", program_, errors_}, ProgramEnv(env));
        EXPECT_TRUE(child->Started());
        return child;
    }
    std::string Errors() const { return linuxtest::ReadFile(errors_); }

    // A copy of the test window under a path of its own, the user's.
    std::string PlayerCopy() {
        const std::string folder = user_.Home() + "/player";
        const std::string file = folder + "/player";
        std::filesystem::create_directory(folder);
        std::filesystem::copy_file(RL_WAYLAND_TEST_WINDOW, file);
        if (chown(folder.c_str(), user_.Uid(), user_.Gid()) != 0 || chown(file.c_str(), user_.Uid(), user_.Gid()) != 0)
            return {};
        return file;
    }

    // Keys typed by a virtual keyboard into whatever has the focus.
    void Type(const linuxtest::SwaySession& sway, const std::string& text) {
        const linuxtest::CommandResult r = user_.Run("wtype " + Quoted(text), sway.Env());
        ASSERT_EQ(r.status, 0) << r.output;
    }

    unsigned SinkVolume() {
        const std::vector<unsigned> volumes = linuxtest::SinkVolumes(sink_);
        return volumes.empty() ? 0 : volumes.front();
    }
    bool SinkNear(unsigned volume) {
        const unsigned v = SinkVolume();
        return v + kVolumeSlack >= volume && v <= volume + kVolumeSlack;
    }
    void SetSinkVolume(unsigned volume) { ASSERT_TRUE(linuxtest::SetSinkVolumes(sink_, std::to_string(volume))); }

    // True when the volume stayed where it was until long after an idle
    // period starting at `from` would have faded it. While waiting, `during`
    // runs about once a second.
    bool StaysUp(std::chrono::steady_clock::time_point from, const std::function<void()>& during = {}) {
        bool stayed = true;
        auto next = std::chrono::steady_clock::now();
        linuxtest::WaitFor(
            [&] {
                if (during && std::chrono::steady_clock::now() >= next) {
                    during();
                    next += 1s;
                }
                stayed = stayed && SinkNear(kStartVolume);
                return !stayed || std::chrono::steady_clock::now() - from > kLongAfterIdle;
            },
            kLongAfterIdle + 10s);
        return stayed;
    }

    // With a program started at `start`: the volume comes to the rest level,
    // or stays where it was through the idle period and the fade after it.
    void ExpectFadeOrHold(bool fades, std::chrono::steady_clock::time_point start) {
        if (fades) {
            EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kRestVolume); }, kFadeDeadline))
                << "the rest level was not applied: " << SinkVolume() << " " << Errors();
        } else {
            EXPECT_TRUE(StaysUp(start)) << "the volume moved: " << SinkVolume() << " " << Errors();
        }
    }

    linuxtest::WaylandUser user_;
    std::string sink_;
    std::string config_;
    std::string program_;
    std::string errors_;
    int starts_ = 0;
    std::unique_ptr<SoundServerAccess> sound_;
};

// The display XWayland serves under this sway, as sway's own children see it.
std::string XWaylandDisplay(linuxtest::SwaySession& sway, const linuxtest::WaylandUser& user) {
    const std::string file = user.Home() + "/display.txt";
    if (!sway.Command("exec echo $DISPLAY > " + file)) return {};
    std::string display;
    linuxtest::WaitFor(
        [&] {
            display = linuxtest::ReadFile(file);
            return !display.empty() && display.back() == '\n';
        },
        5s);
    while (!display.empty() && display.back() == '\n') display.pop_back();
    return display;
}

TEST_F(WaylandProgramTest, IdleFadesToTheRestLevelAndInputBringsTheVolumeBack) {
    linuxtest::SwaySession sway(user_);
    ASSERT_TRUE(sway.Started()) << sway.Log();
    auto editor = sway.Window("org.example.Editor", "editor");
    SetSinkVolume(kStartVolume);
    auto program = Start(sway.Env());

    EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kRestVolume); }, kFadeDeadline))
        << "the rest level was not applied: " << SinkVolume() << " " << Errors();
    Type(sway, "x");
    EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kStartVolume); }, 10s))
        << "the volume did not come back: " << SinkVolume() << " " << Errors();
    EXPECT_EQ(Errors().find("cannot read the idle time"), std::string::npos) << Errors();
}

// XWayland sees only input to X11 windows: read there, typing into a native
// window would look like idleness.
TEST_F(WaylandProgramTest, TypingOnlyIntoANativeWindowKeepsTheVolumeUpBesideXWayland) {
    linuxtest::SwaySession sway(user_, true);
    ASSERT_TRUE(sway.Started()) << sway.Log();
    const std::string display = XWaylandDisplay(sway, user_);
    ASSERT_FALSE(display.empty()) << sway.Log();
    auto editor = sway.Window("org.example.Editor", "editor");
    ASSERT_TRUE(sway.Command("[app_id=\"org.example.Editor\"] focus"));
    SetSinkVolume(kStartVolume);

    std::map<std::string, std::string> env = sway.Env();
    env["DISPLAY"] = display;
    const auto start = std::chrono::steady_clock::now();
    auto program = Start(env);
    EXPECT_TRUE(StaysUp(start, [&] { Type(sway, "x"); }))
        << "faded while the user typed: " << SinkVolume() << " " << Errors();
}

// One instance per Wayland display, without any X display: a second start
// shows the first one's window and ends.
TEST_F(WaylandProgramTest, ASecondStartInTheSameSessionShowsTheFirstAndEnds) {
    linuxtest::SwaySession sway(user_);
    ASSERT_TRUE(sway.Started()) << sway.Log();
    auto toplevels = wayland::TWlrForeignToplevel::Connect(sway.SocketPath());
    ASSERT_NE(toplevels, nullptr);
    const auto shown = [&] {
        for (const auto& t : toplevels->Toplevels())
            if (t.appId == "restlevel") return true;
        return false;
    };
    auto first = Start(sway.Env());
    // Configured: it starts in the tray. Its name is taken once it listens.
    ASSERT_TRUE(linuxtest::WaitFor(
        [&] { return linuxtest::Run("ls " + Quoted(user_.Runtime()) + " | grep -q '^restlevel-'").status == 0; },
        20s))
        << Errors();
    EXPECT_FALSE(shown());

    const linuxtest::CommandResult second =
        user_.Run("timeout 20 " + Quoted(program_) + " 2>&1", ProgramEnv(sway.Env()));
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_TRUE(linuxtest::WaitFor(shown, 10s)) << "the first one's window did not come: " << Errors();
}

// sway names the program in front by its app id (the list holds full paths,
// matched by file name) and tells whether it fills the screen.
TEST_F(WaylandProgramTest, TheListedOrAFullScreenProgramInFrontHoldsTheVolume) {
    struct Case {
        const char* what;
        const char* front;
        bool fullScreen;
        bool fades;
    };
    const Case cases[] = {
        {"the listed program in front", "org.example.Player", false, false},
        {"another program in front, full screen", "org.example.Editor", true, false},
        {"another program in front", "org.example.Editor", false, true},
    };
    Preset("Exceptions", "REG_MULTI_SZ", "/opt/player/Player");
    linuxtest::SwaySession sway(user_);
    ASSERT_TRUE(sway.Started()) << sway.Log();
    auto player = sway.Window("org.example.Player", "player");
    auto editor = sway.Window("org.example.Editor", "editor");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string front = std::string("[app_id=\"") + c.front + "\"] ";
        ASSERT_TRUE(sway.Command(front + "focus"));
        ASSERT_TRUE(sway.Command(front + "fullscreen " + (c.fullScreen ? "enable" : "disable")));
        SetSinkVolume(kStartVolume);
        const auto start = std::chrono::steady_clock::now();
        auto program = Start(sway.Env());
        ExpectFadeOrHold(c.fades, start);
    }
}

// KWin: idle through ext-idle-notify, the program in front by the process id
// of its active window (plasma window management, offered to the program
// because a desktop file names it), full screen from the same list.
TEST_F(WaylandProgramTest, UnderKWinIdleFadesInputBringsTheVolumeBackAndTheListedOrAFullScreenProcessHoldsIt) {
    struct Case {
        const char* what;
        const char* front;
        bool fades;
    };
    const Case cases[] = {
        {"another program in front", "org.example.Editor", true},
        {"the listed program in front", "org.example.Player", false},
        {"another program in front, full screen", "org.example.Film", false},
    };
    linuxtest::KWinSession kwin(user_, {{RL_RESTLEVEL, "org_kde_plasma_window_management"}});
    ASSERT_TRUE(kwin.Started()) << kwin.Log();
    program_ = kwin.CopyOf(RL_RESTLEVEL);
    // The player runs from a file of its own, the one the list names.
    const std::string playerFile = PlayerCopy();
    ASSERT_FALSE(playerFile.empty());
    Preset("Exceptions", "REG_MULTI_SZ", playerFile);
    auto player = user_.Start({playerFile, "org.example.Player", "player"}, kwin.Env());
    ASSERT_EQ(player->ReadLine(10s).value_or("(no answer)"), "ready");
    auto editor = kwin.Window("org.example.Editor", "editor");
    auto film = kwin.Window("org.example.Film", "film", {"--fullscreen"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kwin.Activate(c.front));
        SetSinkVolume(kStartVolume);
        const auto start = std::chrono::steady_clock::now();
        auto program = Start(kwin.Env());
        ExpectFadeOrHold(c.fades, start);
        if (c.fades) {
            ASSERT_TRUE(kwin.FakeInput("motion"));
            EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kStartVolume); }, 10s))
                << "the volume did not come back: " << SinkVolume() << " " << Errors();
        }
    }
}

// Mutter offers clients no idle protocol; GNOME's idle time is on the session
// bus. Without mutter's bus nothing in this session tells it: the program
// says so once and never fades. On the bus it fades, and input given through
// mutter's remote desktop brings the volume back.
TEST_F(WaylandProgramTest, UnderMutterTheIdleTimeComesFromItsBusOrTheProgramSaysItCannotReadIt) {
    struct Case {
        const char* what;
        bool onMutterBus;
        bool fades;
    };
    const Case cases[] = {
        {"not on mutter's bus", false, false},
        {"on mutter's bus", true, true},
    };
    linuxtest::MutterSession mutter(user_);
    ASSERT_TRUE(mutter.Started()) << mutter.Log();
    constexpr char kBoxText[] = "restlevel: RestLevel cannot read the idle time in this session\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetSinkVolume(kStartVolume);
        std::map<std::string, std::string> env = mutter.Env();
        if (!c.onMutterBus) env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + user_.Home() + "/no-bus";
        const auto start = std::chrono::steady_clock::now();
        auto program = Start(env);
        if (!c.fades) {
            EXPECT_TRUE(linuxtest::WaitFor([&] { return Errors().find(kBoxText) != std::string::npos; }, 20s))
                << Errors();
        }
        ExpectFadeOrHold(c.fades, start);
        const std::string errors = Errors();
        if (!c.fades) {
            EXPECT_EQ(errors.find(kBoxText), errors.rfind(kBoxText)) << "said more than once: " << errors;
            continue;
        }
        EXPECT_EQ(errors.find(kBoxText), std::string::npos) << errors;
        auto input = mutter.Input();
        ASSERT_NE(input, nullptr);
        ASSERT_TRUE(linuxtest::MutterSession::Give(*input, "pointer 5 5"));
        EXPECT_TRUE(linuxtest::WaitFor([&] { return SinkNear(kStartVolume); }, 10s))
            << "the volume did not come back: " << SinkVolume() << " " << Errors();
    }
}

}  // namespace
}  // namespace rl

// The real restlevel in a headless sway session, run as the session's user:
// its window as a native Wayland client (and through XWayland where Qt's
// Wayland plugin is missing), raised by a second start with the token its
// launcher got, and its tray icon on a StatusNotifierItem tray.
//
// With RL_WAYLAND_SCREENSHOTS naming a folder, the window tests also leave
// pictures of both pages there (grim).
#include <dirent.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <QLibraryInfo>

#include <gtest/gtest.h>

#include "tests/linux/LinuxTestSupport.h"
#include "tests/linux/WaylandSession.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::Child;
using linuxtest::SwaySession;
using linuxtest::WaylandUser;

constexpr auto kDeadline = 20s;
// How long a window that should not take the focus is watched.
constexpr auto kNoFocusWatch = 1500ms;

// One window as sway's tree shows it.
struct View {
    std::string shell;  // "xdg_shell" or "xwayland"
    std::string appId;  // the app id, or an X11 window's class
    bool focused = false;
    bool urgent = false;
    int width = 0, height = 0;
};

// Prints a line per window: shell, app id (or class), focused, urgent,
// and the size of the window's own area.
constexpr char kTreeScript[] = R"(
import json, sys
def walk(n):
    if n.get("shell"):
        p = n.get("window_properties") or {}
        r = n["window_rect"]
        print(n["shell"], n.get("app_id") or p.get("class") or "-", int(n["focused"]), int(n["urgent"]),
              r["width"], r["height"])
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        walk(c)
walk(json.load(sys.stdin))
)";

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class WaylandWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(user_.Ready());
        // XWayland on: the program still reads the idle time from an X
        // display, and the fallback case needs one.
        sway_ = std::make_unique<SwaySession>(user_, true);
        ASSERT_TRUE(sway_->Started());
        ipc_ = FindIn(user_.Runtime(), "sway-ipc.");
        ASSERT_FALSE(ipc_.empty());
        // Sway knows the XWayland display it started; its children get it.
        const std::string displayFile = user_.Home() + "/display";
        ASSERT_TRUE(sway_->Command("exec echo $DISPLAY >" + displayFile));
        ASSERT_TRUE(linuxtest::WaitFor([&] { return linuxtest::ReadFile(displayFile).find('\n') != std::string::npos; },
                                       kDeadline));
        display_ = linuxtest::ReadFile(displayFile);
        display_.resize(display_.find('\n'));
        ASSERT_FALSE(display_.empty()) << sway_->Log();

        const std::string pulseSocket = user_.Runtime() + "/pulse.sock";
        pulse_ = user_.Start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                              "--use-pid-file=no", "-F", "/dev/null",
                              "--load=module-native-protocol-unix socket=" + pulseSocket + " auth-anonymous=1",
                              "--load=module-null-sink sink_name=rl_null"},
                             {}, true);
        ASSERT_TRUE(linuxtest::WaitFor(
            [&] { return user_.Run("pactl info >/dev/null", {{"PULSE_SERVER", "unix:" + pulseSocket}}).status == 0; },
            kDeadline))
            << "PulseAudio did not start";

        bus_ = std::make_unique<linuxtest::TestBus>(user_.Runtime() + "/bus", user_.Home() + "/bus", user_.AsUser({}));
        ASSERT_TRUE(bus_->Started());
        busAddress_ = bus_->Address();

        program_ = user_.Copy(RL_RESTLEVEL);
        env_ = sway_->Env();
        env_["DISPLAY"] = display_;
        env_["PULSE_SERVER"] = "unix:" + pulseSocket;
        env_["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
        env_["XDG_CONFIG_HOME"] = user_.Home() + "/.config";
        env_["XDG_CURRENT_DESKTOP"] = "sway";
        env_["RESTLEVEL_UPDATE_SERVER"] = "";
        env_["QT_QPA_PLATFORM"] = "";
    }

    static std::string FindIn(const std::string& folder, const std::string& prefix) {
        std::string found;
        if (DIR* dir = opendir(folder.c_str())) {
            while (dirent* e = readdir(dir))
                if (std::string(e->d_name).rfind(prefix, 0) == 0) found = folder + "/" + e->d_name;
            closedir(dir);
        }
        return found;
    }

    std::vector<View> Views() const {
        const auto r = user_.Run(std::string("swaymsg -t get_tree | python3 -c ") + Quote(kTreeScript),
                                 {{"SWAYSOCK", ipc_}});
        std::vector<View> views;
        std::istringstream lines(r.output);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            View v;
            int focused = 0, urgent = 0;
            if (in >> v.shell >> v.appId >> focused >> urgent >> v.width >> v.height) {
                v.focused = focused != 0;
                v.urgent = urgent != 0;
                views.push_back(v);
            }
        }
        return views;
    }
    std::string Describe() const {
        std::string out;
        for (const View& v : Views())
            out += "[" + v.shell + " " + v.appId + (v.focused ? " focused" : "") + (v.urgent ? " urgent" : "") + "]";
        return out.empty() ? "none" : out;
    }
    std::optional<View> Find(const std::string& appId) const {
        for (const View& v : Views())
            if (v.appId == appId) return v;
        return std::nullopt;
    }
    bool WaitFor(const std::string& appId, const std::function<bool(const View&)>& condition,
                 std::chrono::milliseconds timeout = kDeadline) const {
        return linuxtest::WaitFor([&] {
            const auto v = Find(appId);
            return v && condition(*v);
        }, timeout);
    }

    // A copy of the program with a qt.conf beside it that points Qt at a
    // plugin folder with only the X11 platform in it, as on a system
    // without qt6-wayland.
    std::string ProgramWithoutWaylandPlugin() const {
        const std::string dir = user_.Home() + "/noplugin";
        if (Exists(dir + "/restlevel")) return dir + "/restlevel";
        const std::string platforms = dir + "/plugins/platforms";
        std::filesystem::create_directories(platforms);
        std::filesystem::create_symlink(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() +
                                            "/platforms/libqxcb.so",
                                        platforms + "/libqxcb.so");
        std::filesystem::copy_file(program_, dir + "/restlevel");
        linuxtest::WriteFile(dir + "/qt.conf", "[Paths]\nPlugins=" + dir + "/plugins\n");
        EXPECT_EQ(linuxtest::Run("chown -R " + std::to_string(user_.Uid()) + ":" + std::to_string(user_.Gid()) + " " +
                                 Quote(dir))
                      .status,
                  0);
        return dir + "/restlevel";
    }
    static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

    // The running program; a fresh settings store shows the window at once.
    std::unique_ptr<Child> StartProgram(std::map<std::string, std::string> extra = {}, std::string program = {}) {
        auto env = env_;
        for (const auto& [name, value] : extra) env[name] = value;
        return user_.Start({program.empty() ? program_ : program}, env);
    }
    // A later start, which hands over to the running one and ends.
    int StartAgain(std::map<std::string, std::string> extra = {}, std::string program = {}) const {
        auto env = env_;
        for (const auto& [name, value] : extra) env[name] = value;
        return user_.Run(Quote(program.empty() ? program_ : program), env).status;
    }

    // Pictures of both pages, when asked for.
    void Screenshots(const std::string& name, const std::string& appId) {
        const char* folder = std::getenv("RL_WAYLAND_SCREENSHOTS");
        if (folder == nullptr || *folder == '\0') return;
        const auto wayland = sway_->Env();
        const auto shoot = [&](const std::string& page) {
            const std::string file = user_.Home() + "/" + name + "-" + page + ".png";
            const auto r = user_.Run("grim -g \"$(swaymsg -t get_tree | python3 -c " + Quote(kGeometryScript) + ")\" " +
                                         Quote(file),
                                     {{"SWAYSOCK", ipc_}, {"WAYLAND_DISPLAY", wayland.at("WAYLAND_DISPLAY")},
                                      {"RL_APP", appId}});
            EXPECT_EQ(r.status, 0) << r.output;
            std::filesystem::copy_file(file, std::string(folder) + "/" + name + "-" + page + ".png",
                                       std::filesystem::copy_options::overwrite_existing);
        };
        shoot("basic");
        // Ctrl+Tab to the next page; the virtual keyboard has to exist a
        // moment before its keys count.
        const auto r = user_.Run("wtype -s 800 -M ctrl -k Tab -m ctrl -s 300",
                                 {{"WAYLAND_DISPLAY", wayland.at("WAYLAND_DISPLAY")}});
        EXPECT_EQ(r.status, 0) << r.output;
        shoot("exceptions");
    }

    // "X,Y WxH" of the window with the app id (or class) in RL_APP.
    static constexpr char kGeometryScript[] = R"(
import json, os, sys
def walk(n):
    p = n.get("window_properties") or {}
    if n.get("shell") and (n.get("app_id") or p.get("class")) == os.environ["RL_APP"]:
        r = n["rect"]
        print("%d,%d %dx%d" % (r["x"], r["y"], r["width"], r["height"]))
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        walk(c)
walk(json.load(sys.stdin))
)";

    WaylandUser user_;
    std::unique_ptr<SwaySession> sway_;
    std::string ipc_, display_, busAddress_, program_;
    std::unique_ptr<Child> pulse_;
    std::unique_ptr<linuxtest::TestBus> bus_;
    std::map<std::string, std::string> env_;
};

TEST_F(WaylandWindowTest, TheWindowIsANativeWaylandClientAndGoesThroughXWaylandWithoutQtsWaylandPlugin) {
    struct Case {
        const char* name;
        bool waylandPlugin;
        const char* shell;
        const char* appId;  // or the X11 class
    };
    const Case cases[] = {
        {"wayland", true, "xdg_shell", "restlevel"},
        {"xwayland", false, "xwayland", "RestLevel"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string program = c.waylandPlugin ? program_ : ProgramWithoutWaylandPlugin();
        auto running = StartProgram({{"XDG_CONFIG_HOME", user_.Home() + "/config-" + c.name}}, program);
        ASSERT_TRUE(WaitFor(c.appId, [](const View& v) { return v.focused; })) << "windows: " << Describe();
        const View v = *Find(c.appId);
        EXPECT_EQ(v.shell, c.shell);
        // As on X11: the design's client area and the automatic exceptions' box.
        EXPECT_EQ(v.width, 359);
        EXPECT_EQ(v.height, 214 + 24);
        Screenshots(c.name, c.appId);
        running.reset();
        ASSERT_TRUE(linuxtest::WaitFor([&] { return !Find(c.appId); }, kDeadline));
    }
}

TEST_F(WaylandWindowTest, ASecondStartRaisesTheWindowWhereTheCompositorHonoursItsLaunchersToken) {
    struct Case {
        const char* name;
        const char* policy;  // sway's focus_on_window_activation
        bool token;          // the second start got one from its launcher
        bool hidden;         // the window was closed before
        bool focused;        // expected
        bool urgent;         // expected
        bool x11 = false;    // through XWayland
    };
    const Case cases[] = {
        {"token, focus allowed", "smart", true, false, true, false},
        // Sway's default: a valid token only marks the window.
        {"token, sway's default", "urgent", true, false, false, true},
        // No token: Wayland gives the focus to nobody who asks.
        {"no token", "smart", false, false, false, false},
        // A window shown anew is focused as any new window is.
        {"closed before, no token", "smart", false, true, true, false},
        // An X11 window asks with _NET_ACTIVE_WINDOW; sway treats that as
        // an activation request.
        {"through XWayland", "smart", false, false, true, false, true},
        {"through XWayland, sway's default", "urgent", false, false, false, true, true},
    };
    const std::string tokenHelper = user_.Copy(RL_WAYLAND_ACTIVATION_TOKEN);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string program = c.x11 ? ProgramWithoutWaylandPlugin() : program_;
        const std::string app = c.x11 ? "RestLevel" : "restlevel";
        auto running = StartProgram({{"XDG_CONFIG_HOME", user_.Home() + "/config-" + std::to_string(++n)}}, program);
        ASSERT_TRUE(WaitFor(app, [](const View& v) { return v.focused; })) << "windows: " << Describe();
        ASSERT_TRUE(sway_->Command(std::string("focus_on_window_activation ") + c.policy));
        auto other = sway_->Window("other", "Other");
        ASSERT_TRUE(WaitFor("other", [](const View& v) { return v.focused; }));
        if (c.hidden) {
            ASSERT_TRUE(sway_->Command("[app_id=restlevel] kill"));
            ASSERT_TRUE(linuxtest::WaitFor([&] { return !Find(app); }, kDeadline));
        }

        std::map<std::string, std::string> extra;
        std::unique_ptr<Child> launcher;
        if (c.token) {
            launcher = user_.Start({tokenHelper}, sway_->Env());
            const std::string line = launcher->ReadLine(kDeadline).value_or("");
            ASSERT_EQ(line.rfind("token ", 0), 0u) << line;
            ASSERT_GT(line.size(), 6u) << "the compositor refused a token";
            extra["XDG_ACTIVATION_TOKEN"] = line.substr(6);
        }
        EXPECT_EQ(StartAgain(extra, program), 0);
        ASSERT_TRUE(WaitFor(app, [](const View&) { return true; })) << "the window is not shown";
        if (c.focused) {
            EXPECT_TRUE(WaitFor(app, [](const View& v) { return v.focused; })) << "windows: " << Describe();
        } else if (c.urgent) {
            EXPECT_TRUE(WaitFor(app, [](const View& v) { return v.urgent; })) << "windows: " << Describe();
            EXPECT_FALSE(Find(app)->focused);
        } else {
            EXPECT_FALSE(WaitFor(app, [](const View& v) { return v.focused || v.urgent; }, kNoFocusWatch));
            EXPECT_TRUE(Find("other")->focused);
        }
        running.reset();
        ASSERT_TRUE(linuxtest::WaitFor([&] { return !Find(app); }, kDeadline));
    }
}

// Qt decides once, at start, between a StatusNotifierItem and no tray.
TEST_F(WaylandWindowTest, TheTrayIconRegistersWithTheTrayShowsItsHintAndAClickShowsTheWindow) {
    auto tray = user_.Start({user_.Copy(RL_TRAY_WATCHER_STAND_IN)}, {{"DBUS_SESSION_BUS_ADDRESS", busAddress_}});
    ASSERT_EQ(tray->ReadLine(kDeadline).value_or(""), "ready");
    auto running = StartProgram();
    ASSERT_TRUE(WaitFor("restlevel", [](const View& v) { return v.focused; }));

    const std::string item = tray->ReadLine(kDeadline).value_or("(no item registered)");
    std::istringstream fields(item);
    std::string word, service, path;
    fields >> word >> service >> path;
    ASSERT_EQ(word, "item") << item;
    EXPECT_NE(item.find(" id=RestLevel "), std::string::npos) << item;
    EXPECT_NE(item.find(" status=Active "), std::string::npos) << item;
    EXPECT_NE(item.find(" tooltip=RestLevel "), std::string::npos) << item;
    // The tray's own picture, as pixels: a host without the icon theme has
    // nothing else to draw.
    EXPECT_NE(item.find(" icons=16x16:"), std::string::npos) << item;

    ASSERT_TRUE(sway_->Command("[app_id=restlevel] kill"));
    ASSERT_TRUE(linuxtest::WaitFor([&] { return !Find("restlevel"); }, kDeadline));
    // What a tray does on a left click.
    const auto click = user_.Run("dbus-send --session --print-reply --dest=" + service + " " + path +
                                     " org.kde.StatusNotifierItem.Activate int32:0 int32:0",
                                 {{"DBUS_SESSION_BUS_ADDRESS", busAddress_}});
    EXPECT_EQ(click.status, 0) << click.output;
    EXPECT_TRUE(WaitFor("restlevel", [](const View&) { return true; })) << "the window did not come back";
}

TEST_F(WaylandWindowTest, WithoutATrayTheProgramRunsOnAndASecondStartStillShowsTheWindow) {
    auto running = StartProgram();
    ASSERT_TRUE(WaitFor("restlevel", [](const View& v) { return v.focused; }));
    ASSERT_TRUE(sway_->Command("[app_id=restlevel] kill"));
    ASSERT_TRUE(linuxtest::WaitFor([&] { return !Find("restlevel"); }, kDeadline));
    EXPECT_EQ(StartAgain(), 0);
    EXPECT_TRUE(WaitFor("restlevel", [](const View& v) { return v.focused; })) << "the window did not come back";
}

}  // namespace
}  // namespace rl

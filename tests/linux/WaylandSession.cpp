#include "tests/linux/WaylandSession.h"

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QString>

#include <gtest/gtest.h>

namespace rl::linuxtest {

namespace {

using namespace std::chrono_literals;

constexpr char kUser[] = "rlwayland";

// The name of the first entry of the folder that starts with the prefix and
// does not end with the suffix.
std::string FindName(const std::string& folder, const std::string& prefix, const std::string& notSuffix) {
    std::string found;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            const bool excluded = name.size() >= notSuffix.size() &&
                                  name.compare(name.size() - notSuffix.size(), notSuffix.size(), notSuffix) == 0;
            if (name.rfind(prefix, 0) == 0 && !excluded && found.empty()) found = name;
        }
        closedir(dir);
    }
    return found;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

WaylandUser::WaylandUser() {
    asRoot_ = geteuid() == 0;
    uid_ = geteuid();
    gid_ = getegid();
    if (asRoot_) {
        linuxtest::Run(std::string("id -u ") + kUser + " >/dev/null 2>&1 || /usr/sbin/useradd --system "
                       "--no-create-home --shell /usr/sbin/nologin " + kUser + " >/dev/null 2>&1");
        const passwd* pw = getpwnam(kUser);
        if (pw == nullptr) {
            ADD_FAILURE() << "cannot make the user " << kUser;
            return;
        }
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
    }
    // The temporary folder itself is the tests' own; the user gets two
    // folders inside it.
    home_ = temp_.Path() + "/home";
    runtime_ = temp_.Path() + "/run";
    ready_ = chmod(temp_.Path().c_str(), 0755) == 0 && mkdir(home_.c_str(), 0755) == 0 &&
             mkdir(runtime_.c_str(), 0700) == 0 && chown(home_.c_str(), uid_, gid_) == 0 &&
             chown(runtime_.c_str(), uid_, gid_) == 0;
    EXPECT_TRUE(ready_) << "cannot prepare the folders of " << kUser;
}

std::vector<std::string> WaylandUser::AsUser(std::vector<std::string> argv) const {
    if (!asRoot_) return argv;
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                               "--clear-groups", "--"});
    return argv;
}

std::string WaylandUser::Copy(const std::string& program) const {
    const std::string target = home_ + "/" + std::filesystem::path(program).filename().string();
    std::filesystem::copy_file(program, target, std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(chown(target.c_str(), uid_, gid_), 0) << target;
    return target;
}

std::string WaylandUser::WriteFile(const std::string& name, const std::string& content) const {
    const std::string path = home_ + "/" + name;
    linuxtest::WriteFile(path, content);
    EXPECT_EQ(chown(path.c_str(), uid_, gid_), 0) << path;
    return path;
}

std::map<std::string, std::string> WaylandUser::Env() const {
    return {{"XDG_RUNTIME_DIR", runtime_}, {"HOME", home_}, {"WAYLAND_DISPLAY", ""}, {"DISPLAY", ""}};
}

std::unique_ptr<Child> WaylandUser::Start(std::vector<std::string> argv, const std::map<std::string, std::string>& extra,
                                          bool quiet) const {
    auto env = Env();
    for (const auto& [name, value] : extra) env[name] = value;
    return std::make_unique<Child>(AsUser(std::move(argv)), env, quiet);
}

CommandResult WaylandUser::Run(const std::string& shellCommand, const std::map<std::string, std::string>& extra) const {
    auto env = Env();
    for (const auto& [name, value] : extra) env[name] = value;
    std::string command = "env";
    for (const auto& [name, value] : env) command += " " + Quote(name + "=" + value);
    for (const auto& arg : AsUser({"sh", "-c", shellCommand + " 2>&1"})) command += " " + Quote(arg);
    return linuxtest::Run(command);
}

std::string WaylandSocketIn(const std::string& runtime) { return FindName(runtime, "wayland-", ".lock"); }

SwaySession::SwaySession(const WaylandUser& user, bool xwayland) : user_(user) {
    if (!user.Ready()) return;
    // Copied before any window runs: a running program cannot be overwritten.
    windowProgram_ = user.Copy(RL_WAYLAND_TEST_WINDOW);
    const std::string config = user.WriteFile("sway.config", xwayland ? "xwayland force\n" : "xwayland disable\n");
    log_ = user.Home() + "/sway.log";
    // Through a shell only for the log; exec keeps the pid sway's own.
    sway_ = user.Start({"sh", "-c", "exec sway -c " + Quote(config) + " 2>" + Quote(log_)},
                       {{"WLR_BACKENDS", "headless"}, {"WLR_LIBINPUT_NO_DEVICES", "1"}, {"WLR_RENDERER", "pixman"}});
    WaitFor([&] {
        socket_ = WaylandSocketIn(user.Runtime());
        ipc_ = FindName(user.Runtime(), "sway-ipc.", ".lock");
        return Started();
    }, 20s);
    if (!Started()) ADD_FAILURE() << "sway did not start; its log:\n" << Log();
}

SwaySession::~SwaySession() { sway_.reset(); }

std::map<std::string, std::string> SwaySession::Env() const {
    auto env = user_.Env();
    env["WAYLAND_DISPLAY"] = socket_;
    env["XDG_SESSION_TYPE"] = "wayland";
    return env;
}

bool SwaySession::Command(const std::string& command) const {
    const auto r = user_.Run("swaymsg " + Quote(command), {{"SWAYSOCK", user_.Runtime() + "/" + ipc_}});
    EXPECT_EQ(r.status, 0) << command << ": " << r.output;
    return r.status == 0;
}

std::unique_ptr<Child> SwaySession::Window(const std::string& appId, const std::string& title) const {
    auto child = user_.Start({windowProgram_, appId, title}, Env());
    const auto line = child->ReadLine(20s);
    EXPECT_EQ(line.value_or("(none)"), "ready") << "test window " << title;
    return child;
}

void SwaySession::Crash() {
    if (sway_) sway_->Kill(SIGKILL);
}

std::string SwaySession::Log() const { return log_.empty() ? std::string() : ReadFile(log_); }

MutterSession::MutterSession(const WaylandUser& user) : user_(user) {
    if (!user.Ready()) return;
    inputProgram_ = user.Copy(RL_MUTTER_INPUT);
    bus_ = std::make_unique<TestBus>(user.Runtime() + "/bus", user.Home() + "/bus", user.AsUser({}));
    if (!bus_->Started()) return;
    log_ = user.Home() + "/mutter.log";
    // Settings stay in memory: the bus has no settings service to start.
    mutter_ = user.Start({"sh", "-c",
                          "exec mutter --headless --wayland --no-x11 --virtual-monitor 1024x768 >" + Quote(log_) +
                              " 2>&1"},
                         {{"DBUS_SESSION_BUS_ADDRESS", bus_->Address()}, {"GSETTINGS_BACKEND", "memory"}});
    started_ = WaitFor([&] {
        socket_ = WaylandSocketIn(user.Runtime());
        return !socket_.empty() && HasOwner("org.gnome.Mutter.IdleMonitor") &&
               HasOwner("org.gnome.Mutter.RemoteDesktop");
    }, 30s);
    if (!started_) ADD_FAILURE() << "mutter did not start; its log:\n" << Log();
}

MutterSession::~MutterSession() {
    mutter_.reset();
    bus_.reset();
}

std::string MutterSession::BusAddress() const { return bus_ ? bus_->Address() : std::string(); }

bool MutterSession::HasOwner(const std::string& name) const {
    if (BusAddress().empty()) return false;
    const QString id = QStringLiteral("rl-test-mutter-session");
    bool owned = false;
    {
        const QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(BusAddress()), id);
        if (bus.isConnected()) owned = bus.interface()->isServiceRegistered(QString::fromStdString(name)).value();
    }
    QDBusConnection::disconnectFromBus(id);
    return owned;
}

std::map<std::string, std::string> MutterSession::Env() const {
    auto env = user_.Env();
    env["WAYLAND_DISPLAY"] = socket_;
    env["XDG_SESSION_TYPE"] = "wayland";
    env["XDG_CURRENT_DESKTOP"] = "GNOME";
    env["DBUS_SESSION_BUS_ADDRESS"] = BusAddress();
    return env;
}

std::unique_ptr<Child> MutterSession::Input() const {
    auto child = user_.Start({inputProgram_}, Env());
    const auto line = child->ReadLine(10s);
    if (line == "ready") return child;
    ADD_FAILURE() << "no remote-desktop session: " << line.value_or("(no answer)") << "\nmutter's log:\n" << Log();
    return nullptr;
}

bool MutterSession::Give(Child& input, const std::string& line) {
    const auto answer = input.WriteLine(line) ? input.ReadLine(10s) : std::nullopt;
    EXPECT_EQ(answer.value_or("(no answer)"), "done") << line;
    return answer == "done";
}

std::string MutterSession::Log() const { return log_.empty() ? std::string() : ReadFile(log_); }

KWinSession::KWinSession(const WaylandUser& user, const std::map<std::string, std::string>& trusted) : user_(user) {
    if (!user.Ready()) return;
    const std::string kwin = user.Copy("/usr/bin/kwin_wayland");
    windowProgram_ = user.Copy(RL_WAYLAND_TEST_WINDOW);
    // Before KWin starts: it reads the desktop files once, into its cache.
    fakeInputProgram_ = Trust(RL_WAYLAND_FAKE_INPUT, "org_kde_kwin_fake_input");
    for (const auto& [program, interfaces] : trusted) Trust(program, interfaces);
    // Its own bus: KWin registers its services there and must not reach
    // the tests' one.
    bus_ = std::make_unique<TestBus>(user.Runtime() + "/bus", user.Home() + "/bus", user.AsUser({}));
    if (!bus_->Started()) return;
    socket_ = "wayland-kwin";
    log_ = user.Home() + "/kwin.log";
    std::map<std::string, std::string> env = {{"DBUS_SESSION_BUS_ADDRESS", bus_->Address()},
                                              {"XDG_DATA_HOME", user.Home() + "/.local/share"},
                                              {"XDG_CONFIG_HOME", user.Home() + "/.config"},
                                              {"XDG_CACHE_HOME", user.Home() + "/.cache"}};
    if (trusted.empty()) env["KWIN_WAYLAND_NO_PERMISSION_CHECKS"] = "1";
    // Through a shell only for the log; exec keeps the pid KWin's own.
    kwin_ = user.Start({"sh", "-c",
                        "exec " + Quote(kwin) + " --virtual --socket " + socket_ +
                            " --no-lockscreen --no-global-shortcuts --no-kactivities 2>" + Quote(log_)},
                       env);
    // The socket comes first; fake input once KWin's input is set up, which
    // is after its workspace.
    started_ = WaitFor([&] { return access(SocketPath().c_str(), F_OK) == 0; }, 20s) &&
               WaitFor([&] { return user_.Run(Quote(fakeInputProgram_) + " none", Env()).status == 0; }, 20s);
    if (!started_) ADD_FAILURE() << "KWin did not start; its log:\n" << Log();
}

KWinSession::~KWinSession() {
    kwin_.reset();
    bus_.reset();
}

std::map<std::string, std::string> KWinSession::Env() const {
    auto env = user_.Env();
    env["WAYLAND_DISPLAY"] = socket_;
    env["XDG_SESSION_TYPE"] = "wayland";
    env["DBUS_SESSION_BUS_ADDRESS"] = bus_ ? bus_->Address() : std::string();
    return env;
}

std::unique_ptr<Child> KWinSession::Window(const std::string& appId, const std::string& title,
                                           const std::vector<std::string>& options) const {
    std::vector<std::string> argv = {windowProgram_};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {appId, title});
    auto child = user_.Start(argv, Env());
    const auto line = child->ReadLine(20s);
    EXPECT_EQ(line.value_or("(none)"), "ready") << "test window " << title;
    return child;
}

bool KWinSession::FakeInput(const std::string& what) const {
    const auto r = user_.Run(Quote(fakeInputProgram_) + " " + Quote(what), Env());
    EXPECT_EQ(r.status, 0) << what << ": " << r.output;
    return r.status == 0;
}

std::string KWinSession::Trust(const std::string& program, const std::string& interfaces) const {
    const std::string copy = user_.Copy(program);
    const std::string name = std::filesystem::path(program).filename().string();
    user_.WriteFile(".local/share/applications/" + name + ".desktop",
                    "[Desktop Entry]\nType=Application\nName=" + name + "\nNoDisplay=true\nExec=" + copy +
                        "\nX-KDE-Wayland-Interfaces=" + interfaces + "\n");
    // The folders WriteFile made are the user's, as in a real home.
    for (const char* folder : {"/.local", "/.local/share", "/.local/share/applications"})
        EXPECT_EQ(chown((user_.Home() + folder).c_str(), user_.Uid(), user_.Gid()), 0) << folder;
    return copy;
}

bool KWinSession::Activate(const std::string& appId) {
    // A script runs once per name: each call loads a new one.
    const std::string name = "rl-activate-" + std::to_string(++scripts_);
    const std::string script = user_.WriteFile(
        name + ".js", "for (const w of workspace.clientList())\n"
                      "    if (w.resourceClass == " + Quote(appId) + ") workspace.activeClient = w;\n");
    const std::string call = "dbus-send --session --print-reply --dest=org.kde.KWin /Scripting org.kde.kwin.Scripting.";
    const auto load = user_.Run(call + "loadScript string:" + Quote(script) + " string:" + name, Env());
    const bool loaded = load.status == 0 && load.output.find("int32 -1") == std::string::npos;
    EXPECT_TRUE(loaded) << load.output;
    const auto start = user_.Run(call + "start", Env());
    EXPECT_EQ(start.status, 0) << start.output;
    return loaded && start.status == 0;
}

std::string KWinSession::CopyOf(const std::string& program) const {
    return user_.Home() + "/" + std::filesystem::path(program).filename().string();
}

void KWinSession::Crash() {
    if (kwin_) kwin_->Kill(SIGKILL);
}

std::string KWinSession::Log() const { return log_.empty() ? std::string() : ReadFile(log_); }

}  // namespace rl::linuxtest

// Wayland sessions for the integration tests: compositors refuse root (and
// XWayland admits only the compositor's user), so a session runs as an
// unprivileged user with a private runtime folder, as a desktop's does.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/linux/LinuxTestSupport.h"

namespace rl::linuxtest {

// The session's user: as root, the user "rlwayland" (made once per machine)
// and processes started through setpriv; otherwise the current user. Its
// home and runtime folders go with the object.
class WaylandUser {
public:
    WaylandUser();
    WaylandUser(const WaylandUser&) = delete;
    WaylandUser& operator=(const WaylandUser&) = delete;

    bool Ready() const { return ready_; }
    uid_t Uid() const { return uid_; }
    gid_t Gid() const { return gid_; }
    const std::string& Home() const { return home_; }
    const std::string& Runtime() const { return runtime_; }

    // The command run as the user.
    std::vector<std::string> AsUser(std::vector<std::string> argv) const;
    // A copy of the program in the home folder (the build folder may be
    // closed to other users); its path.
    std::string Copy(const std::string& program) const;
    // A file of the user's in the home folder; its path.
    std::string WriteFile(const std::string& name, const std::string& content) const;
    // XDG_RUNTIME_DIR and HOME; no display of the tests' own leaks in.
    std::map<std::string, std::string> Env() const;
    // Started as the user with Env() and the extra variables (which win).
    std::unique_ptr<Child> Start(std::vector<std::string> argv, const std::map<std::string, std::string>& extra = {},
                                 bool quiet = false) const;
    // A shell command run as the user with Env() and the extra variables;
    // its output and standard error together.
    CommandResult Run(const std::string& shellCommand, const std::map<std::string, std::string>& extra = {}) const;

private:
    bool ready_ = false;
    bool asRoot_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    TempDir temp_;
    std::string home_, runtime_;
};

// The name of a "wayland-N" socket in the folder; empty when there is none.
std::string WaylandSocketIn(const std::string& runtime);

// A headless sway (wlroots, software rendering) run as the user; stopped
// with the object.
class SwaySession {
public:
    explicit SwaySession(const WaylandUser& user, bool xwayland = false);
    ~SwaySession();
    SwaySession(const SwaySession&) = delete;
    SwaySession& operator=(const SwaySession&) = delete;

    bool Started() const { return !socket_.empty() && !ipc_.empty(); }
    const std::string& SocketName() const { return socket_; }
    std::string SocketPath() const { return user_.Runtime() + "/" + socket_; }
    // The user's environment in this session: WAYLAND_DISPLAY and
    // XDG_SESSION_TYPE=wayland.
    std::map<std::string, std::string> Env() const;
    // A swaymsg command; EXPECTs success.
    bool Command(const std::string& command) const;
    // A native test window (xdg-shell) with the app id, shown by the time
    // this returns.
    std::unique_ptr<Child> Window(const std::string& appId, const std::string& title) const;
    // Ends the compositor at once, as a crash does.
    void Crash();
    std::string Log() const;

private:
    const WaylandUser& user_;
    std::string windowProgram_, log_, socket_, ipc_;
    std::unique_ptr<Child> sway_;
};

// A headless mutter 43 run as the user: software rendering (it finds no GPU
// and says so), no X11, and a session bus of its own where it offers its
// idle monitor and remote desktop; the test process may call there too.
// Stopped with the object.
class MutterSession {
public:
    explicit MutterSession(const WaylandUser& user);
    ~MutterSession();
    MutterSession(const MutterSession&) = delete;
    MutterSession& operator=(const MutterSession&) = delete;

    // Its Wayland socket is there and it owns its names on the bus.
    bool Started() const { return started_; }
    const std::string& SocketName() const { return socket_; }
    std::string SocketPath() const { return user_.Runtime() + "/" + socket_; }
    // DBUS_SESSION_BUS_ADDRESS of the session's bus.
    std::string BusAddress() const;
    // Whether the name has an owner on the session's bus.
    bool HasOwner(const std::string& name) const;
    // The user's environment in this session: WAYLAND_DISPLAY,
    // XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=GNOME and the bus.
    std::map<std::string, std::string> Env() const;
    // Input as from the user's own devices, through mutter's remote desktop:
    // the helper rl_mutter_input, ready when this returns (nothing when it
    // could not start a remote-desktop session).
    std::unique_ptr<Child> Input() const;
    // One line of input for that helper ("pointer DX DY", "key CODE");
    // true once mutter took it.
    static bool Give(Child& input, const std::string& line);
    std::string Log() const;

private:
    const WaylandUser& user_;
    std::string inputProgram_, log_, socket_;
    std::unique_ptr<TestBus> bus_;
    std::unique_ptr<Child> mutter_;
    bool started_ = false;
};

// A headless KWin 5.27 (virtual output, software OpenGL) run as the user
// with a session bus of its own; stopped with the object. It runs from a
// copy: the installed program carries a file capability that containers may
// refuse to run. KWin offers its privileged interfaces (plasma window
// management, fake input) only to a client it can identify: one running as
// the user, never a root one (it cannot read a root client's program file).
class KWinSession {
public:
    // trusted empty: KWin offers those interfaces to every client it can
    // identify. Otherwise it checks as in a desktop session: a client gets
    // them only when a desktop file names its program file and lists them in
    // X-KDE-Wayland-Interfaces; the session writes one for each program of
    // trusted (path -> interfaces, comma-separated), copied to the home
    // folder (see CopyOf). Fake input always has one.
    explicit KWinSession(const WaylandUser& user, const std::map<std::string, std::string>& trusted = {});
    ~KWinSession();
    KWinSession(const KWinSession&) = delete;
    KWinSession& operator=(const KWinSession&) = delete;

    bool Started() const { return started_; }
    const std::string& SocketName() const { return socket_; }
    std::string SocketPath() const { return user_.Runtime() + "/" + socket_; }
    // The user's environment in this session: WAYLAND_DISPLAY,
    // XDG_SESSION_TYPE=wayland and the session bus.
    std::map<std::string, std::string> Env() const;
    // A native test window (xdg-shell) with the app id, shown by the time
    // this returns; options as rl_wayland_test_window takes them
    // ("--inhibit-idle", "--fullscreen").
    std::unique_ptr<Child> Window(const std::string& appId, const std::string& title,
                                  const std::vector<std::string>& options = {}) const;
    // Input as the user through KWin's fake input: "motion" or "key";
    // EXPECTs success.
    bool FakeInput(const std::string& what) const;
    // Moves the activation to the window with the app id (KWin's scripting
    // over its bus, as a user's click would); EXPECTs KWin took the script.
    bool Activate(const std::string& appId);
    // Where a program of trusted was copied.
    std::string CopyOf(const std::string& program) const;
    // Ends the compositor at once, as a crash does.
    void Crash();
    std::string Log() const;

private:
    // Copies the program and names the copy in a desktop file with the
    // interfaces; the copy's path.
    std::string Trust(const std::string& program, const std::string& interfaces) const;

    const WaylandUser& user_;
    std::string windowProgram_, fakeInputProgram_, log_, socket_;
    std::unique_ptr<TestBus> bus_;
    std::unique_ptr<Child> kwin_;
    bool started_ = false;
    int scripts_ = 0;
};

}  // namespace rl::linuxtest

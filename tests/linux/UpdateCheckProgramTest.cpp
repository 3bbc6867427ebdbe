// The real restlevel's start-up update check against the loopback test
// server (tests/support/http_server.py), over HTTPS with a test CA that only
// these tests trust (SSL_CERT_FILE) and over plain HTTP: a newer package
// brings up the release notes and the program runs on after Escape; a package
// of the program's own time shows nothing; a server that cannot be reached
// does not keep the program from starting.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/linux/LinuxTestSupport.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#ifndef RL_SOURCE_DIR
#error "RL_SOURCE_DIR names the source tree"
#endif
#ifndef RL_TEST_CERT_DIR
#error "RL_TEST_CERT_DIR names the folder of make_test_ca.sh's certificates"
#endif

namespace rl {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Generous: the machine is shared.
constexpr auto kDeadline = 30s;
constexpr char kNotesWindow[] = "RestLevel Update";
constexpr char kMainWindow[] = "RestLevel";
constexpr char kPackage[] = "linux-x86_64/restlevel.zbin";
// Release notes in large red letters, which the test finds on the screen.
constexpr char kNotes[] =
    "{\\rtf1\\ansi{\\fonttbl{\\f0 Sans;}}{\\colortbl;\\red255\\green0\\blue0;}"
    "\\f0\\fs72\\cf1\\b Version 9\\par New: a quieter rest\\par}";

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::int64_t ModifiedSeconds(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtim.tv_sec) : 0;
}

void SetModified(const std::string& path, std::int64_t seconds) {
    const timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

// The test server over a folder of the test's own, with its request log.
class UpdateServer {
public:
    UpdateServer(const std::string& root, bool tls) : requests_(root + ".requests") {
        std::vector<std::string> argv{"python3", RL_SOURCE_DIR "/tests/support/http_server.py", "--root", root,
                                      "--log", requests_};
        if (tls) {
            argv.insert(argv.end(), {"--tls", RL_TEST_CERT_DIR "/server.pem", RL_TEST_CERT_DIR "/server.key"});
        }
        process_ = std::make_unique<linuxtest::Child>(argv, std::map<std::string, std::string>{}, true);
        if (const auto line = process_->ReadLine(kDeadline); line && line->rfind("PORT ", 0) == 0)
            port_ = std::atoi(line->c_str() + 5);
    }
    int Port() const { return port_; }
    // One "METHOD TARGET" line per request, in order.
    std::string Requests() const { return ReadText(requests_); }

private:
    std::string requests_;
    std::unique_ptr<linuxtest::Child> process_;
    int port_ = 0;
};

// The display as the test sees it. There is no window manager on the test
// display, so the program's windows are children of the root.
class Screen {
public:
    Screen() {
        linuxtest::WaitFor([&] { return (d_ = XOpenDisplay(linuxtest::ServiceEnv("DISPLAY").c_str())) != nullptr; },
                           10s);
    }
    ~Screen() {
        if (d_ != nullptr) XCloseDisplay(d_);
    }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;
    bool Open() const { return d_ != nullptr; }

    // The viewable top-level window of that process with exactly that
    // title; 0 if none.
    Window Find(pid_t pid, const std::string& title) {
        XSync(d_, False);
        const Atom pidAtom = XInternAtom(d_, "_NET_WM_PID", False);
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (XQueryTree(d_, DefaultRootWindow(d_), &root, &parent, &children, &count) == 0) return 0;
        for (unsigned i = 0; i < count && found == 0; ++i) {
            char* name = nullptr;
            const bool named = XFetchName(d_, children[i], &name) != 0 && name != nullptr && title == name;
            if (name != nullptr) XFree(name);
            XWindowAttributes attributes{};
            if (named && PidOf(children[i], pidAtom) == pid && XGetWindowAttributes(d_, children[i], &attributes) != 0 &&
                attributes.map_state == IsViewable)
                found = children[i];
        }
        if (children != nullptr) XFree(children);
        return found;
    }

    // Pixels of the window that are clearly red: the notes' letters.
    int RedPixels(Window w) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(d_, w, &attributes) == 0) return -1;
        XImage* image = XGetImage(d_, w, 0, 0, static_cast<unsigned>(attributes.width),
                                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
        if (image == nullptr) return -1;
        int red = 0;
        for (int y = 0; y < image->height; ++y) {
            for (int x = 0; x < image->width; ++x) {
                const unsigned long pixel = XGetPixel(image, x, y);
                const unsigned r = (pixel & image->red_mask) >> 16;
                const unsigned g = (pixel & image->green_mask) >> 8;
                const unsigned b = pixel & image->blue_mask;
                if (r > 200 && g < 80 && b < 80) ++red;
            }
        }
        XDestroyImage(image);
        return red;
    }

private:
    pid_t PidOf(Window w, Atom pidAtom) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        pid_t pid = -1;
        if (XGetWindowProperty(d_, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after, &data) ==
                Success &&
            data != nullptr && items == 1 && format == 32)
            pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
        if (data != nullptr) XFree(data);
        return pid;
    }

    Display* d_ = nullptr;
};

class UpdateCheckProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(linuxtest::ServiceEnv("DISPLAY").empty());
        ASSERT_FALSE(linuxtest::ServiceEnv("RL_TEST_SINK").empty());
        ASSERT_TRUE(screen_.Open());
        fs::create_directories(Path("runtime"));
        chmod(Path("runtime").c_str(), 0700);
        WriteText(Path("server/RestLevel.rtf"), kNotes);
        WriteText(Path("server/") + kPackage, "a zlib stream; only its time counts here");
        exeTime_ = ModifiedSeconds(RL_RESTLEVEL);
        ASSERT_GT(exeTime_, 0);
    }

    std::string Path(const std::string& name) const { return folder_.Path() + "/" + name; }
    std::string LogFile() const { return Path("cache/restlevel/tmp/RestLevel Update.log"); }

    // A first run of the program (the settings window opens once it is
    // created) for this server address; nullopt: the variable is unset.
    std::unique_ptr<linuxtest::Child> Start(std::optional<std::string> server) {
        std::map<std::string, std::string> env{
            {"XDG_CONFIG_HOME", Path("config")},
            {"XDG_CACHE_HOME", Path("cache")},
            {"XDG_RUNTIME_DIR", Path("runtime")},
            {"SSL_CERT_FILE", RL_TEST_CERT_DIR "/ca.pem"},
        };
        if (server) env["RESTLEVEL_UPDATE_SERVER"] = *server;
        auto program = std::make_unique<linuxtest::Child>(std::vector<std::string>{RL_RESTLEVEL}, env, true);
        EXPECT_TRUE(program->Started());
        return program;
    }

    Window WaitForWindow(const linuxtest::Child& program, const std::string& title) {
        Window w = 0;
        linuxtest::WaitFor([&] { return (w = screen_.Find(program.Pid(), title)) != 0; }, kDeadline);
        return w;
    }

    static std::string Lines(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) text += line + "\r\n";
        return text;
    }

    // A date-time in the log's form, in UTC.
    static std::string LogTime(std::int64_t seconds) {
        const time_t t = static_cast<time_t>(seconds);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
        return text;
    }

    linuxtest::TempDir folder_;
    Screen screen_;
    std::int64_t exeTime_ = 0;
};

TEST_F(UpdateCheckProgramTest, ANewerPackageShowsTheNotesAndEscapeLetsTheProgramRunOn) {
    SetModified(Path("server/") + kPackage, exeTime_ + 3600);
    UpdateServer server(Path("server"), true);
    ASSERT_GT(server.Port(), 0);
    auto program = Start("https://127.0.0.1:" + std::to_string(server.Port()) + "/");

    const Window notes = WaitForWindow(*program, kNotesWindow);
    ASSERT_NE(notes, 0u) << "no release-notes window";
    EXPECT_EQ(screen_.Find(program->Pid(), kMainWindow), 0u) << "the settings window waits for the answer";
    EXPECT_TRUE(linuxtest::WaitFor([&] { return screen_.RedPixels(notes) > 200; }, kDeadline))
        << "the notes' red letters are not on the screen";
    EXPECT_EQ(server.Requests(), "HEAD /linux-x86_64/restlevel.zbin\nGET /RestLevel.rtf\n");
    EXPECT_EQ(ReadText(LogFile()), Lines({"Check File restlevel.zbin ... " + LogTime(exeTime_ + 3600) +
                                              " Needs update from local copy " + LogTime(exeTime_),
                                          "An update is available and can be installed."}));

    // Escape answers No; the start goes on to the settings window.
    const auto key = linuxtest::Run("xdotool windowfocus --sync " + std::to_string(notes) + " key Escape");
    EXPECT_EQ(key.status, 0);
    EXPECT_TRUE(linuxtest::WaitFor([&] { return screen_.Find(program->Pid(), kNotesWindow) == 0; }, kDeadline))
        << "the notes stay open";
    EXPECT_NE(WaitForWindow(*program, kMainWindow), 0u) << "the program did not run on";
    EXPECT_EQ(kill(program->Pid(), 0), 0) << "the program ended";
}

// A session that ends while the notes wait for an answer takes the program
// with it.
TEST_F(UpdateCheckProgramTest, AnEndSignalWhileTheNotesWaitEndsTheStart) {
    SetModified(Path("server/") + kPackage, exeTime_ + 3600);
    UpdateServer server(Path("server"), false);
    ASSERT_GT(server.Port(), 0);
    auto program = Start("http://127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_NE(WaitForWindow(*program, kNotesWindow), 0u);
    kill(program->Pid(), SIGTERM);
    const auto ended = [&] {
        const std::string stat = ReadText("/proc/" + std::to_string(program->Pid()) + "/stat");
        const std::size_t close = stat.rfind(')');
        return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    };
    if (!linuxtest::WaitFor(ended, kDeadline)) {
        ADD_FAILURE() << "the program waits for an answer nobody gives";
        program->Kill(SIGKILL);
        return;
    }
    EXPECT_EQ(screen_.Find(program->Pid(), kMainWindow), 0u);
}

TEST_F(UpdateCheckProgramTest, APackageOfTheProgramsOwnTimeShowsNothing) {
    SetModified(Path("server/") + kPackage, exeTime_);
    UpdateServer server(Path("server"), false);
    ASSERT_GT(server.Port(), 0);
    auto program = Start("http://127.0.0.1:" + std::to_string(server.Port()));

    // The check is done before the settings window opens.
    ASSERT_NE(WaitForWindow(*program, kMainWindow), 0u);
    EXPECT_EQ(screen_.Find(program->Pid(), kNotesWindow), 0u);
    EXPECT_EQ(ReadText(LogFile()), Lines({"Check File restlevel.zbin ... " + LogTime(exeTime_) +
                                              " Up-to-date Local @ " + LogTime(exeTime_),
                                          "Software is already up-to-date."}));
    EXPECT_EQ(server.Requests(), "HEAD /linux-x86_64/restlevel.zbin\nGET /RestLevel.rtf\n");
}

TEST_F(UpdateCheckProgramTest, AServerThatCannotBeReachedDoesNotStopTheStart) {
    // A port that was just free: nobody listens there.
    int closedPort = 0;
    {
        UpdateServer gone(Path("server"), false);
        closedPort = gone.Port();
    }
    ASSERT_GT(closedPort, 0);
    auto program = Start("http://127.0.0.1:" + std::to_string(closedPort));
    ASSERT_NE(WaitForWindow(*program, kMainWindow), 0u);
    EXPECT_EQ(screen_.Find(program->Pid(), kNotesWindow), 0u);
    const std::string log = ReadText(LogFile());
    EXPECT_EQ(log.rfind("Check File restlevel.zbin ... Could not check restlevel.zbin: HTTP 0 ", 0), 0u) << log;
    EXPECT_NE(log.find("\r\nUpdate cannot be installed; one or more error conditions prevent updating.\r\n"),
              std::string::npos)
        << log;
}

TEST_F(UpdateCheckProgramTest, AnEmptyServerAddressTurnsTheCheckOff) {
    auto program = Start(std::string());
    ASSERT_NE(WaitForWindow(*program, kMainWindow), 0u);
    EXPECT_FALSE(fs::exists(Path("cache"))) << "no check, no log, not even the folder";
}

}  // namespace
}  // namespace rl

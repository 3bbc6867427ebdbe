#include "tests/linux/LinuxTestSupport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/ErrorCodes.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"

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

extern char** environ;

namespace rl::linuxtest {

namespace {

// The adapters' timers and pump need a Qt application object, as the
// program has one.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "rl_linux_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

std::string ServiceEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        ADD_FAILURE() << name << " is not set: start the test services (tests/support/services.sh start DIR) "
                      << "and source DIR/env";
        return {};
    }
    return value;
}

SpawnArrays::SpawnArrays(const std::vector<std::string>& argv, const EnvChanges& changes) : argStrings_(argv) {
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (changes.count(entry.substr(0, entry.find('='))) == 0) envStrings_.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (value) envStrings_.push_back(name + "=" + *value);
    for (auto& a : argStrings_) args_.push_back(a.data());
    args_.push_back(nullptr);
    for (auto& e : envStrings_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
}

CommandResult Run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Child::Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv, bool quiet) {
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    const SpawnArrays arrays(argv, EnvChanges(extraEnv.begin(), extraEnv.end()));
    pid_t pid = -1;
    if (posix_spawnp(&pid, arrays.Argv()[0], &actions, nullptr, arrays.Argv(), arrays.Envp()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
}

Child::~Child() { Stop(); }

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto eol = buffer_.find('\n');
        if (eol != std::string::npos) {
            std::string line = buffer_.substr(0, eol);
            buffer_.erase(0, eol + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0) return std::nullopt;
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[1024];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool Child::WriteLine(const std::string& line) {
    if (in_ < 0) return false;
    // A child that has ended would raise SIGPIPE and end the tests: the
    // signal is held back for the write and taken if it came.
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    const std::string data = line + "\n";
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(in_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done < data.size()) {
        const timespec none{};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return done == data.size();
}

void Child::Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void Child::Stop() {
    if (in_ >= 0) close(in_);
    in_ = -1;
    Kill(SIGTERM);
    if (out_ >= 0) close(out_);
    out_ = -1;
}

TestWindows StartTestWindows(const std::vector<std::string>& windows, const std::string& program) {
    TestWindows result;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), windows.begin(), windows.end());
    result.process = std::make_unique<Child>(argv);
    while (auto line = result.process->ReadLine(std::chrono::seconds(20))) {
        if (*line == "ready") return result;
        std::size_t index = 0;
        unsigned long id = 0;
        if (std::sscanf(line->c_str(), "window %zu %lu", &index, &id) == 2) result.ids.push_back(id);
    }
    ADD_FAILURE() << "the test window program did not start";
    return result;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<unsigned> SinkVolumes(const std::string& sink) {
    std::vector<unsigned> volumes;
    const CommandResult r = Run("pactl get-sink-volume '" + sink + "' 2>/dev/null");
    if (r.status != 0) return volumes;
    // "Volume: front-left: 39322 /  60% / -13.31 dB,   front-right: ...":
    // each channel's raw value follows ": " and precedes " /".
    const std::string line = r.output.substr(0, r.output.find('\n'));
    for (std::size_t pos = line.find(": "); pos != std::string::npos; pos = line.find(": ", pos + 1)) {
        std::size_t i = pos + 2, end = i;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
        if (end > i && line.compare(end, 2, " /") == 0) volumes.push_back(static_cast<unsigned>(std::stoul(line.substr(i, end - i))));
    }
    return volumes;
}

bool SetSinkVolumes(const std::string& sink, const std::string& volumes) {
    return Run("pactl set-sink-volume '" + sink + "' " + volumes + " 2>&1").status == 0;
}

std::string RealPath(const std::string& path) {
    std::error_code ec;
    const auto p = std::filesystem::canonical(path, ec);
    return ec ? std::string() : p.string();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rl-linux-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TestBus::TestBus(const std::string& socket, const std::string& folder, const std::vector<std::string>& runAs) {
    if (folder.empty()) temp_ = std::make_unique<TempDir>();
    folder_ = folder.empty() ? temp_->Path() : folder;
    // A bus left behind at the same address by an earlier one.
    if (!socket.empty()) std::remove(socket.c_str());
    std::filesystem::create_directories(folder_ + "/services");
    WriteFile(folder_ + "/bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>" + (socket.empty() ? "unix:dir=" + folder_ : "unix:path=" + socket) + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <servicedir>" + folder_ + "/services</servicedir>\n"
              "  <policy context=\"default\">\n"
              "    <allow user=\"root\"/>\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n");
    std::vector<std::string> argv = runAs;
    argv.insert(argv.end(), {"dbus-daemon", "--config-file=" + folder_ + "/bus.conf", "--nofork", "--print-address"});
    daemon_ = std::make_unique<Child>(argv);
    address_ = daemon_->ReadLine(std::chrono::seconds(10)).value_or("");
    EXPECT_TRUE(Started()) << "the session bus did not start";
}

std::string TestBus::Startable(const std::string& name) const {
    const std::string marker = Path(name + ".started");
    WriteFile(Path("services/" + name + ".service"),
              "[D-BUS Service]\nName=" + name + "\nExec=/usr/bin/touch " + marker + "\n");
    return marker;
}

void TestBus::Stop() {
    if (daemon_) daemon_->Stop();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::int64_t ModifiedSeconds(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtim.tv_sec) : 0;
}

void SetModified(const std::string& path, std::int64_t seconds) {
    const timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

void FilesAdapterTest::SetUp() {
    ASSERT_FALSE(temp.Path().empty());
    SetFileSystemPort(port.get());
    SetTextSystemPort(text.get());
    ResetFileError();
}

void FilesAdapterTest::TearDown() {
    SetFileSystemPort(nullptr);
    SetTextSystemPort(nullptr);
    linuxerr::SetThreadLastError(0);
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string LogTime(std::int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string TestCert(const std::string& name) { return std::string(RL_TEST_CERT_DIR "/") + name; }

std::vector<std::string> ServerCert() { return {TestCert("server.pem"), TestCert("server.key")}; }

std::map<std::string, std::string> UserEnv(const std::string& folder) {
    std::filesystem::create_directories(folder + "/runtime");
    chmod((folder + "/runtime").c_str(), 0700);
    return {
        {"XDG_CONFIG_HOME", folder + "/config"},
        {"XDG_CACHE_HOME", folder + "/cache"},
        {"XDG_RUNTIME_DIR", folder + "/runtime"},
        {"SSL_CERT_FILE", TestCert("ca.pem")},
    };
}

TestServer::TestServer(const std::string& root, const std::vector<std::string>& tls, const std::string& log)
    : log_(log), secure_(!tls.empty()) {
    std::vector<std::string> argv{"python3", RL_SOURCE_DIR "/tests/support/http_server.py", "--root", root};
    if (!log.empty()) argv.insert(argv.end(), {"--log", log});
    if (secure_) {
        argv.push_back("--tls");
        argv.insert(argv.end(), tls.begin(), tls.end());
    }
    process_ = std::make_unique<Child>(argv);
    // Generous: the machine is shared.
    if (const auto line = process_->ReadLine(std::chrono::seconds(30)); line && line->rfind("PORT ", 0) == 0)
        port_ = std::atoi(line->c_str() + 5);
}

std::string TestServer::Url(const std::string& path) const {
    return std::string(secure_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void TestServer::Die() { process_->Kill(SIGKILL); }

namespace {

// Windows may go away between the listing and the questions about them (a
// program ending or restarting): the error then means "not that window",
// not the end of the whole test run, as Xlib's default handler would have it.
class IgnoredXErrors {
public:
    explicit IgnoredXErrors(Display* d) : d_(d), previous_(XSetErrorHandler(Ignore)) {}
    ~IgnoredXErrors() {
        XSync(d_, False);  // the errors of the requests so far arrive here
        XSetErrorHandler(previous_);
    }
    IgnoredXErrors(const IgnoredXErrors&) = delete;
    IgnoredXErrors& operator=(const IgnoredXErrors&) = delete;

private:
    static int Ignore(Display*, XErrorEvent*) { return 0; }
    Display* d_;
    XErrorHandler previous_;
};

}  // namespace

Screen::Screen(const std::string& display) {
    linuxtest::WaitFor([&] { return (d_ = XOpenDisplay(display.c_str())) != nullptr; }, std::chrono::seconds(10));
}

Screen::~Screen() {
    if (d_ != nullptr) XCloseDisplay(d_);
}

unsigned long Screen::Find(pid_t pid, const std::string& title) {
    XSync(d_, False);
    const IgnoredXErrors ignored(d_);
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

unsigned long Screen::WaitFor(pid_t pid, const std::string& title, std::chrono::milliseconds timeout) {
    Window w = 0;
    linuxtest::WaitFor([&] { return (w = Find(pid, title)) != 0; }, timeout);
    return w;
}

bool Screen::Viewable(unsigned long w) {
    const IgnoredXErrors ignored(d_);
    XWindowAttributes attributes{};
    XSync(d_, False);
    return XGetWindowAttributes(d_, w, &attributes) != 0 && attributes.map_state == IsViewable;
}

std::pair<int, int> Screen::Size(unsigned long w) {
    const IgnoredXErrors ignored(d_);
    XWindowAttributes attributes{};
    XGetWindowAttributes(d_, w, &attributes);
    return {attributes.width, attributes.height};
}

std::pair<int, int> Screen::RootSize() {
    const ::Screen* screen = DefaultScreenOfDisplay(d_);
    return {WidthOfScreen(screen), HeightOfScreen(screen)};
}

NullSource::NullSource(const std::string& name) {
    const CommandResult loaded = Run("pactl load-module module-null-source source_name=" + name);
    if (loaded.status != 0) return;
    module_ = loaded.output;
    while (!module_.empty() && (module_.back() == '\n' || module_.back() == ' ')) module_.pop_back();
}

NullSource::~NullSource() {
    if (!module_.empty()) Run("pactl unload-module " + module_);
}

void Screen::SendClose(unsigned long w) {
    const IgnoredXErrors ignored(d_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = XInternAtom(d_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(d_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d_, w, False, NoEventMask, &event);
    XFlush(d_);
}

int Screen::RedPixels(unsigned long w) {
    const IgnoredXErrors ignored(d_);
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

bool Screen::Press(unsigned long w, const std::string& key) {
    return Run("xdotool windowfocus --sync " + std::to_string(w) + " key " + key).status == 0;
}

pid_t Screen::PidOf(unsigned long w, unsigned long pidAtom) {
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

}  // namespace rl::linuxtest

// Helpers of the Linux integration tests: child processes, shell commands,
// waiting with a deadline, the services' environment, the test display, the
// loopback test server, and whole files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/TextSystem.h"

// Xlib's display, without Xlib's macros in every test.
struct _XDisplay;

namespace rl::linuxtest {

// The value of an environment variable the test services set; empty when
// missing (the tests then fail and say which one).
std::string ServiceEnv(const char* name);

// The variables a start changes: a value sets, nullopt removes.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// What posix_spawn takes: the arguments, and this process's environment with
// the changes made, as null-ended arrays into strings of its own.
class SpawnArrays {
public:
    SpawnArrays(const std::vector<std::string>& argv, const EnvChanges& changes);
    SpawnArrays(const SpawnArrays&) = delete;
    SpawnArrays& operator=(const SpawnArrays&) = delete;
    char* const* Argv() const { return args_.data(); }
    char* const* Envp() const { return envp_.data(); }

private:
    std::vector<std::string> argStrings_;
    std::vector<std::string> envStrings_;
    std::vector<char*> args_;
    std::vector<char*> envp_;
};

struct CommandResult {
    int status = -1;  // exit code, -1 when it did not exit normally
    std::string output;
};
// Runs a shell command and collects its standard output.
CommandResult Run(const std::string& command);

// A child process with pipes on its standard input and output; the
// destructor terminates and reaps it.
class Child {
public:
    // extraEnv entries replace or add variables for the child only; a quiet
    // child's standard error goes to /dev/null.
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv = {},
          bool quiet = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0; }
    // One line of output without its newline; nullopt on end or time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Writes the line and a newline to its input; false when it cannot
    // take it (it has ended).
    bool WriteLine(const std::string& line);
    // Sends a signal and waits for the child to end.
    void Kill(int signal);
    // Closes its input, terminates it and waits until it is reaped.
    void Stop();

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// The test window program (or a copy of it under another name): one window
// per description (see its source).
struct TestWindows {
    std::unique_ptr<Child> process;
    std::vector<unsigned long> ids;
};
TestWindows StartTestWindows(const std::vector<std::string>& windows, const std::string& program = RL_TEST_WINDOW);

// Polls the condition, pumping Qt events in between, until it holds or the
// time-out runs out; returns the last result.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Channel volumes of a sink as pactl reports them (raw PulseAudio units).
std::vector<unsigned> SinkVolumes(const std::string& sink);
bool SetSinkVolumes(const std::string& sink, const std::string& volumes);

// A file path resolved as the kernel resolves an executable's path.
std::string RealPath(const std::string& path);

// A fresh temporary folder, removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Sets an environment variable for the scope; the old value comes back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);  // value null: unset
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A session bus daemon of the test's own; it ends with the object. Its
// configuration and its service folder ("services", empty unless a test puts
// a service there) are in `folder`, a temporary folder of its own when none
// is given. It listens at the socket (a path), or in that folder without
// one. runAs: a command prefix that starts it as another user, who must be
// able to read the folder; root may connect as well, so that the test
// process can ask that user's services.
class TestBus {
public:
    explicit TestBus(const std::string& socket = {}, const std::string& folder = {},
                     const std::vector<std::string>& runAs = {});
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;
    bool Started() const { return !address_.empty(); }
    // DBUS_SESSION_BUS_ADDRESS for its clients.
    const std::string& Address() const { return address_; }
    // A file in the bus's folder.
    std::string Path(const std::string& name) const { return folder_ + "/" + name; }
    // Makes the name startable by the bus, with a program that only touches
    // a file; that file's path (it exists once the bus started the service).
    std::string Startable(const std::string& name) const;
    void Stop();

private:
    std::unique_ptr<TempDir> temp_;
    std::string folder_;
    std::string address_;
    std::unique_ptr<Child> daemon_;
};

// A whole file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes the bytes as the whole file, making its folders first.
void WriteFile(const std::string& path, const std::string& content);
// A file's modification time in whole seconds since 1970; 0 without the file.
std::int64_t ModifiedSeconds(const std::string& path);
// Sets a file's access and modification times to whole seconds since 1970.
void SetModified(const std::string& path, std::int64_t seconds);

// Tests over the Linux files adapter: it and the text system are the ports,
// and each test has a fresh temporary folder.
class FilesAdapterTest : public ::testing::Test {
protected:
    std::unique_ptr<IFileSystem> port = CreateFileSystem();
    std::unique_ptr<ITextSystem> text = CreateTextSystem();
    TempDir temp;

    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return temp.Path() + "/" + name; }
};

// Lines as the update log writes them, each ended by CR LF.
std::string Lines(const std::vector<std::string>& lines);
// A date-time in the update log's form, in UTC.
std::string LogTime(std::int64_t seconds);

// A file of the test CA that tests/support/make_test_ca.sh made: "ca.pem",
// "server.pem", "untrusted.key"...
std::string TestCert(const std::string& name);
// The certificate and key that the test CA made for 127.0.0.1.
std::vector<std::string> ServerCert();

// The variables of a program a test starts as a user would: the user's
// folders below `folder` (config, cache, and runtime, made private here)
// and trust in the test CA.
std::map<std::string, std::string> UserEnv(const std::string& folder);

// The loopback test server (tests/support/http_server.py) over a folder, on
// a free port; it ends with the object.
class TestServer {
public:
    // tls: a certificate and its key, none for plain HTTP; log: a file that
    // gets one "METHOD TARGET" line per request, none for no log.
    explicit TestServer(const std::string& root, const std::vector<std::string>& tls = {},
                        const std::string& log = {});
    int Port() const { return port_; }  // 0 when it did not start
    // "http(s)://127.0.0.1:PORT" and the path.
    std::string Url(const std::string& path = "") const;
    // The request log's lines, in order.
    std::string Requests() const { return ReadFile(log_); }
    // Dies as a server does on a crash or a power cut: at once, mid-answer.
    void Die();

private:
    std::string log_;
    bool secure_ = false;
    std::unique_ptr<Child> process_;
    int port_ = 0;
};

// The test display through Xlib. There is no window manager on it, so the
// programs' top-level windows are children of the root. Windows are X ids.
// A null source (a microphone that hears nothing) loaded into the test sound
// server for the object's lifetime.
class NullSource {
public:
    explicit NullSource(const std::string& name);
    ~NullSource();
    NullSource(const NullSource&) = delete;
    NullSource& operator=(const NullSource&) = delete;
    bool Loaded() const { return !module_.empty(); }

private:
    std::string module_;
};

class Screen {
public:
    // Retried for a while: the server may be resetting after its last
    // client (an earlier test's) left.
    explicit Screen(const std::string& display = ServiceEnv("DISPLAY"));
    ~Screen();
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;
    bool Open() const { return d_ != nullptr; }

    // The viewable top-level window of that process with exactly that
    // title; 0 if none.
    unsigned long Find(pid_t pid, const std::string& title);
    unsigned long WaitFor(pid_t pid, const std::string& title,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool Viewable(unsigned long w);
    std::pair<int, int> Size(unsigned long w);
    // The screen's size (the root window's).
    std::pair<int, int> RootSize();
    // What a window manager sends when the user clicks the close box.
    void SendClose(unsigned long w);
    // Pixels of the window that are clearly red; -1 when it cannot be read.
    int RedPixels(unsigned long w);
    // Focuses the window and presses the key (xdotool's names).
    static bool Press(unsigned long w, const std::string& key);

private:
    pid_t PidOf(unsigned long w, unsigned long pidAtom);

    _XDisplay* d_ = nullptr;
};

}  // namespace rl::linuxtest

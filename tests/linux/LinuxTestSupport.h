// Helpers of the Linux integration tests: child processes, shell commands,
// waiting with a deadline, and the services' environment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rl::linuxtest {

// The value of an environment variable the test services set; empty when
// missing (the tests then fail and say which one).
std::string ServiceEnv(const char* name);

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

}  // namespace rl::linuxtest

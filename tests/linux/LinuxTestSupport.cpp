#include "tests/linux/LinuxTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

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

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (extraEnv.count(key) == 0) env.push_back(entry);
    }
    for (const auto& [key, value] : extraEnv) env.push_back(key + "=" + value);
    std::vector<char*> envp, args;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) pid_ = pid;
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

}  // namespace rl::linuxtest

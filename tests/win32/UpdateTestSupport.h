// Helpers of the Windows tests that reach the loopback test server
// (tests/support/http_server.py, a Unix program) and drive the real
// programs' update windows under Wine.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rl::win32test {

bool RunningUnderWine();

// A path in the source tree (a Unix path); `below` starts with "/".
std::string SourcePath(const std::string& below);

// Wine's own path conversions (kernel32 exports them under Wine only);
// empty when they are not there.
std::string UnixPathOf(const std::string& windowsPath);
std::string WindowsPathOf(const std::string& unixPath);

// A Python script run as a Unix program through Wine, which hands back no
// process handle nor our pipes: tied to a socket of ours (run_tethered.py),
// on which it writes its output and which closes when it ends; closing our
// end ends it, and so does the end of this process.
class TetheredScript {
public:
    // The script's Unix path and its arguments, as one command line that Wine
    // splits by Windows rules.
    explicit TetheredScript(const std::string& scriptAndArguments);
    ~TetheredScript();
    TetheredScript(const TetheredScript&) = delete;
    TetheredScript& operator=(const TetheredScript&) = delete;

    // One line of its output without its end; nullopt at the end.
    std::optional<std::string> ReadLine();
    // Ends the script at once.
    void Close();

private:
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET tether_ = INVALID_SOCKET;
};

struct UnixResult {
    int status = -1;  // the exit code; -1 when it did not run
    std::string output;
};

// Runs a Unix command to its end, its output and error read together.
UnixResult RunUnix(const std::vector<std::string>& argv);

// Starts a Unix program and does not wait for it; false when Wine cannot.
bool StartUnixProgram(const std::string& commandLine);

// The loopback test server over a folder (a Unix path), tethered to the test.
class LoopbackServer {
public:
    struct Options {
        std::string log;       // the request log (a Unix path); none when empty
        std::string tlsCert;   // HTTPS with this certificate and key when given
        std::string tlsKey;
    };
    explicit LoopbackServer(const std::string& unixRoot, const Options& options = {});

    // 0 when the server did not start.
    int Port() const { return port_; }
    // Dies at once, mid-answer if it is answering.
    void Die() { process_.Close(); }

private:
    TetheredScript process_;
    int port_ = 0;
};

// The HTTPS options with the test CA's server certificate.
LoopbackServer::Options TrustedServer(const std::string& log = "");
// The HTTPS options with a certificate of a CA nobody trusts.
LoopbackServer::Options UntrustedServer();

// The test CA in the current user's "ROOT" store while the object lives;
// WinInet then trusts the test server's certificate.
class TrustedTestCa {
public:
    TrustedTestCa();
    ~TrustedTestCa();
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;
    bool Added() const { return added_; }

private:
    std::string der_;
    bool added_ = false;
};

// An environment variable of this process, which the programs it starts
// inherit, for the life of the object; null: removed.
class ScopedVariable {
public:
    ScopedVariable(const std::string& name, const char* value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A visible top-level window of that class in that process; null if none.
HWND VisibleWindowOf(DWORD processId, const char* windowClass);

// A window's caption (also another process's).
std::string CaptionOf(HWND window);

// A real key press through the X server, with xdotool; true once the window
// has gone.
bool PressKeyToClose(HWND window, const std::string& title, const std::string& key);

// A whole file; empty when it cannot be read.
std::string ReadText(const std::string& path);
// Writes a whole file, making its folders.
void WriteText(const std::string& path, const std::string& text);

// A file's last-write time as a file time; 0 when it cannot be read.
std::uint64_t LastWrite(const std::string& path);
bool SetLastWrite(const std::string& path, std::uint64_t fileTime);
// A file time in the update log's form "yyyy-mm-dd hh:nn:ss" (UTC, seconds cut).
std::string LogTime(std::uint64_t fileTime);

// Bodies compared by size and first difference: printing them helps nobody.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected);

}  // namespace rl::win32test

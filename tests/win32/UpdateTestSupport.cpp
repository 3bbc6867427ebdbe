#include "tests/win32/UpdateTestSupport.h"

#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/win32/Win32TestSupport.h"

#ifndef RL_SOURCE_DIR
#error "RL_SOURCE_DIR names the source tree (a Unix path)"
#endif
#ifndef RL_TEST_CERT_DIR
#error "RL_TEST_CERT_DIR names the folder of make_test_ca.sh's certificates (a Unix path)"
#endif

namespace rl::win32test {

using namespace std::chrono_literals;

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Starting a Unix program through Wine can take a while on a busy machine.
constexpr long kTetherSeconds = 90;

}  // namespace

bool RunningUnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

std::string SourcePath(const std::string& below) { return RL_SOURCE_DIR + below; }

std::string UnixPathOf(const std::string& windowsPath) {
    using Fn = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return std::string();
    std::wstring wide(windowsPath.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* unix = convert(wide.c_str());
    if (unix == nullptr) return std::string();
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

std::string WindowsPathOf(const std::string& unixPath) {
    using Fn = WCHAR*(CDECL*)(LPCSTR);
    const auto convert = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
    if (convert == nullptr) return std::string();
    WCHAR* dos = convert(unixPath.c_str());
    if (dos == nullptr) return std::string();
    std::string result(WideCharToMultiByte(CP_ACP, 0, dos, -1, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_ACP, 0, dos, -1, result.data(), static_cast<int>(result.size()), nullptr, nullptr);
    HeapFree(GetProcessHeap(), 0, dos);
    return result.c_str();
}

TetheredScript::TetheredScript(const std::string& scriptAndArguments) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    started_ = true;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    // Wine splits the command line into the Unix program's arguments by
    // Windows rules; the paths stay Unix paths.
    std::string line = Quoted(WindowsPathOf("/usr/bin/python3")) + " " +
                       Quoted(RL_SOURCE_DIR "/tests/win32/helpers/run_tethered.py") + " " +
                       std::to_string(ntohs(address.sin_port)) + " " + scriptAndArguments;
    if (!StartUnixProgram(line)) return;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener_, &ready);
    timeval timeout{kTetherSeconds, 0};
    if (select(0, &ready, nullptr, nullptr, &timeout) != 1) return;
    tether_ = accept(listener_, nullptr, nullptr);
}

TetheredScript::~TetheredScript() {
    Close();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (started_) WSACleanup();
}

std::optional<std::string> TetheredScript::ReadLine() {
    std::string text;
    char c = 0;
    while (tether_ != INVALID_SOCKET && recv(tether_, &c, 1, 0) == 1) {
        if (c == '\n') return text;
        text += c;
    }
    if (text.empty()) return std::nullopt;
    return text;
}

void TetheredScript::Close() {
    if (tether_ != INVALID_SOCKET) closesocket(tether_);
    tether_ = INVALID_SOCKET;
}

UnixResult RunUnix(const std::vector<std::string>& argv) {
    std::string line = Quoted(RL_SOURCE_DIR "/tests/win32/helpers/run_command.py");
    for (const std::string& a : argv) line += " " + Quoted(a);
    TetheredScript command(line);
    UnixResult result;
    while (const std::optional<std::string> text = command.ReadLine()) {
        if (text->rfind("EXIT ", 0) == 0) result.status = std::atoi(text->c_str() + 5);
        else result.output += *text + "\n";
    }
    return result;
}

bool StartUnixProgram(const std::string& commandLine) {
    std::string line = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    // What Wine hands back for a Unix program is not ours to close: closing
    // it closed a socket of ours (the tether's listener, made just before,
    // which select then called no socket). It is left as it is.
    return true;
}

namespace {

std::string ServerCommand(const std::string& unixRoot, const LoopbackServer::Options& options) {
    std::string line = Quoted(RL_SOURCE_DIR "/tests/support/http_server.py") + " --root " + Quoted(unixRoot);
    if (!options.log.empty()) line += " --log " + Quoted(options.log);
    if (!options.tlsCert.empty()) line += " --tls " + Quoted(options.tlsCert) + " " + Quoted(options.tlsKey);
    return line;
}

}  // namespace

LoopbackServer::LoopbackServer(const std::string& unixRoot, const Options& options)
    : process_(ServerCommand(unixRoot, options)) {
    // "PORT <n>" once the server listens.
    if (const auto line = process_.ReadLine(); line && line->rfind("PORT ", 0) == 0)
        port_ = std::atoi(line->c_str() + 5);
}

LoopbackServer::Options TrustedServer(const std::string& log) {
    return {log, RL_TEST_CERT_DIR "/server.pem", RL_TEST_CERT_DIR "/server.key"};
}

LoopbackServer::Options UntrustedServer() {
    return {"", RL_TEST_CERT_DIR "/untrusted.pem", RL_TEST_CERT_DIR "/untrusted.key"};
}

namespace {

// The registry's store itself rather than the system store: through the
// system store Wine forgets a deletion when the store closes.
HCERTSTORE OpenRoot() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
}

}  // namespace

TrustedTestCa::TrustedTestCa() {
    std::ifstream in(WindowsPathOf(RL_TEST_CERT_DIR "/ca.der"), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    der_ = bytes.str();
    if (der_.empty()) return;
    HCERTSTORE store = OpenRoot();
    if (store == nullptr) return;
    added_ = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                              static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr) != FALSE;
    // Closing the store writes the certificate into the registry.
    CertCloseStore(store, 0);
}

TrustedTestCa::~TrustedTestCa() {
    if (!added_) return;
    HCERTSTORE store = OpenRoot();
    if (store == nullptr) return;
    if (PCCERT_CONTEXT ca = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                                         static_cast<DWORD>(der_.size()))) {
        if (PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr))
            CertDeleteCertificateFromStore(found);  // frees found
        CertFreeCertificateContext(ca);
    }
    CertCloseStore(store, 0);
}

ScopedVariable::ScopedVariable(const std::string& name, const char* value) : name_(name) {
    char old[2048] = {};
    const DWORD length = GetEnvironmentVariableA(name.c_str(), old, sizeof(old));
    if (length > 0 && length < sizeof(old)) old_ = old;
    else if (length == 0 && GetLastError() != ERROR_ENVVAR_NOT_FOUND) old_ = "";
    SetEnvironmentVariableA(name.c_str(), value);
}

ScopedVariable::~ScopedVariable() { SetEnvironmentVariableA(name_.c_str(), old_ ? old_->c_str() : nullptr); }

HWND VisibleWindowOf(DWORD processId, const char* windowClass) { return TopWindowOf(processId, windowClass, true); }

std::string CaptionOf(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

// Wine drops a key that arrives before both sides agree on the window: it is
// made the foreground window first, and xdotool waits for the X focus to be
// on it before it sends the key. A key lost all the same is sent again while
// the window is still there (xdotool finds no window by that title once it
// has gone, and then sends nothing).
bool PressKeyToClose(HWND window, const std::string& title, const std::string& key) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!WaitFor(
                [&] {
                    SetForegroundWindow(window);
                    return !IsWindow(window) || GetForegroundWindow() == window;
                },
                90s))
            return false;
        StartUnixProgram("Z:\\usr\\bin\\xdotool search --onlyvisible --name \"^" + title + "$\" windowfocus --sync %1 key " + key);
        if (WaitFor([&] { return !IsWindow(window); }, 20s)) return true;
    }
    return false;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary) << text;
}

std::uint64_t LastWrite(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool SetLastWrite(const std::string& path, std::uint64_t fileTime) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const FILETIME t{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    const bool ok = SetFileTime(file, nullptr, nullptr, &t) != FALSE;
    CloseHandle(file);
    return ok;
}

std::string LogTime(std::uint64_t fileTime) {
    const FILETIME t{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME s{};
    FileTimeToSystemTime(&t, &s);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute,
                  s.wSecond);
    return text;
}

::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected; the first difference at offset "
                                         << (diff.first - actual.begin());
}

}  // namespace rl::win32test

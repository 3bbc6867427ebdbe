// The whole update road with the real Windows programs under Wine: version 1
// installed in a folder of the test, a loopback HTTPS server
// (tests/support/http_server.py, a Unix program tethered to the test) whose
// folder tools/publish-update.py wrote from version 2 (the same program with
// bytes appended), the release notes, and a test CA in the user's "ROOT"
// store. Version 1 starts, shows the notes, the test presses Enter, and the
// download, the installer and the restart run as a user's would. Then the
// faults on the same road: the server dies mid-download, a damaged package, a
// folder that cannot be written (the elevated run schedules the replacement
// for the restart of Windows, which wineboot -r then performs), a previous
// instance that will not end, the installer killed between two files. Files
// from an update listing take RoadHelper.exe, a program wired as RestLevel.exe
// whose component has a FileListURL. Each test gives the programs a
// temporary folder of its own (TEMP), where the update log and the staging
// live.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/Win32UpdateWindows.h"
#include "platform/win32/Win32Window.h"
#include "tests/win32/UpdateTestSupport.h"
#include "tests/unit/CommandLineCases.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using win32test::EqualsNoCase;
using win32test::WaitFor;
using win32test::CaptionOf;
using win32test::LastWrite;
using win32test::PressKeyToClose;
using win32test::ReadText;
using win32test::RunUnix;
using win32test::SameBytes;
using win32test::ScopedVariable;
using win32test::SetLastWrite;
using win32test::TrustedTestCa;
using win32test::UnixPathOf;
using win32test::UnixResult;
using win32test::VisibleWindowOf;
using win32test::WriteText;

// Starting a Wine process can take a while on a busy machine.
constexpr auto kDeadline = 90s;
// The installer waits 15 s for a previous instance, then 5 s after asking it
// to quit and up to 10 s for it, before it ends it.
constexpr auto kPreviousInstanceDeadline = 150s;

constexpr char kNotes[] = "{\\rtf1\\ansi{\\fonttbl{\\f0 Tahoma;}}\\f0\\fs28\\b Version 2\\b0\\par A quieter rest.\\par}";
// A zone with summer time, as POSIX writes it; Wine takes it from TZ.
constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kWinterNoon = 1768478400;  // 2026-01-15 12:00:00 UTC
constexpr std::int64_t kSummerNoon = 1784116800;  // 2026-07-15 12:00:00 UTC
constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000;

constexpr char kInstalledCorrectly[] = "Update appears to have installed correctly.";
constexpr char kUpToDate[] = "Software is already up-to-date.";
constexpr char kStartNewVersion[] = "Start New Version";
constexpr char kRebootNeeded[] = "New version requires reboot; will not be launched";

std::string BuildFolder() {
    const std::string self = win32test::ModulePath();
    return self.substr(0, self.find_last_of('\\') + 1);
}

// The file as it is now, shared with its writers and with its deletion.
std::string ReadShared(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::uint64_t TicksOf(std::int64_t unixSeconds) {
    return kUnixEpochTicks + static_cast<std::uint64_t>(unixSeconds) * kTicksPerSecond;
}

// A date-time in the log's form, in UTC.
std::string LogTime(std::int64_t unixSeconds) { return win32test::LogTime(TicksOf(unixSeconds)); }

// The test server over the test's server folder, with its request log.
class UpdateServer {
public:
    UpdateServer(const std::string& unixRoot, const std::string& unixRequests)
        : server_(unixRoot, win32test::TrustedServer(unixRequests)) {}
    int Port() const { return server_.Port(); }
    // Wine's WinInet matches the certificate's host by its DNS name.
    std::string Address(const std::string& below = "") const {
        return "https://localhost:" + std::to_string(server_.Port()) + below;
    }
    void Die() { server_.Die(); }

private:
    win32test::LoopbackServer server_;
};

// Processes and windows ---------------------------------------------------------------

struct ProcessInfo {
    DWORD id = 0;
    DWORD parent = 0;
    std::string image;
};

std::string ImageOf(DWORD processId) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) return {};
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof(path);
    const bool ok = QueryFullProcessImageNameA(process, 0, path, &size) != FALSE;
    CloseHandle(process);
    return ok ? std::string(path, size) : std::string();
}

bool Alive(DWORD processId) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

std::vector<ProcessInfo> Processes() {
    std::vector<ProcessInfo> found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (Alive(entry.th32ProcessID))
            found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, ImageOf(entry.th32ProcessID)});
    CloseHandle(snapshot);
    return found;
}

// The arguments of a running program as its C runtime splits them, the
// program itself left out; read from its process parameters.
std::vector<std::string> ArgumentsOf(DWORD processId) {
    using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    std::vector<std::string> argv;
    if (process == nullptr || query == nullptr) return {"(unreadable)"};
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    std::wstring line;
    if (query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) == 0 &&
        ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr) &&
        ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr)) {
        line.resize(parameters.CommandLine.Length / sizeof(wchar_t));
        if (!ReadProcessMemory(process, parameters.CommandLine.Buffer, line.data(), parameters.CommandLine.Length,
                               nullptr))
            line.clear();
    }
    CloseHandle(process);
    int count = 0;
    LPWSTR* split = line.empty() ? nullptr : CommandLineToArgvW(line.c_str(), &count);
    if (split == nullptr) return {"(unreadable)"};
    for (int i = 1; i < count; ++i) {
        std::string narrow;
        for (const wchar_t* c = split[i]; *c != 0; ++c) narrow += static_cast<char>(*c);
        argv.push_back(narrow);
    }
    LocalFree(split);
    return argv;
}

bool StartsWithNoCase(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && EqualsNoCase(text.substr(0, start.size()), start);
}

// What the next restart of Windows does to files
// (PendingFileRenameOperations in the system's registry): pairs of a file
// and its new name, "\??\" before each path, "!" before a new name that
// replaces an existing file, an empty new name for a deletion.
struct PendingRename {
    std::string source;
    std::string target;  // empty: deleted
    bool replace = false;
};

constexpr char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingRenames[] = "PendingFileRenameOperations";

std::vector<std::string> PendingRenameItems() {
    HKEY key = nullptr;
    std::vector<std::string> items;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) return items;
    DWORD size = 0;
    std::string data;
    if (RegQueryValueExA(key, kPendingRenames, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        data.resize(size);
        if (RegQueryValueExA(key, kPendingRenames, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS)
            data.clear();
        data.resize(size);
    }
    RegCloseKey(key);
    // Each item ends with a zero byte, and the list with one more.
    if (!data.empty() && data.back() == '\0') data.pop_back();
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t end = data.find('\0', at);
        items.push_back(data.substr(at, (end == std::string::npos ? data.size() : end) - at));
        at = end == std::string::npos ? data.size() : end + 1;
    }
    return items;
}

std::string WithoutNtPrefix(const std::string& path) { return path.rfind("\\??\\", 0) == 0 ? path.substr(4) : path; }

std::vector<PendingRename> PendingRenames() {
    const std::vector<std::string> items = PendingRenameItems();
    std::vector<PendingRename> renames;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        PendingRename r;
        r.source = WithoutNtPrefix(items[i]);
        std::string target = items[i + 1];
        if (!target.empty() && target[0] == '!') {
            r.replace = true;
            target.erase(0, 1);
        }
        r.target = WithoutNtPrefix(target);
        renames.push_back(r);
    }
    return renames;
}

// Takes the renames and deletions of files below the folder off the list, so
// that no later restart acts on a test's files.
void ForgetPendingRenamesBelow(const std::string& folder) {
    const std::vector<std::string> items = PendingRenameItems();
    std::string kept;
    bool changed = false;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        if (StartsWithNoCase(WithoutNtPrefix(items[i]), folder)) {
            changed = true;
            continue;
        }
        kept += items[i] + '\0' + items[i + 1] + '\0';
    }
    if (!changed) return;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (kept.empty()) {
        RegDeleteValueA(key, kPendingRenames);
    } else {
        kept += '\0';
        RegSetValueExA(key, kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                       static_cast<DWORD>(kept.size()));
    }
    RegCloseKey(key);
}

// The fixture -----------------------------------------------------------------------------

// A program published as two versions: `installed` is version 1, a day older
// than version 2, which the server holds.
struct Versions {
    std::string installed;
    std::string one;
    std::string two;
};

// The download's update log as the installer leaves it: the next start's
// check replaces it, so the test keeps the last text that began as the
// download's did.
class KeptLog {
public:
    KeptLog(std::string path, std::string begin) : path_(std::move(path)), begin_(std::move(begin)) {}
    void Update() {
        const std::string text = ReadShared(path_);
        if (text.rfind(begin_, 0) == 0) text_ = text;
    }
    bool Has(const std::string& text) {
        Update();
        return text_.find(text) != std::string::npos;
    }
    const std::string& Text() const { return text_; }

private:
    std::string path_;
    std::string begin_;
    std::string text_;
};

// The file that the log's "Save to " fragment names for the package of that
// local path.
std::string StagedFor(const std::string& log, const std::string& localPath) {
    const std::size_t named = log.find("(" + localPath + ") ... OK\r\nSave to ");
    if (named == std::string::npos) return {};
    const std::size_t start = log.find("Save to ", named) + 8;
    return log.substr(start, log.find(" ... ", start) - start);
}

// A string value under the current user's key, as it is (reg cannot write
// the line ends of a statement).
bool SetUserString(const std::string& key, const char* name, const std::string& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const bool ok = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return ok;
}

class UpdateRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ca_.Added());
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "RestLevelUpdateRoad-" + std::to_string(GetCurrentProcessId()) + "\\";
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
        std::filesystem::create_directories(Path("temp"));
        temp_ = std::make_unique<ScopedVariable>("TEMP", Path("temp").c_str());
        tmp_ = std::make_unique<ScopedVariable>("TMP", Path("temp").c_str());
        ClearRegistry();
    }

    void TearDown() override {
        // Whatever the road started and left running.
        for (const ProcessInfo& p : Processes()) {
            if (!StartsWithNoCase(p.image, folder_)) continue;
            if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, p.id)) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 20000);
                CloseHandle(process);
            }
        }
        for (PROCESS_INFORMATION& started : started_) {
            TerminateProcess(started.hProcess, 1);
            WaitForSingleObject(started.hProcess, 20000);
            CloseHandle(started.hThread);
            CloseHandle(started.hProcess);
        }
        temp_.reset();
        tmp_.reset();
        ClearRegistry();
        ForgetPendingRenamesBelow(folder_);
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    static void ClearRegistry() {
        win32test::Reg("delete \"HKCU\\Software\\Halvane\\KzAutoUpdate\" /f");
        // A first run: the settings window shows once the program is up.
        win32test::Reg("delete \"HKCU\\SOFTWARE\\Halvane\\RestLevel\" /f");
    }

    std::string Path(const std::string& name) const { return folder_ + name; }
    std::string Install(const std::string& name) const { return Path("install\\" + name); }
    std::string Staging(const std::string& program) const { return Path("temp\\" + program + "\\"); }
    std::string LogFile() const { return Path("temp\\RestLevel Update.log"); }

    Versions TwoVersions(const std::string& name, const std::string& one, const std::string& appended,
                         std::int64_t serverTime) {
        Versions v{Install(name), one, one + appended};
        WriteText(v.installed, v.one);
        WriteText(Path("dist\\" + name), v.two);
        EXPECT_TRUE(SetLastWrite(v.installed, TicksOf(serverTime - kDay)));
        EXPECT_TRUE(SetLastWrite(Path("dist\\" + name), TicksOf(serverTime)));
        return v;
    }

    // The server's folder, written and signed by the publishing tool from
    // dist\ (with the build's test key unless another is given; a Unix path).
    void Publish(const std::string& program, bool listing, const std::string& key = RL_TEST_SIGNING_KEY) {
        WriteText(Path("notes.rtf"), kNotes);
        std::vector<std::string> argv{RL_PYTHON,         win32test::SourcePath("/tools/publish-update.py"),
                                      UnixPathOf(Path("dist")), UnixPathOf(folder_) + "/server",
                                      "--key",           key,
                                      "--program",       program,
                                      "--notes",         UnixPathOf(Path("notes.rtf")),
                                      "--notes-name",    "RestLevel.rtf"};
        if (listing) argv.insert(argv.end(), {"--listing", "files.txt", "--windows"});
        const UnixResult result = RunUnix(argv);
        ASSERT_EQ(result.status, 0) << result.output;
    }

    // Writes FILE.sig for the file as it is now, with the build's test key:
    // its name on the server, its time, and the bytes it inflates to.
    void Sign(const std::string& file, const std::string& name, std::int64_t seconds, const std::string& unpacked) {
        WriteText(Path("unpacked"), unpacked);
        const UnixResult result = RunUnix(
            {RL_PYTHON, "-c",
             "import importlib.util, sys; s = importlib.util.spec_from_file_location('tool', sys.argv[1]); "
             "t = importlib.util.module_from_spec(s); s.loader.exec_module(t); "
             "open(sys.argv[3] + '.sig', 'wb').write(t.signed_statement(t.load_key(sys.argv[2]), sys.argv[4], "
             "int(sys.argv[5]), open(sys.argv[3], 'rb').read(), open(sys.argv[6], 'rb').read()))",
             win32test::SourcePath("/tools/publish-update.py"), RL_TEST_SIGNING_KEY, UnixPathOf(file), name,
             std::to_string(seconds), UnixPathOf(Path("unpacked"))});
        ASSERT_EQ(result.status, 0) << result.output;
    }

    std::unique_ptr<UpdateServer> Serve() {
        auto server = std::make_unique<UpdateServer>(UnixPathOf(folder_) + "/server", UnixPathOf(folder_) + "/requests");
        EXPECT_GT(server->Port(), 0);
        return server;
    }
    std::string Requests() const { return ReadText(Path("requests")); }

    // Version 2 staged as the download leaves it (file, records, the
    // statement it kept, the log's last line), without a download: `staged`
    // is the staged program.
    void StageVersion2(const Versions& v, std::int64_t serverTime, std::string& staged) {
        staged = Staging("RestLevel") + "HLV1.tmp.exe";
        WriteText(Staging("RestLevel") + "HLV1.tmp", "");
        WriteText(staged, v.two);
        ASSERT_TRUE(SetLastWrite(staged, TicksOf(serverTime)));
        const std::string key = "Software\\Halvane\\KzAutoUpdate";
        for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
                 {"AppName", v.installed}, {"TempPath", Staging("RestLevel")}, {"LogFile", LogFile()}})
            ASSERT_TRUE(SetUserString(key, name, value)) << name;
        for (const char* name : {"ParamCount", "Silent"})
            ASSERT_EQ(win32test::Reg("add \"HKCU\\" + key + "\" /v " + name + " /t REG_DWORD /d 0 /f").status, 0u);
        for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
                 {"TempFile", staged},
                 {"DestFile", v.installed},
                 {"Signature", ReadText(Path("server\\RestLevel.zbin.sig"))}})
            ASSERT_TRUE(SetUserString(key + "\\Files\\HLV1.tmp.exe", name, value)) << name;
        WriteText(LogFile(), "Start " + staged + "\r\n");
    }

    // A copy of the program run as the download runs the staged one, to
    // replace the program of `previous`; 0 when it could not be started.
    DWORD StartInstaller(const std::string& program, const Versions& v, DWORD previous) {
        return Start(program, "/KzUpdate \"" + v.installed + "\" " + std::to_string(Started(previous).dwThreadId) +
                                  " " + std::to_string(previous) + " \"RestLevel\"");
    }

    // Starts a program of the test; 0 when it could not be started.
    DWORD Start(const std::string& program, const std::string& arguments, DWORD flags = 0) {
        std::string line = "\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &info))
            return 0;
        started_.push_back(info);
        return info.dwProcessId;
    }
    const PROCESS_INFORMATION& Started(DWORD processId) const {
        return *std::find_if(started_.begin(), started_.end(),
                             [&](const PROCESS_INFORMATION& p) { return p.dwProcessId == processId; });
    }

    HWND WaitForWindow(DWORD processId, const char* windowClass, std::chrono::milliseconds timeout = kDeadline) {
        HWND found = nullptr;
        WaitFor([&] { return (found = VisibleWindowOf(processId, windowClass)) != nullptr; }, timeout);
        return found;
    }

    // Version 1 shows the release notes; Enter answers Yes.
    void AnswerYes(DWORD program, KeptLog& log) {
        const HWND notes = WaitForWindow(program, win32::kUpdateInfoClass);
        ASSERT_NE(notes, nullptr) << "no release notes; the log reads:\n" << ReadShared(LogFile());
        ASSERT_TRUE(PressKeyToClose(notes, CaptionOf(notes), "Return")) << "the notes stay open";
        ASSERT_TRUE(WaitFor([&] { return log.Has(" ... "); }, kDeadline)) << "no download log: " << ReadText(LogFile());
    }

    // The program the installer starts: a process of that file started
    // neither by the previous instance nor by this test (which start
    // installers), once the log says it is started; 0 if none.
    DWORD WaitForRestart(KeptLog& log, const std::string& path, DWORD previous,
                         std::chrono::milliseconds timeout = kDeadline) {
        DWORD found = 0;
        WaitFor(
            [&] {
                if (!log.Has("\r\n" + std::string(kStartNewVersion) + "\r\n")) return false;
                for (const ProcessInfo& p : Processes())
                    if (EqualsNoCase(p.image, path) && p.id != previous && p.parent != previous &&
                        p.parent != GetCurrentProcessId())
                        found = p.id;
                return found != 0;
            },
            timeout);
        return found;
    }

    // The installer: a process whose program lies in that staging folder.
    DWORD InstallerIn(const std::string& staging) {
        for (const ProcessInfo& p : Processes())
            if (StartsWithNoCase(p.image, staging)) return p.id;
        return 0;
    }

    // The staging's registry values and keys, one line each, as reg lists
    // them (the empty "Files" key left out).
    static std::vector<std::string> StagingRegistry() {
        const win32test::RegOutput result = win32test::Reg("query \"HKCU\\Software\\Halvane\\KzAutoUpdate\" /s");
        std::vector<std::string> lines;
        std::istringstream in(result.output);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line != "HKEY_CURRENT_USER\\Software\\Halvane\\KzAutoUpdate\\Files")
                lines.push_back(line);
        }
        return lines;
    }

    static void ForgetConfigured() {
        win32test::Reg("delete \"HKCU\\SOFTWARE\\Halvane\\RestLevel\" /v Configured /f");
    }

    static bool StagingLeft() {
        for (const std::string& line : StagingRegistry())
            if (line.find("TempPath") != std::string::npos) return true;
        return false;
    }

    // The staging is gone: the registry keeps only the log's name, and what
    // stays in the staging folder is an empty placeholder of a temporary name
    // or a file that the restart of Windows deletes (the installer's own
    // file, which cannot go while it runs).
    void ExpectStagingCleared(const std::string& program) {
        EXPECT_EQ(StagingRegistry(), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Halvane\\KzAutoUpdate",
                                                                "    LogFile    REG_SZ    " + LogFile()}));
        const std::vector<std::string> deletions = DeletedAtRestart();
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(Staging(program), ec)) {
            const std::string path = entry.path().string();
            const bool placeholder = EqualsNoCase(entry.path().extension().string(), ".tmp") && entry.file_size(ec) == 0;
            const bool goes = std::any_of(deletions.begin(), deletions.end(),
                                          [&](const std::string& d) { return EqualsNoCase(d, path); });
            EXPECT_TRUE(placeholder || goes) << path << " stays in the staging folder";
        }
    }

    // The files that the next restart of Windows deletes.
    static std::vector<std::string> DeletedAtRestart() {
        std::vector<std::string> deleted;
        for (const PendingRename& r : PendingRenames())
            if (r.target.empty()) deleted.push_back(r.source);
        return deleted;
    }

    static std::string UpToDateLog(const std::vector<std::pair<std::string, std::int64_t>>& files) {
        std::vector<std::string> lines;
        for (const auto& [remote, time] : files)
            lines.push_back("Check File " + remote + " ... " + LogTime(time) + " Up-to-date Local @ " + LogTime(time));
        lines.push_back(kUpToDate);
        return Lines(lines);
    }

    TrustedTestCa ca_;
    std::string folder_;
    std::unique_ptr<ScopedVariable> temp_;
    std::unique_ptr<ScopedVariable> tmp_;
    std::vector<PROCESS_INFORMATION> started_;
};

std::int64_t AnHourAgo() { return static_cast<std::int64_t>(std::time(nullptr)) / 60 * 60 - 3600; }

std::string ProgramBytes() { return ReadText(BuildFolder() + "RestLevel.exe"); }

// Each row's test is named after the row, and shown by its name.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& row) {
    return row.param.name;
}

// The road ------------------------------------------------------------------------------

struct RoadCase {
    const char* name;
    const char* arguments;  // the command line after the program
    std::vector<std::string> argv;
    const char* zone;  // the zone the test runs in; null: any
    std::int64_t serverTime;
};
void PrintTo(const RoadCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadInstallTest : public UpdateRoadTest, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(UpdateRoadInstallTest, InstallsVersion2AndStartsIt) {
    const RoadCase& c = GetParam();
    // Wine applies a zone's summer time only to a program whose own start
    // was in that zone (with TZ in its Unix environment), not to one that
    // inherits TZ from a Windows program.
    const char* zone = std::getenv("TZ");
    if (c.zone != nullptr && (zone == nullptr || std::strcmp(zone, c.zone) != 0))
        GTEST_SKIP() << "runs in a CTest entry of its own under TZ=" << c.zone;
    const std::int64_t serverTime = c.serverTime != 0 ? c.serverTime : AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address("/").c_str());
    // The program reads Last-Modified as the UTC instant it is, also where
    // Wine's own reading would take it for the zone's standard time.
    const std::int64_t lastModified = serverTime;

    const DWORD one = Start(v.installed, c.arguments);
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    const DWORD two = WaitForRestart(log, v.installed, one);
    ASSERT_NE(two, 0u) << "version 2 does not run; the log reads:\n" << log.Text();

    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.two)) << "the installed file";
    EXPECT_EQ(LastWrite(v.installed), TicksOf(lastModified)) << "the server's Last-Modified";
    EXPECT_EQ(WaitForSingleObject(Started(one).hProcess, 0), WAIT_OBJECT_0) << "version 1 still runs";

    const std::string staged = StagedFor(log.Text(), v.installed);
    ASSERT_TRUE(StartsWithNoCase(staged, Staging("RestLevel") + "HLV")) << log.Text();
    EXPECT_EQ(log.Text(), Lines({
                              "RestLevel.zbin (" + v.installed + ") ... will be updated",
                              "Files to update: 1",
                              "Download RestLevel.zbin (" + v.installed + ") ... OK",
                              "Save to " + staged + " ... OK",
                              "Start " + staged,
                              "Update " + staged + " to " + v.installed + " ... Updated",
                              kInstalledCorrectly,
                              kStartNewVersion,
                          }));

    // Version 2's first start shows the settings window once its check is
    // done: the staging is gone and the update found in place.
    ASSERT_NE(WaitForWindow(two, win32::kMainWindowClass), nullptr) << "version 2 shows no window";
    ExpectStagingCleared("RestLevel");
    EXPECT_EQ(ReadShared(LogFile()), UpToDateLog({{"RestLevel.zbin", lastModified}}));
    // Each file with its signature; a package's only once it is newer.
    EXPECT_EQ(Requests(),
              "HEAD /RestLevel.zbin\nGET /RestLevel.zbin.sig\nGET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n"  // version 1's check
              "HEAD /RestLevel.zbin\nGET /RestLevel.zbin.sig\nGET /RestLevel.zbin\n"  // the download
              "HEAD /RestLevel.zbin\nGET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");  // version 2's check
    // Version 1's arguments, each whole.
    EXPECT_EQ(ArgumentsOf(two), c.argv);
}

INSTANTIATE_TEST_SUITE_P(
    Road, UpdateRoadInstallTest,
    ::testing::Values(RoadCase{"NoArguments", "", {}, nullptr, 0},
                      // The second argument holds a blank; the package is
                      // dated in winter, in a zone with summer time.
                      RoadCase{"ArgumentsWithABlankWinterPackage", "one \"two words\"", {"one", "two words"},
                               kCentralEurope, kWinterNoon},
                      RoadCase{"SummerPackage", "", {}, kCentralEurope, kSummerNoon}),
    CaseName<RoadCase>);

// Files from a listing ---------------------------------------------------------------

struct ListingCase {
    const char* name;
    bool programChanges;  // or only the listed file
};
void PrintTo(const ListingCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadListingTest : public UpdateRoadTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(UpdateRoadListingTest, InstallsTheListedFileBesideTheProgram) {
    const ListingCase& c = GetParam();
    const std::int64_t serverTime = AnHourAgo();
    Versions helper = TwoVersions("RoadHelper.exe", ReadText(BuildFolder() + "RoadHelper.exe"), "version 2", serverTime);
    const std::string program = helper.installed;
    if (!c.programChanges) {
        // The same file and time on both sides.
        WriteText(Path("dist\\RoadHelper.exe"), helper.one);
        ASSERT_TRUE(SetLastWrite(Path("dist\\RoadHelper.exe"), TicksOf(serverTime)));
        ASSERT_TRUE(SetLastWrite(program, TicksOf(serverTime)));
        helper.two = helper.one;
    }
    const Versions data = TwoVersions("data\\readme.txt", "Read me.\r\n", "Version 2.\r\n", serverTime);
    const std::string readme = data.installed;
    Publish("RoadHelper.exe", true);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    const DWORD one = Start(program, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "Got file listing from ");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    const DWORD two = WaitForRestart(log, program, one);
    ASSERT_NE(two, 0u) << "the program does not run again; the log reads:\n" << log.Text();
    // Its own check is done once its log says so.
    EXPECT_TRUE(WaitFor([&] { return ReadShared(LogFile()).find(kUpToDate) != std::string::npos; }, kDeadline));

    EXPECT_TRUE(SameBytes(ReadText(program), helper.two));
    EXPECT_TRUE(SameBytes(ReadText(readme), data.two));
    EXPECT_EQ(LastWrite(readme), TicksOf(serverTime));
    EXPECT_EQ(LastWrite(program), TicksOf(serverTime));

    const std::string text = log.Text();
    const std::string stagedProgram = StagedFor(text, program);
    const std::string stagedReadme = StagedFor(text, readme);
    ASSERT_FALSE(stagedReadme.empty()) << text;
    std::vector<std::string> lines{"Got file listing from " + server->Address("/files.txt"),
                                   "RoadHelper.zbin (" + program + ") ... " +
                                       (c.programChanges ? "will be updated" : "is up to date"),
                                   "data/readme.zbin (" + readme + ") ... will be updated"};
    // The registry lists the staged files by name.
    std::vector<std::pair<std::string, std::string>> installs;
    if (c.programChanges) {
        lines.insert(lines.end(), {"Files to update: 2", "Download RoadHelper.zbin (" + program + ") ... OK",
                                   "Save to " + stagedProgram + " ... OK"});
        installs.emplace_back(stagedProgram, program);
    } else {
        lines.push_back("Files to update: 1");
    }
    lines.insert(lines.end(), {"Download data/readme.zbin (" + readme + ") ... OK",
                               "Save to " + stagedReadme + " ... OK",
                               // Without its own file among them, the program
                               // itself installs the files.
                               "Start " + (c.programChanges ? stagedProgram : program)});
    installs.emplace_back(stagedReadme, readme);
    std::sort(installs.begin(), installs.end(), [](const auto& a, const auto& b) {
        std::string x = std::filesystem::path(a.first).filename().string();
        std::string y = std::filesystem::path(b.first).filename().string();
        std::transform(x.begin(), x.end(), x.begin(), ::toupper);
        std::transform(y.begin(), y.end(), y.begin(), ::toupper);
        return x < y;
    });
    for (const auto& [staged, destination] : installs)
        lines.push_back("Update " + staged + " to " + destination + " ... Updated");
    lines.insert(lines.end(), {kInstalledCorrectly, kStartNewVersion});
    EXPECT_EQ(text, Lines(lines));

    EXPECT_EQ(ReadShared(LogFile()), "Downloaded File Listing " + server->Address("/files.txt") + "\r\n" +
                                         UpToDateLog({{"RoadHelper.zbin", serverTime}, {"data/readme.zbin", serverTime}}));
    ExpectStagingCleared("RoadHelper");
}

INSTANTIATE_TEST_SUITE_P(Listing, UpdateRoadListingTest,
                         ::testing::Values(ListingCase{"ProgramAndListedFile", true},
                                           ListingCase{"OnlyTheListedFile", false}),
                         CaseName<ListingCase>);

// Faults ---------------------------------------------------------------------------

// The download stops half-way: version 1 starts as usual, keeps its file,
// and its next start clears what was staged.
struct DownloadFaultCase {
    const char* name;
    bool serverDies;  // or the package is damaged
};
void PrintTo(const DownloadFaultCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadDownloadFaultTest : public UpdateRoadTest, public ::testing::WithParamInterface<DownloadFaultCase> {};

TEST_P(UpdateRoadDownloadFaultTest, Version1StartsAndItsNextStartClearsTheStaging) {
    const DownloadFaultCase& c = GetParam();
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    const std::string package = Path("server\\RestLevel.zbin");
    if (!c.serverDies) {
        // Bytes in the middle of the deflate data overwritten: the stream
        // still begins well and has its size and time.
        std::string bytes = ReadText(package);
        ASSERT_GT(bytes.size(), 4096u);
        for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] = static_cast<char>(0xFF);
        WriteText(package, bytes);
        ASSERT_TRUE(SetLastWrite(package, TicksOf(serverTime)));
        // Signed as it is: a publisher's broken package, which only the
        // inflating finds out.
        ASSERT_NO_FATAL_FAILURE(Sign(package, "RestLevel.zbin", serverTime, v.two));
    }
    auto server = Serve();
    // A package stops after 64 KiB; the notes are whole.
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address(c.serverDies ? "/hold/65536" : "").c_str());

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    if (c.serverDies) {
        ASSERT_TRUE(
            WaitFor([&] { return Requests().find("GET /hold/65536/RestLevel.zbin\n") != std::string::npos; }, kDeadline));
        server->Die();
    }

    // The program goes on to its first start's settings window.
    ASSERT_NE(WaitForWindow(one, win32::kMainWindowClass), nullptr) << "version 1 does not start; the log reads:\n"
                                                                    << ReadShared(LogFile());
    log.Update();
    const std::string text = log.Text();
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(LastWrite(v.installed), TicksOf(serverTime - kDay));
    EXPECT_EQ(InstallerIn(Staging("RestLevel")), 0u) << "an installer runs";
    const std::string expected = Lines({"RestLevel.zbin (" + v.installed + ") ... will be updated", "Files to update: 1"}) +
                                 "Download RestLevel.zbin (" + v.installed + ") ... ";
    EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
    if (c.serverDies) {
        EXPECT_EQ(text.find("Error HTTP ", expected.size()), expected.size()) << text;
    } else {
        const std::size_t save = text.find("OK\r\nSave to " + Staging("RestLevel"), expected.size());
        EXPECT_EQ(save, expected.size()) << text;
        EXPECT_NE(text.find(" ... Fatal error: ", save), std::string::npos) << text;
    }
    EXPECT_EQ(text.find("Start "), std::string::npos) << "nothing is launched";
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "the log ends with a whole line";
    EXPECT_TRUE(StagingLeft()) << "the staging stays until the next start";

    // The next start clears it (the check is off this time); a first run
    // again, so that it shows its window once it is up.
    TerminateProcess(Started(one).hProcess, 0);
    WaitForSingleObject(Started(one).hProcess, 20000);
    ForgetConfigured();
    ScopedVariable off("RESTLEVEL_UPDATE_SERVER", "");
    const DWORD again = Start(v.installed, "");
    ASSERT_NE(WaitForWindow(again, win32::kMainWindowClass), nullptr);
    ExpectStagingCleared("RestLevel");
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateRoadDownloadFaultTest,
    ::testing::Values(DownloadFaultCase{"ServerDiesMidDownload", true}, DownloadFaultCase{"DamagedPackage", false}),
    CaseName<DownloadFaultCase>);

// The installed file cannot be replaced, even with administrator rights (the
// immutable attribute, as root). The installer asks for an elevated run;
// under Wine "runas" runs it, and it cannot replace it either, so it copies
// the new file beside the installed one, where the folder's access list
// applies, and schedules that copy's move for the restart of Windows (never
// the staged file, which any program of the user could change meanwhile).
// The program is not started and the user is told. (The restart itself,
// wineboot -r, is left out: it upsets the foreground window of the test
// prefix's later programs.)
TEST_F(UpdateRoadTest, AFileThatCannotBeReplacedIsReplacedAtTheRestartFromBesideIt) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());
    const std::string installedFile = UnixPathOf(v.installed);
    if (RunUnix({"chattr", "+i", installedFile}).status != 0) GTEST_SKIP() << "cannot make a file immutable here";
    struct Replaceable {
        std::string file;
        ~Replaceable() { RunUnix({"chattr", "-i", file}); }
    } replaceable{installedFile};

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    // The installer's box: the restart will finish the update.
    DWORD installer = 0;
    ASSERT_TRUE(WaitFor([&] { return (installer = InstallerIn(Staging("RestLevel"))) != 0; }, kDeadline));
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = VisibleWindowOf(installer, "#32770")) != nullptr; }, kDeadline))
        << "no message box; the log reads:\n" << ReadShared(LogFile());
    EXPECT_EQ(CaptionOf(box), "RestLevel");
    ASSERT_TRUE(WaitFor([&] { return log.Has(kRebootNeeded); }, kDeadline)) << log.Text();
    ASSERT_TRUE(PressKeyToClose(box, CaptionOf(box), "Return")) << "the box stays";
    EXPECT_TRUE(WaitFor([&] { return !Alive(installer); }, kDeadline)) << "the installer stays";

    const std::string text = log.Text();
    const std::string staged = StagedFor(text, v.installed);
    const std::string update = "Update " + staged + " to " + v.installed + " ... ";
    // The failed replacement's text, as the system gives it.
    const std::size_t failed = text.find(update + "Failed ");
    ASSERT_NE(failed, std::string::npos) << text;
    const std::string why = text.substr(failed + update.size(), text.find("\r\n", failed) - failed - update.size());
    EXPECT_EQ(text, Lines({
                        "RestLevel.zbin (" + v.installed + ") ... will be updated",
                        "Files to update: 1",
                        "Download RestLevel.zbin (" + v.installed + ") ... OK",
                        "Save to " + staged + " ... OK",
                        "Start " + staged,
                        update + why,
                        // The elevated run, in the same log.
                        update + "delay until reboot",
                        kInstalledCorrectly,
                        kInstalledCorrectly,
                        kRebootNeeded,
                    }));
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "nothing is lost";
    const std::string beside = v.installed + ".KzUpdate.tmp";
    EXPECT_TRUE(SameBytes(ReadText(beside), v.two)) << "the copy beside waits for the restart";
    EXPECT_EQ(LastWrite(beside), TicksOf(serverTime)) << "the copy's time is the server's";
    for (const ProcessInfo& p : Processes()) EXPECT_FALSE(EqualsNoCase(p.image, v.installed)) << "the program runs";

    // The user starts version 1: the staging is cleared, the copy beside the
    // installed file stays for the restart.
    ForgetConfigured();
    const DWORD again = Start(v.installed, "");
    ASSERT_NE(WaitForWindow(again, win32::kUpdateInfoClass), nullptr) << "version 1 does not start";
    EXPECT_EQ(StagingRegistry(), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Halvane\\KzAutoUpdate",
                                                            "    LogFile    REG_SZ    " + LogFile()}));
    EXPECT_TRUE(SameBytes(ReadText(beside), v.two));
    TerminateProcess(Started(again).hProcess, 0);
    WaitForSingleObject(Started(again).hProcess, 20000);

    // The restart of Windows moves the copy beside over the installed file;
    // nothing is moved from the user's temporary folder. (The staged copy of
    // the program ran the install, so it is only deleted at the restart.)
    const std::vector<PendingRename> renames = PendingRenames();
    EXPECT_TRUE(std::any_of(renames.begin(), renames.end(), [&](const PendingRename& r) {
        return EqualsNoCase(r.source, beside) && EqualsNoCase(r.target, v.installed) && r.replace;
    })) << "the replacement is not scheduled";
    EXPECT_FALSE(std::any_of(renames.begin(), renames.end(), [&](const PendingRename& r) {
        return EqualsNoCase(r.source, staged) && !r.target.empty();
    })) << "the staged file is moved at the restart";
}

// The previous instance will not end: here a process that never ran (made
// suspended), so it cannot take the request to quit. The test starts the
// installer on a staging as the download leaves it; the installer waits,
// ends the process, installs version 2 and starts it.
TEST_F(UpdateRoadTest, APreviousInstanceThatWillNotEndIsEnded) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    std::string staged;
    ASSERT_NO_FATAL_FAILURE(StageVersion2(v, serverTime, staged));

    const DWORD previous = Start(v.installed, "", CREATE_SUSPENDED);
    ASSERT_NE(previous, 0u);
    const DWORD installer = StartInstaller(staged, v, previous);
    ASSERT_NE(installer, 0u);
    KeptLog log(LogFile(), "Start ");
    const DWORD two = WaitForRestart(log, v.installed, previous, kPreviousInstanceDeadline);
    ASSERT_NE(two, 0u) << "version 2 does not run; the log reads:\n" << log.Text();

    EXPECT_EQ(WaitForSingleObject(Started(previous).hProcess, 0), WAIT_OBJECT_0) << "the previous instance runs";
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.two));
    EXPECT_EQ(log.Text(), Lines({"Start " + staged, "Update " + staged + " to " + v.installed + " ... Updated",
                                 kInstalledCorrectly, kStartNewVersion}));
    ASSERT_NE(WaitForWindow(two, win32::kMainWindowClass), nullptr);
    ExpectStagingCleared("RestLevel");
    EXPECT_EQ(ReadShared(LogFile()), UpToDateLog({{"RestLevel.zbin", serverTime}}));
}

// The installer is killed while it installs the second of two files: each
// installed file is one version or the other, whole, and the program starts
// and clears the staging.
TEST_F(UpdateRoadTest, AnInstallerKilledBetweenTwoFilesLeavesEveryFileWhole) {
    const std::int64_t serverTime = AnHourAgo();
    // Large enough that copying one takes a while.
    std::string bulk(24 << 20, '\0');
    for (std::size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>((i * 2654435761u) >> 13);
    const Versions helper = TwoVersions("RoadHelper.exe", ReadText(BuildFolder() + "RoadHelper.exe"), bulk, serverTime);
    const Versions data = TwoVersions("data\\bulk.bin", bulk, "version 2", serverTime);
    Publish("RoadHelper.exe", true);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    const DWORD one = Start(helper.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "Got file listing from ");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    // The second file's fragment: the first one is in place.
    const auto secondUnderWay = [&] {
        log.Update();
        const std::string& text = log.Text();
        const std::size_t first = text.find("\r\nUpdate ");
        return first != std::string::npos && text.find("\r\nUpdate ", first + 1) != std::string::npos;
    };
    DWORD installer = 0;
    ASSERT_TRUE(WaitFor([&] { return (installer = InstallerIn(Staging("RoadHelper"))) != 0; }, kDeadline));
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, installer);
    ASSERT_NE(process, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!secondUnderWay() && std::chrono::steady_clock::now() < deadline) Sleep(1);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 20000);
    CloseHandle(process);
    ASSERT_TRUE(secondUnderWay()) << log.Text();
    EXPECT_EQ(log.Text().find(kInstalledCorrectly), std::string::npos) << "the installer finished before the kill:\n"
                                                                       << log.Text();

    // Whole files, one version or the other; the first file in place.
    const std::string program = ReadText(helper.installed);
    const std::string bulkFile = ReadText(data.installed);
    EXPECT_TRUE(program == helper.one || program == helper.two) << program.size() << " bytes";
    EXPECT_TRUE(bulkFile == data.one || bulkFile == data.two) << bulkFile.size() << " bytes";
    EXPECT_TRUE(program == helper.two || bulkFile == data.two) << "the first file is not installed";
    EXPECT_TRUE(StagingLeft());

    // The user starts the program: it runs, clears the staging, and offers
    // the rest of the update.
    const DWORD again = Start(helper.installed, "");
    ASSERT_NE(WaitForWindow(again, win32::kUpdateInfoClass), nullptr) << ReadShared(LogFile());
    ExpectStagingCleared("RoadHelper");
    EXPECT_NE(ReadShared(LogFile()).find("An update is available and can be installed."), std::string::npos);
}

// Signed updates -------------------------------------------------------------------

// The server's package is not what the program's keys vouch for: the update
// is not offered (no notes, no download), the log says why, and version 1
// goes on to start.
enum class Unvouched { AnotherKey, NewLastModified, NoSignature };

struct UnvouchedCase {
    const char* name;
    Unvouched fault;
    const char* reason;
};
void PrintTo(const UnvouchedCase& c, std::ostream* out) { *out << c.name; }

class UpdateRoadUnvouchedTest : public UpdateRoadTest, public ::testing::WithParamInterface<UnvouchedCase> {};

TEST_P(UpdateRoadUnvouchedTest, IsNotOfferedAndVersion1Starts) {
    const UnvouchedCase& c = GetParam();
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    const std::string package = Path("server\\RestLevel.zbin");
    std::int64_t served = serverTime;
    if (c.fault == Unvouched::AnotherKey) {
        // The test's own second pair, which no build trusts.
        const UnixResult made = RunUnix({RL_PYTHON, win32test::SourcePath("/tools/publish-update.py"), "--new-key",
                                         UnixPathOf(folder_) + "/other-key"});
        ASSERT_EQ(made.status, 0) << made.output;
        Publish("RestLevel.exe", false, UnixPathOf(folder_) + "/other-key.pem");
    } else {
        Publish("RestLevel.exe", false);
    }
    // An old signed package passed off as new: the same bytes, a new date.
    if (c.fault == Unvouched::NewLastModified) {
        ASSERT_TRUE(SetLastWrite(package, TicksOf(served = serverTime + 60)));
    }
    if (c.fault == Unvouched::NoSignature) {
        ASSERT_TRUE(DeleteFileA((package + ".sig").c_str()));
    }
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    ASSERT_NE(WaitForWindow(one, win32::kMainWindowClass), nullptr) << "version 1 does not start; the log reads:\n"
                                                                    << ReadShared(LogFile());
    EXPECT_EQ(VisibleWindowOf(one, win32::kUpdateInfoClass), nullptr);
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one));
    EXPECT_EQ(InstallerIn(Staging("RestLevel")), 0u) << "an installer runs";
    const std::string log = ReadShared(LogFile());
    const std::string checked = "Check File RestLevel.zbin ... " + LogTime(served) + " Needs update from local copy " +
                                LogTime(serverTime - kDay) + "\r\nCould not verify RestLevel.zbin: " + c.reason + "\r\n";
    EXPECT_EQ(log.rfind(checked, 0), 0u) << log;
    EXPECT_NE(log.find("\r\nUpdate cannot be installed; one or more error conditions prevent updating.\r\n"),
              std::string::npos)
        << log;
    // Nothing is downloaded.
    EXPECT_EQ(Requests(), "HEAD /RestLevel.zbin\nGET /RestLevel.zbin.sig\nGET /RestLevel.rtf\nGET /RestLevel.rtf.sig\n");
}

INSTANTIATE_TEST_SUITE_P(Signed, UpdateRoadUnvouchedTest,
                         ::testing::Values(UnvouchedCase{"SignedWithAnotherKey", Unvouched::AnotherKey,
                                                         "signature not valid"},
                                           UnvouchedCase{"OldSignedPackageWithANewLastModified",
                                                         Unvouched::NewLastModified,
                                                         "signed time differs from the server's"},
                                           UnvouchedCase{"NoSignatureOnTheServer", Unvouched::NoSignature,
                                                         "no signature (HTTP 404)"}),
                         CaseName<UnvouchedCase>);

// The package is replaced on the server after it was signed, with the same
// time: the check offers it (its statement holds for that time), the user
// answers Yes, and the download refuses the bytes before it inflates them.
// Nothing is staged, a box says so, and version 1 runs on.
TEST_F(UpdateRoadTest, APackageReplacedAfterSigningIsNotInstalled) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    const std::string package = Path("server\\RestLevel.zbin");
    WriteText(Path("replaced"), v.two + "not signed");
    const UnixResult packed =
        RunUnix({RL_PYTHON, "-c",
                 "import sys, zlib; open(sys.argv[2], 'wb').write(zlib.compress(open(sys.argv[1], 'rb').read(), 9))",
                 UnixPathOf(Path("replaced")), UnixPathOf(package)});
    ASSERT_EQ(packed.status, 0) << packed.output;
    ASSERT_TRUE(SetLastWrite(package, TicksOf(serverTime)));
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = VisibleWindowOf(one, "#32770")) != nullptr; }, kDeadline))
        << "no message box; the log reads:\n"
        << ReadShared(LogFile());
    EXPECT_TRUE(PressKeyToClose(box, CaptionOf(box), "Return"));
    ASSERT_NE(WaitForWindow(one, win32::kMainWindowClass), nullptr) << "version 1 does not start";

    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(LastWrite(v.installed), TicksOf(serverTime - kDay));
    EXPECT_EQ(InstallerIn(Staging("RestLevel")), 0u) << "an installer runs";
    log.Update();
    const std::string text = log.Text();
    EXPECT_EQ(text.rfind(Lines({"RestLevel.zbin (" + v.installed + ") ... will be updated", "Files to update: 1",
                                "Download RestLevel.zbin (" + v.installed +
                                    ") ... Could not verify RestLevel.zbin: content differs from the signed"}),
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find("Save to "), std::string::npos) << "the package is inflated";
    EXPECT_EQ(text.find("Start "), std::string::npos) << "something is launched";
    ExpectStagingCleared("RestLevel");
}

// The staged program is swapped while the installer waits for the previous
// instance to end (a process that never ran, as in the row above): the
// installer finds the file it is about to move unlike what was signed,
// installs nothing, says so and starts version 1 again. The test starts the
// installer from a copy of its own, so that the staged file is not in use.
TEST_F(UpdateRoadTest, AStagedFileSwappedBeforeTheInstallIsNotInstalled) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    std::string staged;
    ASSERT_NO_FATAL_FAILURE(StageVersion2(v, serverTime, staged));
    const std::string installerCopy = Path("installer\\RestLevel.exe");
    WriteText(installerCopy, v.two);

    const DWORD previous = Start(v.installed, "", CREATE_SUSPENDED);
    ASSERT_NE(previous, 0u);
    const DWORD installer = StartInstaller(installerCopy, v, previous);
    ASSERT_NE(installer, 0u);
    // Whoever can write the user's files: another program, whole, in its
    // place, while the installer waits.
    KeptLog log(LogFile(), "Start ");
    log.Update();
    ASSERT_EQ(log.Text(), Lines({"Start " + staged})) << "the installer did not wait";
    WriteText(staged, v.one + "not signed");

    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = VisibleWindowOf(installer, "#32770")) != nullptr; },
                        kPreviousInstanceDeadline))
        << "no message box; the log reads:\n"
        << ReadShared(LogFile());
    const DWORD again = WaitForRestart(log, v.installed, previous);
    ASSERT_NE(again, 0u) << "version 1 is not started again; the log reads:\n" << log.Text();
    EXPECT_TRUE(PressKeyToClose(box, CaptionOf(box), "Return"));

    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "the installed file";
    EXPECT_EQ(LastWrite(v.installed), TicksOf(serverTime - kDay));
    const std::string text = log.Text();
    EXPECT_NE(text.find("Could not verify " + v.installed + ": unpacked content differs from the signed\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(" ... Updated"), std::string::npos) << text;
    EXPECT_EQ(text.find(kInstalledCorrectly), std::string::npos) << text;
    ASSERT_NE(WaitForWindow(again, win32::kUpdateInfoClass), nullptr)
        << "the restarted version 1 does not offer the update again";
    ExpectStagingCleared("RestLevel");
}

// An HTTPS package redirected to plain HTTP ------------------------------------

// The package's download is redirected from the HTTPS server to the same
// files over plain HTTP: the request fails with WinInet's code for it,
// nothing is installed, and version 1 runs on. (WinInet has followed the
// redirect by the time the adapter sees where it ended; the plain answer's
// body is never read.)
TEST_F(UpdateRoadTest, APackageRedirectedFromHttpsToHttpIsNotInstalled) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    win32test::LoopbackServer plain(UnixPathOf(folder_) + "/server");
    ASSERT_GT(plain.Port(), 0);
    // Only the package's GET is redirected; its HEAD and the notes are not.
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER",
                           server->Address("/moved/RestLevel.zbin/" + std::to_string(plain.Port())).c_str());

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    ASSERT_NE(WaitForWindow(one, win32::kMainWindowClass), nullptr) << "version 1 does not start; the log reads:\n"
                                                                    << ReadShared(LogFile());
    log.Update();
    const std::string text = log.Text();
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(InstallerIn(Staging("RestLevel")), 0u) << "an installer runs";
    const std::size_t error = text.find("Error HTTP 0 Send Request Failed: ");
    EXPECT_NE(error, std::string::npos) << text;
    EXPECT_NE(text.find("(0x00002F08)\r\n", error), std::string::npos) << "not refused as HTTPS to HTTP: " << text;
    EXPECT_EQ(text.find("Start "), std::string::npos) << "nothing is launched";
}

// A settings store that refuses the staging's record, the argument table, a
// package past the cap ------------------------------------------------------------

// The registry refuses the key of the file just staged: the staging's "Files"
// key is volatile, and a key that lasts cannot be made below one
// (ERROR_CHILD_MUST_BE_VOLATILE, on Windows as under Wine). The download ends
// there: the user is told, the staged files and the staging's records are
// gone, nothing is launched, and version 1 starts as usual.
TEST_F(UpdateRoadTest, AStoreThatRefusesTheFilesRecordEndsTheDownloadAndClearsIt) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());
    const auto createKey = [](const char* path, DWORD options) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        const LONG result = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr,
                                            &key, &disposition);
        if (result == ERROR_SUCCESS) RegCloseKey(key);
        return result == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY ? ERROR_ALREADY_EXISTS : result;
    };
    ASSERT_EQ(createKey("Software\\Halvane\\KzAutoUpdate", REG_OPTION_NON_VOLATILE), ERROR_SUCCESS);
    ASSERT_EQ(createKey("Software\\Halvane\\KzAutoUpdate\\Files", REG_OPTION_VOLATILE), ERROR_SUCCESS);
    ASSERT_EQ(createKey("Software\\Halvane\\KzAutoUpdate\\Files\\Probe", REG_OPTION_NON_VOLATILE),
              ERROR_CHILD_MUST_BE_VOLATILE);

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = VisibleWindowOf(one, "#32770")) != nullptr; }, kDeadline))
        << "no message box; the log reads:\n" << ReadShared(LogFile());
    EXPECT_EQ(CaptionOf(box), "RestLevel");
    ASSERT_TRUE(PressKeyToClose(box, CaptionOf(box), "Return")) << "the box stays";
    ASSERT_NE(WaitForWindow(one, win32::kMainWindowClass), nullptr) << "version 1 does not start; the log reads:\n"
                                                                    << ReadShared(LogFile());

    log.Update();
    const std::string text = log.Text();
    const std::string staged = StagedFor(text, v.installed);
    ASSERT_TRUE(StartsWithNoCase(staged, Staging("RestLevel") + "HLV")) << text;
    EXPECT_EQ(text, Lines({
                        "RestLevel.zbin (" + v.installed + ") ... will be updated",
                        "Files to update: 1",
                        "Download RestLevel.zbin (" + v.installed + ") ... OK",
                        "Save to " + staged + " ... OK",
                        "Could not record TempFile in the settings store",
                    }));
    EXPECT_EQ(InstallerIn(Staging("RestLevel")), 0u) << "an installer runs";
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(LastWrite(v.installed), TicksOf(serverTime - kDay));
    // Gone at once, not at the next start: the records, the files and their
    // folder.
    EXPECT_EQ(StagingRegistry(), (std::vector<std::string>{"HKEY_CURRENT_USER\\Software\\Halvane\\KzAutoUpdate",
                                                            "    LogFile    REG_SZ    " + LogFile()}));
    EXPECT_FALSE(std::filesystem::exists(Staging("RestLevel"))) << "the staging folder stays";
}

// The arguments of every list of the command-line table, one after another,
// as a command line that CommandLineToArgvW and the C runtime split alike
// (written here, not by the program's writer).
std::string TableArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
        } else {
            quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            quoted += c;
            backslashes = 0;
        }
    }
    return quoted.append(2 * backslashes, '\\') + "\"";
}

std::vector<std::string> TableArguments() {
    std::vector<std::string> all;
    for (const auto& row : commandlinetest::kRoundTrips) all.insert(all.end(), row.begin(), row.end());
    return all;
}

const char* TableCommandLine() {
    static const std::string line = [] {
        std::string text;
        for (const std::string& argument : TableArguments()) text += (text.empty() ? "" : " ") + TableArgument(argument);
        return text;
    }();
    return line.c_str();
}

// Version 2 gets each argument of version 1 back whole, the empty ones and the
// one with a tab among them.
INSTANTIATE_TEST_SUITE_P(ArgumentTable, UpdateRoadInstallTest,
                         ::testing::Values(RoadCase{"EveryArgumentOfTheTable", TableCommandLine(), TableArguments(),
                                                    nullptr, 0}),
                         CaseName<RoadCase>);

// A small package that inflates past the limit: the inflating stops there,
// nothing beyond it reaches the disk, version 1 starts as usual and its next
// start clears the staging.
TEST_F(UpdateRoadTest, APackageThatInflatesPastTheLimitIsNotStaged) {
    constexpr std::uintmax_t kLimit = 268435456;
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    // Version 2 is 256 MiB and one byte of zeros: a few hundred KiB packed,
    // and signed as it is.
    const std::string big = Path("dist\\RestLevel.exe");
    WriteText(big, "");
    std::filesystem::resize_file(big, kLimit + 1);
    ASSERT_TRUE(SetLastWrite(big, TicksOf(serverTime)));
    Publish("RestLevel.exe", false);
    ASSERT_LT(std::filesystem::file_size(Path("server\\RestLevel.zbin")), 2u << 20);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    ASSERT_NE(WaitForWindow(one, win32::kMainWindowClass), nullptr) << "version 1 does not start; the log reads:\n"
                                                                    << ReadShared(LogFile());
    log.Update();
    const std::string text = log.Text();
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one)) << "version 1 is touched";
    EXPECT_EQ(InstallerIn(Staging("RestLevel")), 0u) << "an installer runs";
    EXPECT_NE(text.find(" ... The package inflates to more than 268435456 bytes\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Start "), std::string::npos) << "nothing is launched";
    // The partly inflated file is gone; nothing in the temporary folder holds
    // more than the limit.
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Path("temp"), error))
        if (entry.is_regular_file()) {
            EXPECT_LE(entry.file_size(), kLimit) << entry.path();
            EXPECT_FALSE(EqualsNoCase(entry.path().parent_path().string() + "\\", Staging("RestLevel")))
                << entry.path() << " is left";
        }

    // The next start clears the staging (the check is off this time).
    TerminateProcess(Started(one).hProcess, 0);
    WaitForSingleObject(Started(one).hProcess, 20000);
    ForgetConfigured();
    ScopedVariable off("RESTLEVEL_UPDATE_SERVER", "");
    const DWORD again = Start(v.installed, "");
    ASSERT_NE(WaitForWindow(again, win32::kMainWindowClass), nullptr);
    ExpectStagingCleared("RestLevel");
    EXPECT_FALSE(std::filesystem::exists(Staging("RestLevel"))) << "the staging folder stays";
    EXPECT_TRUE(SameBytes(ReadText(v.installed), v.one));
}

// A second start while an update is under way ---------------------------------------

// Only the instance that holds the single-instance mutex clears an earlier
// staging, and only when no installer holds its lock: a second start during
// the download, or one while the installer waits for the previous instance,
// leaves the staging to the install.
class UpdateRoadSecondStartTest : public UpdateRoadTest {
protected:
    // The installer's lock: a mutex of the session that exists while an
    // installer holds it.
    static bool InstallerHoldsItsLock() {
        char user[257] = {};
        DWORD size = sizeof(user);
        if (!GetUserNameA(user, &size)) return false;
        const HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, ("Local\\KzUpdate-RestLevel-" + std::string(user)).c_str());
        if (lock == nullptr) return false;
        CloseHandle(lock);
        return true;
    }

    // Version 2 installed from the staging and running, the log as the
    // installer leaves it, the staging gone.
    // The log's lines, from the staged file's name (empty without a
    // download in the log); its "Updated" line shows the staging was used.
    void ExpectTheInstallCompleted(KeptLog& log, const Versions& v, DWORD previous,
                                   const std::function<std::vector<std::string>(const std::string&)>& lines) {
        const DWORD two = WaitForRestart(log, v.installed, previous);
        ASSERT_NE(two, 0u) << "version 2 does not run; the log reads:\n" << log.Text();
        EXPECT_TRUE(SameBytes(ReadText(v.installed), v.two)) << "the installed file";
        const std::string staged = StagedFor(log.Text(), v.installed);
        EXPECT_EQ(log.Text(), Lines(lines(staged)));
        // Version 2's own check has run, after its clearing. (Not its first
        // run's window: the second start's request to show the window, which
        // version 1 takes once the download goes on, made it configured.)
        ASSERT_TRUE(WaitFor([&] { return ReadShared(LogFile()).find(kUpToDate) != std::string::npos; }, kDeadline))
            << "version 2 made no check; the log reads:\n" << ReadShared(LogFile());
        ExpectStagingCleared("RestLevel");
    }
};

TEST_F(UpdateRoadSecondStartTest, ASecondStartDuringTheDownloadLeavesTheStagingToTheInstall) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    // The package's answer waits for the file "go" in the server's folder.
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address("/await/RestLevel.zbin/go").c_str());

    const DWORD one = Start(v.installed, "");
    ASSERT_NE(one, 0u);
    KeptLog log(LogFile(), "RestLevel.zbin (");
    ASSERT_NO_FATAL_FAILURE(AnswerYes(one, log));
    ASSERT_TRUE(WaitFor([&] { return Requests().find("GET /await/RestLevel.zbin/go/RestLevel.zbin") != std::string::npos; },
                        kDeadline));
    ASSERT_TRUE(StagingLeft()) << "the download has made its staging";

    // The second start finds version 1 and ends.
    const DWORD second = Start(v.installed, "");
    ASSERT_NE(second, 0u);
    ASSERT_EQ(WaitForSingleObject(Started(second).hProcess, 60000), WAIT_OBJECT_0) << "the second start runs on";
    EXPECT_TRUE(StagingLeft()) << "the second start cleared the staging";

    WriteText(Path("server\\go"), "");
    ASSERT_NO_FATAL_FAILURE(ExpectTheInstallCompleted(log, v, one, [&](const std::string& staged) {
        return std::vector<std::string>{"RestLevel.zbin (" + v.installed + ") ... will be updated",
                                        "Files to update: 1",
                                        "Download RestLevel.zbin (" + v.installed + ") ... OK",
                                        "Save to " + staged + " ... OK",
                                        "Start " + staged,
                                        "Update " + staged + " to " + v.installed + " ... Updated",
                                        kInstalledCorrectly,
                                        kStartNewVersion};
    }));
}

// The installer waits for a previous instance that the test holds suspended
// (it never took the single-instance mutex); meanwhile the program starts,
// holds the mutex, and still leaves the staging. Once it has ended and the
// previous instance is ended, the installer installs version 2 from it.
TEST_F(UpdateRoadSecondStartTest, AStartWhileTheInstallerWaitsLeavesItTheStaging) {
    const std::int64_t serverTime = AnHourAgo();
    const Versions v = TwoVersions("RestLevel.exe", ProgramBytes(), "RestLevel, version 2", serverTime);
    Publish("RestLevel.exe", false);
    auto server = Serve();
    ScopedVariable address("RESTLEVEL_UPDATE_SERVER", server->Address().c_str());

    std::string staged;
    ASSERT_NO_FATAL_FAILURE(StageVersion2(v, serverTime, staged));

    const DWORD previous = Start(v.installed, "", CREATE_SUSPENDED);
    ASSERT_NE(previous, 0u);
    const DWORD installer = StartInstaller(staged, v, previous);
    ASSERT_NE(installer, 0u);
    ASSERT_TRUE(WaitFor([] { return InstallerHoldsItsLock(); }, kDeadline)) << "no installer holds its lock";

    {
        // The start reaches its window (a first run's), past the point where
        // it clears; it makes no check of its own.
        ScopedVariable off("RESTLEVEL_UPDATE_SERVER", "");
        const DWORD second = Start(v.installed, "");
        ASSERT_NE(second, 0u);
        ASSERT_NE(WaitForWindow(second, win32::kMainWindowClass), nullptr) << "the start does not run";
        EXPECT_TRUE(StagingLeft()) << "the start cleared the staging under the installer";
        TerminateProcess(Started(second).hProcess, 0);
        ASSERT_EQ(WaitForSingleObject(Started(second).hProcess, 20000), WAIT_OBJECT_0);
    }
    // Still waiting: the installer ends a previous instance itself only
    // after some 30 s.
    ASSERT_EQ(WaitForSingleObject(Started(previous).hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the installer ended the previous instance before the start was done";
    TerminateProcess(Started(previous).hProcess, 0);

    KeptLog log(LogFile(), "Start ");
    ASSERT_NO_FATAL_FAILURE(ExpectTheInstallCompleted(log, v, previous, [&](const std::string&) {
        return std::vector<std::string>{"Start " + staged, "Update " + staged + " to " + v.installed + " ... Updated",
                                        kInstalledCorrectly, kStartNewVersion};
    }));
}

}  // namespace
}  // namespace rl

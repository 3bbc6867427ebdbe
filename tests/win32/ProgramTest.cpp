// The real RestLevel.exe under Wine, started from the test process: what a
// first run stores and shows, settings of the wrong type, a missing sound
// device, a second start, the ways out, and the file's own resources. Each
// test starts from an empty settings key and ends the programs it started.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/RestLevel01.h"
#include "platform/Files.h"
#include "platform/win32/Win32Window.h"
#include "support/KzFileLib.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

// Starting a Wine process and connecting to the sound device can take a
// while on a busy machine, the first time in a fresh prefix most of all.
constexpr auto kStartTimeout = 90s;
constexpr char kKey[] = "HKCU\\SOFTWARE\\Halvane\\RestLevel";
// Core Audio finds no playback device when Wine loads none of its audio
// drivers. The drivers are switched off for a copy of the program under a
// name of its own, so no other program is touched. (WINEDLLOVERRIDES and
// PULSE_SERVER in a child's environment block do not reach Wine's own side
// of the child: it keeps the parent's values.)
constexpr char kSoundlessName[] = "RestLevelSoundless.exe";
constexpr char kSoundlessOverrides[] = "HKCU\\Software\\Wine\\AppDefaults\\RestLevelSoundless.exe\\DllOverrides";
constexpr const char* kAudioDrivers[] = {"winepulse.drv", "winealsa.drv", "wineoss.drv"};

std::string ProgramPath() {
    const std::string self = win32test::ModulePath();
    return self.substr(0, self.find_last_of('\\') + 1) + "RestLevel.exe";
}

using win32test::Reg;
using win32test::TopWindowOf;
using win32test::RegOutput;

// The value lines of the settings key, blanks squeezed, sorted.
std::vector<std::string> SettingsValues() {
    const RegOutput r = Reg(std::string("query \"") + kKey + "\"");
    std::vector<std::string> values;
    std::size_t start = 0;
    while (start < r.output.size()) {
        std::size_t end = r.output.find('\n', start);
        if (end == std::string::npos) end = r.output.size();
        const std::string line = r.output.substr(start, end - start);
        start = end + 1;
        if (line.rfind("    ", 0) != 0) continue;
        std::string squeezed;
        for (char ch : line) {
            if (ch == ' ' || ch == '\t' || ch == '\r') {
                if (!squeezed.empty() && squeezed.back() != ' ') squeezed += ' ';
            } else {
                squeezed += ch;
            }
        }
        while (!squeezed.empty() && squeezed.back() == ' ') squeezed.pop_back();
        values.push_back(squeezed);
    }
    std::sort(values.begin(), values.end());
    return values;
}


// WM_GETTEXT itself: GetWindowText gives only captions across processes.
std::string TextOf(HWND window) {
    char text[512] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 30000,
                        &length);
    return text;
}

std::vector<std::string> ChildTexts(HWND parent) {
    std::vector<std::string> texts;
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM data) -> BOOL {
            reinterpret_cast<std::vector<std::string>*>(data)->push_back(TextOf(w));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}

// The top-level windows of a process, class and caption, for failure messages.
std::string WindowsOf(DWORD processId) {
    std::pair<DWORD, std::string> data{processId, {}};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* d = reinterpret_cast<std::pair<DWORD, std::string>*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner != d->first) return TRUE;
            char name[64] = {};
            char caption[128] = {};
            GetClassNameA(w, name, sizeof(name));
            GetWindowTextA(w, caption, sizeof(caption));
            d->second += std::string(name) + " \"" + caption + "\"" + (IsWindowVisible(w) ? " visible" : "") + "; ";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&data));
    return data.second;
}

// Returns once the window's thread has handled a message, that is, once the
// program has reached a message loop.
bool Answers(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result) != 0;
}

// A started RestLevel.exe; one still running at the end is ended.
class Program {
public:
    explicit Program(const std::string& path = ProgramPath()) {
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        std::string line = "\"" + path + "\"";
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info_))
            info_ = PROCESS_INFORMATION{};
    }
    ~Program() {
        if (info_.hProcess == nullptr) return;
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 30000);
        }
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return info_.hProcess != nullptr; }
    DWORD Id() const { return info_.dwProcessId; }
    bool Running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

    // The exit code, once the process has ended within the time.
    std::optional<DWORD> ExitCode(std::chrono::milliseconds timeout) const {
        if (!win32test::WaitFor([&] { return !Running(); }, timeout)) return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

    // The main window, once it exists.
    HWND MainWindow() const {
        HWND found = nullptr;
        win32test::WaitFor(
            [&] {
                found = TopWindowOf(Id(), win32::kMainWindowClass);
                return found != nullptr || !Running();
            },
            kStartTimeout);
        return found;
    }

    HWND VisibleMainWindow() const {
        const HWND window = MainWindow();
        if (window == nullptr) return nullptr;
        return win32test::WaitFor([&] { return IsWindowVisible(window) != FALSE || !Running(); }, kStartTimeout) &&
                       IsWindowVisible(window)
                   ? window
                   : nullptr;
    }

private:
    PROCESS_INFORMATION info_{};
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(GetFileAttributesA(ProgramPath().c_str()), INVALID_FILE_ATTRIBUTES) << ProgramPath();
        ClearSettings();
    }
    void TearDown() override { ClearSettings(); }

    static void ClearSettings() {
        Reg(std::string("delete \"") + kKey + "\" /f");
        ASSERT_NE(Reg(std::string("query \"") + kKey + "\"").status, 0u);
    }

    static std::string Tenths(const char* whole, char digit) {
        char separator[8] = {};
        GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof(separator));
        return std::string(whole) + separator[0] + digit;
    }
};

TEST_F(ProgramTest, FirstRunShowsTheWindowAndStoresTheDefaults) {
    Program program;
    ASSERT_TRUE(program.Started());
    const HWND window = program.VisibleMainWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Answers(window));

    EXPECT_EQ(TextOf(window), "RestLevel");
    EXPECT_EQ(SettingsValues(), (std::vector<std::string>{"Configured REG_DWORD 0x1", "IdleTime REG_DWORD 0x64",
                                                          "RestLevel REG_DWORD 0x4ccc"}));

    // The window as the settings left it: no taskbar button, the design
    // size, the sliders and boxes filled from the defaults.
    EXPECT_TRUE(GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    RECT client{};
    GetClientRect(window, &client);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(client.right, MulDiv(359, dpi, 96));
    EXPECT_EQ(client.bottom, MulDiv(214 + 24, dpi, 96));
    const HWND basic = GetDlgItem(window, win32::kIdPageBasic);
    ASSERT_NE(basic, nullptr);
    EXPECT_TRUE(IsWindowVisible(basic));
    EXPECT_EQ(SendMessageA(GetDlgItem(basic, win32::kIdIdleTimeBar), TBM_GETPOS, 0, 0), 100);
    EXPECT_EQ(SendMessageA(GetDlgItem(basic, win32::kIdRestLevelBar), TBM_GETPOS, 0, 0), 300);
    EXPECT_EQ(TextOf(GetDlgItem(basic, win32::kIdIdleTimeEdit)), Tenths("10", '0'));
    EXPECT_EQ(TextOf(GetDlgItem(basic, win32::kIdRestLevelEdit)), Tenths("30", '0'));
    EXPECT_EQ(SendMessageA(GetDlgItem(basic, win32::kIdRelative), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_FALSE(TextOf(GetDlgItem(window, win32::kIdCopyright)).empty());
    EXPECT_TRUE(program.Running());
}

TEST_F(ProgramTest, ConfiguredProgramStartsWithoutItsWindow) {
    ASSERT_EQ(Reg(std::string("add \"") + kKey + "\" /v Configured /t REG_DWORD /d 1 /f").status, 0u);
    Program program;
    const HWND window = program.MainWindow();
    ASSERT_NE(window, nullptr);
    // Start-up is over once the message loop answers.
    ASSERT_TRUE(Answers(window));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_TRUE(program.Running());
    EXPECT_EQ(SettingsValues(), (std::vector<std::string>{"Configured REG_DWORD 0x1", "IdleTime REG_DWORD 0x64",
                                                          "RestLevel REG_DWORD 0x4ccc"}));
}

TEST_F(ProgramTest, RestLevelStoredAsTextIsReplacedByTheDefaultNumber) {
    ASSERT_EQ(Reg(std::string("add \"") + kKey + "\" /v RestLevel /t REG_SZ /d 20000 /f").status, 0u);
    Program program;
    const HWND window = program.VisibleMainWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Answers(window));
    const std::vector<std::string> values = SettingsValues();
    EXPECT_NE(std::find(values.begin(), values.end(), "RestLevel REG_DWORD 0x4ccc"), values.end())
        << testing::PrintToString(values);
    EXPECT_EQ(TextOf(GetDlgItem(GetDlgItem(window, win32::kIdPageBasic), win32::kIdRestLevelEdit)),
              Tenths("30", '0'));
}

class SoundlessProgramTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        char folder[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, folder);
        path_ = std::string(folder) + kSoundlessName;
        ASSERT_TRUE(CopyFileA(ProgramPath().c_str(), path_.c_str(), FALSE));
        for (const char* driver : kAudioDrivers)
            ASSERT_EQ(Reg(std::string("add \"") + kSoundlessOverrides + "\" /v " + driver + " /t REG_SZ /d \"\" /f").status,
                      0u);
    }
    void TearDown() override {
        Reg(std::string("delete \"") + kSoundlessOverrides + "\" /f");
        DeleteFileA(path_.c_str());
        ProgramTest::TearDown();
    }
    std::string path_;
};

TEST_F(SoundlessProgramTest, WithoutASoundDeviceTheProgramSaysSoAndEndsWithZero) {
    Program program(path_);
    ASSERT_TRUE(program.Started());
    HWND box = nullptr;
    ASSERT_TRUE(win32test::WaitFor(
        [&] {
            box = TopWindowOf(program.Id(), "#32770");
            return box != nullptr || !program.Running();
        },
        kStartTimeout))
        << WindowsOf(program.Id());
    ASSERT_NE(box, nullptr) << "the program ended without its message box";
    EXPECT_EQ(TextOf(box), "RestLevel");
    const std::vector<std::string> texts = ChildTexts(box);
    EXPECT_NE(std::find(texts.begin(), texts.end(), kNoSoundDeviceText), texts.end())
        << testing::PrintToString(texts);
    // A single button.
    EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);

    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(program.ExitCode(kStartTimeout), std::optional<DWORD>(0));
    // It ended before reading or storing any setting.
    EXPECT_NE(Reg(std::string("query \"") + kKey + "\"").status, 0u);
}

TEST_F(ProgramTest, SecondStartShowsTheRunningWindowAndEnds) {
    Program first;
    const HWND window = first.VisibleMainWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(Answers(window));

    // Closing only hides the window; the program stays in the tray.
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL, 60000, &result));
    ASSERT_TRUE(win32test::WaitFor([&] { return !IsWindowVisible(window); }, 30s));
    ASSERT_TRUE(Answers(window));
    EXPECT_TRUE(first.Running());

    Program second;
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.ExitCode(kStartTimeout), std::optional<DWORD>(0));
    EXPECT_TRUE(win32test::WaitFor([&] { return IsWindowVisible(window) != FALSE; }, 30s));
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(TopWindowOf(second.Id(), win32::kMainWindowClass), nullptr);
}

// Every orderly way out ends the process with exit code 0 and takes the
// window with it.
TEST_F(ProgramTest, OrderlyEndsGiveExitCodeZero) {
    const struct {
        const char* name;
        void (*end)(HWND window);
    } ways[] = {
        {"Exit in the tray menu", [](HWND window) { PostMessageA(window, WM_COMMAND, win32::kCmdExit, 0); }},
        {"end of the session",
         [](HWND window) {
             DWORD_PTR agreed = 0;
             ASSERT_TRUE(SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000,
                                             &agreed));
             EXPECT_EQ(agreed, static_cast<DWORD_PTR>(TRUE));
             DWORD_PTR ignored = 0;
             SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000, &ignored);
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        ClearSettings();
        Program program;
        const HWND window = program.VisibleMainWindow();
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(Answers(window));
        way.end(window);
        EXPECT_EQ(program.ExitCode(kStartTimeout), std::optional<DWORD>(0));
        EXPECT_FALSE(IsWindow(window));
    }
}

TEST(ProgramFileTest, VersionResourceNamesTheProgram) {
    const std::unique_ptr<IFileSystem> files = CreateFileSystem();
    SetFileSystemPort(files.get());
    const struct {
        int key;
        const char* text;
    } strings[] = {
        {0, "Halvane"},   {1, "RestLevel"}, {2, "1.0.0.0"},       {3, "RestLevel"}, {4, "Copyright (c) 2026 Halvane"},
        {5, "RestLevel.exe"}, {6, "RestLevel"}, {7, "1.0.0.0"},
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(VersionInfoKey[static_cast<std::size_t>(s.key)]);
        EXPECT_EQ(GetVersionInfoText(ProgramPath(), s.key), s.text);
    }
    SetFileSystemPort(nullptr);

    // The program icon comes first, so that Explorer shows it; the three tray
    // images follow, each the picture of its state (the most common colour is
    // the square, the next the loudspeaker). The icons load at the sizes the
    // window asks for.
    HMODULE image = LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    int firstIcon = 0;
    EnumResourceNamesA(
        image, RT_GROUP_ICON,
        [](HMODULE, LPCSTR, LPSTR name, LONG_PTR first) -> BOOL {
            *reinterpret_cast<int*>(first) = IS_INTRESOURCE(name) ? static_cast<int>(reinterpret_cast<ULONG_PTR>(name)) : -1;
            return FALSE;
        },
        reinterpret_cast<LONG_PTR>(&firstIcon));
    EXPECT_EQ(firstIcon, 1);
    const struct {
        int id;
        const char* square;
        const char* loudspeaker;  // nullptr: the program icon
    } icons[] = {{1, nullptr, nullptr},
                 {2, "#008080", "#ffffff"},   // watching
                 {3, "#008080", "#ffd600"},   // rest level in force
                 {4, "#808080", "#ffffff"}};  // disabled
    for (const auto& expected : icons) {
        SCOPED_TRACE(expected.id);
        HANDLE icon = LoadImageA(image, MAKEINTRESOURCEA(expected.id), IMAGE_ICON, 16, 16, 0);
        EXPECT_NE(icon, nullptr);
        if (icon == nullptr) continue;
        if (expected.square != nullptr) {
            const std::vector<std::string> colours = win32test::IconColours(static_cast<HICON>(icon));
            EXPECT_GE(colours.size(), 2u);
            if (colours.size() >= 2) {
                EXPECT_EQ(colours[0], expected.square);
                EXPECT_EQ(colours[1], expected.loudspeaker);
            }
        }
        DestroyIcon(static_cast<HICON>(icon));
    }
    // The manifest asks for common controls v6 and per-monitor DPI.
    const HRSRC manifest = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(manifest, nullptr);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image, manifest)));
    const std::string text(bytes, SizeofResource(image, manifest));
    for (const char* part : {"Microsoft.Windows.Common-Controls", "PerMonitorV2", "asInvoker", "UTF-8"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
    FreeLibrary(image);
}

}  // namespace
}  // namespace rl

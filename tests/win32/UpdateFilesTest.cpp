// What the update's download and installer need of the Windows files
// adapter, under Wine: package times that come out as the server's instant
// in summer and in winter (run once more in a zone with summer time), moves
// with the replace and write-through flags, folder removal, and the plain
// shell start.
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/TextSystem.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "tests/win32/Win32TestSupport.h"

namespace rl {
namespace {

std::string Packed(const std::string& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
              static_cast<uLong>(plain.size()), Z_DEFAULT_COMPRESSION);
    packed.resize(size);
    return packed;
}

void WriteBytes(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The last-write time as the system keeps it, as a date-time worked out here.
double WrittenDateTime(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) return 0;
    const std::uint64_t ticks =
        (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    // 1601-01-01 is 109205 days before 1899-12-30.
    return static_cast<double>(ticks) / 864000000000.0 - 109205.0;
}

class Win32UpdateFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileSystemPort(files_.get());
        SetTextSystemPort(text_.get());
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        static std::atomic<int> serial{0};
        folder_ = std::string(temp) + "RestLevelUpdateFiles-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(++serial);
        ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
    }
    void TearDown() override {
        for (const char* name : {"from", "to", "summer.bin", "winter.bin", "args.txt", "sub\\x", "sub"}) {
            const std::string path = In(name);
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
            RemoveDirectoryA(path.c_str());
        }
        RemoveDirectoryA(folder_.c_str());
        ResetFileError();
        SetTextSystemPort(nullptr);
        SetFileSystemPort(nullptr);
    }
    std::string In(const std::string& name) const { return folder_ + "\\" + name; }

    std::unique_ptr<IFileSystem> files_ = CreateFileSystem();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
    std::string folder_;
};

TEST_F(Win32UpdateFilesTest, APackageTakesTheServersInstantInSummerAndInWinter) {
    const bool zoned = std::getenv("RL_TEXT_ZONE") != nullptr;
    const struct {
        const char* name;
        double utc;
        double offsetHours;  // in the test's zone
    } cases[] = {
        {"winter", 45306.4375, 1},  // 2024-01-15 10:30:00 UTC
        {"summer", 45488.4375, 2},  // 2024-07-15 10:30:00 UTC
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // As the download converts the Last-Modified time and the file
        // utilities set it.
        const double local = UtcToLocalDateTime(c.utc);
        if (zoned) {
            EXPECT_NEAR(local - c.utc, c.offsetHours / 24, 1e-9) << "the zone is not in force";
        }
        const std::string staged = In(std::string(c.name) + ".bin");
        ASSERT_TRUE(DecompressToFile(Packed("package"), staged, local)) << FileLastError;
        EXPECT_NEAR(GetFileDateUTC(staged), c.utc, 0.001 / 86400);
        EXPECT_NEAR(WrittenDateTime(staged), c.utc, 0.001 / 86400);
    }
}

// Windows also refuses to replace a read-only file; Wine 8 replaces it.
TEST_F(Win32UpdateFilesTest, MovesReplaceOnlyWhenAsked) {
    const struct {
        const char* name;
        bool sourceThere;
        bool destinationThere;
        std::uint32_t flags;
        std::uint32_t error;  // 0: moved
    } cases[] = {
        {"replace", true, true, kMovefileReplaceExisting | kMovefileWriteThrough, 0},
        {"new name", true, false, kMovefileWriteThrough, 0},
        {"existing name without replace", true, true, 0, ERROR_ALREADY_EXISTS},
        {"missing source", false, false, kMovefileReplaceExisting, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string from = In("from"), to = In("to");
        DeleteFileA(from.c_str());
        DeleteFileA(to.c_str());
        if (c.sourceThere) WriteBytes(from, "new");
        if (c.destinationThere) WriteBytes(to, "old");

        EXPECT_EQ(files_->MoveFileEx(from, to, c.flags), c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(files_->LastError(), c.error);
        }
        EXPECT_EQ(ReadBytes(to), c.error == 0 ? "new" : c.destinationThere ? "old" : "");
        EXPECT_EQ(Exists(from), c.error != 0 && c.sourceThere);
    }
}

TEST_F(Win32UpdateFilesTest, FoldersGoWhenEmptyAndProgramsStartWithTheirArguments) {
    const std::string sub = In("sub");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    WriteBytes(In("sub\\x"), "");
    EXPECT_FALSE(files_->RemoveDirectory(sub));
    EXPECT_EQ(files_->LastError(), static_cast<std::uint32_t>(ERROR_DIR_NOT_EMPTY));
    DeleteFileA(In("sub\\x").c_str());
    EXPECT_TRUE(files_->RemoveDirectory(sub));
    EXPECT_FALSE(Exists(sub));

    EXPECT_TRUE(files_->CopyPermissions(In("nothing"), In("to"))) << "Windows files carry no permission bits";

    const std::string self = win32test::ModulePath();
    const std::string helper = self.substr(0, self.find_last_of('\\') + 1) + "rl_filelib_helper.exe";
    const std::intptr_t started = files_->ShellExecuteCode(0, "open", helper, "exit 0 args.txt \"two words\"",
                                                           folder_, kSwHide);
    EXPECT_GT(started, kShellExecuteErrorLimit);
    // No handle comes back: the helper is waited for through its file, whole
    // once its last line (the working folder) is there.
    const auto whole = [this] {
        const std::string text = ReadBytes(In("args.txt"));
        return std::count(text.begin(), text.end(), '\n') == 5;
    };
    for (int i = 0; i < 200 && !whole(); ++i) Sleep(50);
    const std::string args = ReadBytes(In("args.txt"));
    EXPECT_NE(args.find("\nargs.txt\ntwo words\n"), std::string::npos) << args;
    EXPECT_LE(files_->ShellExecuteCode(0, "open", In("no-such-program.exe"), "", "", kSwHide),
              kShellExecuteErrorLimit);
}

}  // namespace
}  // namespace rl

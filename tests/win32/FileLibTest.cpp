// The file utilities over the Windows adapter, under Wine: copies with their
// times, zlib streams inflated into files, folders, temporary files, paths,
// version resources, and programs started, waited for and closed.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Platform.h"
#include "platform/TextSystem.h"
#include "procenum/KzEnumProcesses.h"
#include "support/KzFileLib.h"
#include "support/VorlLibText.h"
#include "tests/win32/Win32TestSupport.h"
#include "tests/win32/ZlibStreams.h"

namespace rl {
namespace {

using namespace std::chrono_literals;

// 100-ns ticks.
constexpr std::uint64_t kTicksPerSecond = 10000000ull;
constexpr std::uint64_t kTicksPerDay = 86400ull * kTicksPerSecond;

std::uint64_t Ticks(const FILETIME& f) { return (std::uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

FILETIME ToFileTime(std::uint64_t ticks) {
    FILETIME f{};
    f.dwLowDateTime = static_cast<DWORD>(ticks);
    f.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return f;
}

std::uint64_t TicksOf(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0) {
    SYSTEMTIME s{};
    s.wYear = year;
    s.wMonth = month;
    s.wDay = day;
    s.wHour = hour;
    s.wMinute = minute;
    s.wSecond = second;
    FILETIME f{};
    EXPECT_TRUE(SystemTimeToFileTime(&s, &f));
    return Ticks(f);
}

std::uint64_t Now() {
    FILETIME f{};
    GetSystemTimeAsFileTime(&f);
    return Ticks(f);
}

// A date-time (days since 30 December 1899) of a file time, worked out here
// rather than with the unit's own conversion.
double DateTimeOf(std::uint64_t ticks) {
    static const std::uint64_t epoch = TicksOf(1899, 12, 30);
    return (static_cast<double>(ticks) - static_cast<double>(epoch)) / static_cast<double>(kTicksPerDay);
}

struct Times {
    std::uint64_t Created = 0, Accessed = 0, Written = 0;
};

// Reads times without reading data, so the access time stays as it is.
Times TimesOf(const std::string& name) {
    Times t;
    const HANDLE h = CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name;
    if (h == INVALID_HANDLE_VALUE) return t;
    FILETIME c{}, a{}, w{};
    EXPECT_TRUE(GetFileTime(h, &c, &a, &w));
    CloseHandle(h);
    return Times{Ticks(c), Ticks(a), Ticks(w)};
}

void SetTimes(const std::string& name, const Times& t) {
    const HANDLE h =
        CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    const FILETIME c = ToFileTime(t.Created), a = ToFileTime(t.Accessed), w = ToFileTime(t.Written);
    EXPECT_TRUE(SetFileTime(h, &c, &a, &w));
    CloseHandle(h);
}

void WriteBytes(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << name;
}

std::string ReadBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const std::string& name) {
    const DWORD a = GetFileAttributesA(name.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string Stream(const unsigned char* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

std::string HelperPath() {
    const std::string self = win32test::ModulePath();
    return self.substr(0, self.find_last_of('\\') + 1) + "rl_filelib_helper.exe";
}

std::string SystemTempPath() {
    char buffer[MAX_PATH] = {};
    const DWORD length = GetTempPathA(MAX_PATH, buffer);
    return std::string(buffer, length);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Whether this system keeps a creation time that a program sets. Wine keeps
// no creation time of its own on a Unix file system and ignores the one it
// is given; the creation-time cases need a system that keeps it.
std::string CreationTimeLimit(const std::string& folder) {
    const std::string probe = folder + "\\creation-probe";
    WriteBytes(probe, "x");
    const std::uint64_t wanted = TicksOf(2001, 2, 3, 4, 5, 6);
    Times t = TimesOf(probe);
    t.Created = wanted;
    SetTimes(probe, t);
    const std::uint64_t got = TimesOf(probe).Created;
    DeleteFileA(probe.c_str());
    if (got == wanted) return {};
    std::ostringstream reason;
    reason << "the system does not keep a creation time set with SetFileTime: set " << wanted << ", read back "
           << got;
    return reason.str();
}

class Win32FileLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetFileSystemPort(files_.get());
        SetTextSystemPort(text_.get());
        SetSnapshotPort(snapshots_.get());
        static std::atomic<int> serial{0};
        folder_ = SystemTempPath() + "RestLevelFileLib-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(++serial);
        RemoveTree(folder_);
        ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
    }

    void TearDown() override {
        RemoveTree(folder_);
        ResetFileError();
        SetSnapshotPort(nullptr);
        SetTextSystemPort(nullptr);
        SetFileSystemPort(nullptr);
    }

    std::string In(const std::string& name) const { return folder_ + "\\" + name; }

    std::unique_ptr<IFileSystem> files_ = CreateFileSystem();
    std::unique_ptr<ITextSystem> text_ = CreateTextSystem();
    std::unique_ptr<ISnapshotPort> snapshots_ = CreateSnapshotPort();
    std::string folder_;
};

// Copying ---------------------------------------------------------------

using Win32FileLibCopyTest = Win32FileLibTest;

TEST_F(Win32FileLibCopyTest, ReplacesTheDestinationAndTakesTheSourcesTimes) {
    const std::string source = In("source.bin"), destination = In("destination.bin");
    const std::string bytes("new contents\0\x01\xff of the source", 29);
    WriteBytes(source, bytes);
    WriteBytes(destination, std::string(5000, 'o'));
    SetTimes(source, {TicksOf(2019, 5, 6, 7, 8, 9), TicksOf(2021, 3, 4, 5, 6, 7), TicksOf(2020, 1, 2, 3, 4, 5)});
    SetTimes(destination, {TicksOf(2010, 1, 1), TicksOf(2010, 1, 1), TicksOf(2010, 1, 1)});

    ASSERT_TRUE(CopyFileWithTimes(source, destination, false)) << FileLastStep << ": " << FileLastError;

    // The source as it is after the copy: reading it may have moved its
    // access time. Times first, as reading the copy may move its own.
    const Times from = TimesOf(source);
    const Times to = TimesOf(destination);
    EXPECT_EQ(to.Written, TicksOf(2020, 1, 2, 3, 4, 5));
    EXPECT_EQ(to.Written, from.Written);
    EXPECT_EQ(to.Accessed, from.Accessed);
    EXPECT_EQ(ReadBytes(destination), bytes);
    EXPECT_EQ(FileLastStep, "") << FileLastError;
}

TEST_F(Win32FileLibCopyTest, ReadFileGivesTheContentFromItsPositionThenZeroAtTheEnd) {
    const std::string name = In("package.bin");
    std::string content(150001, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + (i >> 8));
    WriteBytes(name, content);
    const SysHandle file = files_->CreateFile(name, kGenericRead, kFileShareRead, kOpenExisting, 0);
    ASSERT_NE(file, kInvalidHandle);
    std::string data;
    std::vector<char> buffer(65536);
    int reads = 0;
    std::uint32_t read = 0;
    while (files_->ReadFile(file, buffer.data(), 65536, read) && read > 0 && reads < 1000) {
        data.append(buffer.data(), read);
        ++reads;
    }
    EXPECT_EQ(read, 0u) << "zero at the end, not a failure";
    EXPECT_EQ(data, content);
    EXPECT_EQ(reads, 3);
    EXPECT_TRUE(files_->CloseHandle(file));

    // A handle without read access reads nothing.
    const SysHandle writer = files_->CreateFile(name, kGenericWrite, 0, kOpenExisting, 0);
    ASSERT_NE(writer, kInvalidHandle);
    char byte = 0;
    EXPECT_FALSE(files_->ReadFile(writer, &byte, 1, read));
    EXPECT_EQ(files_->LastError(), 5u) << "ERROR_ACCESS_DENIED";
    EXPECT_TRUE(files_->CloseHandle(writer));
}

TEST_F(Win32FileLibCopyTest, CreationTimeIsNowUnlessKept) {
    const std::string limit = CreationTimeLimit(folder_);
    if (!limit.empty()) GTEST_SKIP() << limit;
    const std::string source = In("source.bin"), destination = In("destination.bin");
    WriteBytes(source, "data");
    WriteBytes(destination, "old");
    const std::uint64_t created = TicksOf(2018, 8, 9, 10, 11, 12);
    const std::uint64_t written = TicksOf(2020, 1, 2, 3, 4, 5);
    SetTimes(source, {created, TicksOf(2021, 3, 4), written});

    const std::uint64_t before = Now();
    ASSERT_TRUE(CopyFileWithTimes(source, destination, false));
    const std::uint64_t after = Now();
    const std::uint64_t now = TimesOf(destination).Created;
    EXPECT_GE(now + 60 * kTicksPerSecond, before);
    EXPECT_LE(now, after + 60 * kTicksPerSecond);

    ASSERT_TRUE(CopyFileWithTimes(source, destination, true));
    EXPECT_EQ(TimesOf(destination).Created, created);

    // 1601-01-02 lies before the date-time epoch of 1899-12-30, so it counts
    // as no time, as a zero would (which SetFileTime may take as "leave it").
    SetTimes(source, {kTicksPerDay, TicksOf(2021, 3, 4), written});
    ASSERT_TRUE(CopyFileWithTimes(source, destination, true));
    EXPECT_EQ(TimesOf(destination).Created, written);
}

TEST_F(Win32FileLibCopyTest, AReadOnlySourceGivesAReadOnlyCopy) {
    const std::string source = In("source.txt"), destination = In("destination.txt");
    WriteBytes(source, "read only");
    WriteBytes(destination, "old");
    SetTimes(source, {TicksOf(2019, 1, 1), TicksOf(2021, 1, 1), TicksOf(2020, 6, 7, 8, 9, 10)});
    ASSERT_TRUE(SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));

    ASSERT_TRUE(CopyFileWithTimes(source, destination, false));
    EXPECT_EQ(ReadBytes(destination), "read only");
    const DWORD attributes = GetFileAttributesA(destination.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(TimesOf(destination).Written, TicksOf(2020, 6, 7, 8, 9, 10));
}

TEST_F(Win32FileLibCopyTest, AMissingSourceFailsAtTheCopyAndLeavesTheDestination) {
    const std::string destination = In("destination.txt");
    WriteBytes(destination, "untouched");
    FileLastStep = "stale";

    EXPECT_FALSE(CopyFileWithTimes(In("missing.txt"), destination, false));
    EXPECT_EQ(FileLastStep, "Allocate Copy Buffers");
    EXPECT_FALSE(FileLastError.empty());
    EXPECT_EQ(ReadBytes(destination), "untouched");
}

// Decompression -----------------------------------------------------------

using Win32FileLibDecompressTest = Win32FileLibTest;

TEST_F(Win32FileLibDecompressTest, WritesExactlyTheInflatedBytesOverAnExistingFile) {
    using namespace zlibstreams;
    struct Case {
        const char* name;
        std::string stream, plain;
    };
    const Case cases[] = {
        {"empty stream", Stream(kEmptyStream, kEmptyStreamSize), ""},
        {"small text", Stream(kSmallStream, kSmallStreamSize), Stream(kSmallPlain, kSmallPlainSize)},
        {"one whole chunk", Stream(kOneChunkStream, kOneChunkStreamSize), Stream(kOneChunkPlain, kOneChunkPlainSize)},
        {"a chunk and a byte", Stream(kOneChunkAndOneStream, kOneChunkAndOneStreamSize),
         Stream(kOneChunkAndOnePlain, kOneChunkAndOnePlainSize)},
        {"several chunks", Stream(kSeveralChunksStream, kSeveralChunksStreamSize),
         Stream(kSeveralChunksPlain, kSeveralChunksPlainSize)},
    };
    ASSERT_EQ(cases[2].plain.size(), 65536u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = In("inflated.bin");
        // Longer than any result, so a file that is not replaced shows.
        WriteBytes(target, std::string(250000, 'x'));
        EXPECT_TRUE(DecompressToFile(c.stream, target, 0)) << FileLastStep << ": " << FileLastError;
        const std::string got = ReadBytes(target);
        EXPECT_EQ(got.size(), c.plain.size());
        EXPECT_TRUE(got == c.plain);
        EXPECT_EQ(FileLastError, "");
    }
}

TEST_F(Win32FileLibDecompressTest, SetsTheLastWriteTimeFromALocalDateTime) {
    const std::string target = In("dated.txt");
    // 2024-07-15 13:45:30 local time as a date-time.
    const std::uint64_t localTicks = TicksOf(2024, 7, 15, 13, 45, 30);
    const double local = DateTimeOf(localTicks);
    FILETIME utc{};
    const FILETIME localFile = ToFileTime(localTicks);
    // The unit turns a local time into UTC with the zone's rules for that
    // date, as UtcToLocalDateTime goes the other way.
    SYSTEMTIME zoned{}, universal{};
    ASSERT_TRUE(FileTimeToSystemTime(&localFile, &zoned));
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &zoned, &universal));
    ASSERT_TRUE(SystemTimeToFileTime(&universal, &utc));
    // Run once more in a zone away from UTC, where leaving out the
    // conversion shows.
    if (std::getenv("RL_TEXT_ZONE") != nullptr) {
        EXPECT_NE(Ticks(utc), localTicks) << "the zone is not in force";
    }

    const std::string stream = Stream(zlibstreams::kSmallStream, zlibstreams::kSmallStreamSize);
    ASSERT_TRUE(DecompressToFile(stream, target, local));
    EXPECT_EQ(TimesOf(target).Written, Ticks(utc));
    EXPECT_NEAR(GetFileDateUTC(target), DateTimeOf(Ticks(utc)), 0.001 / 86400);

    // Without a date-time the file keeps the time of its writing.
    const std::uint64_t before = Now();
    ASSERT_TRUE(DecompressToFile(stream, target, 0));
    const std::uint64_t written = TimesOf(target).Written;
    EXPECT_GE(written + 60 * kTicksPerSecond, before);
    EXPECT_LE(written, Now() + 60 * kTicksPerSecond);
}

TEST_F(Win32FileLibDecompressTest, DataThatStopsEarlyKeepsWhatWasInflatedAndFails) {
    const std::string stream = Stream(zlibstreams::kSeveralChunksStream, zlibstreams::kSeveralChunksStreamSize);
    const std::string plain = Stream(zlibstreams::kSeveralChunksPlain, zlibstreams::kSeveralChunksPlainSize);
    const std::string target = In("cut.bin");

    EXPECT_FALSE(DecompressToFile(stream.substr(0, stream.size() / 2), target, 0));
    const std::string got = ReadBytes(target);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), plain.size());
    EXPECT_TRUE(plain.compare(0, got.size(), got) == 0) << "not a prefix of the whole";

    // Only the checksum missing.
    const std::string small = Stream(zlibstreams::kSmallStream, zlibstreams::kSmallStreamSize);
    EXPECT_FALSE(DecompressToFile(small.substr(0, small.size() - 4), target, 0));
}

TEST_F(Win32FileLibDecompressTest, ADamagedStreamRaisesWithTheDecompressorsMessage) {
    const std::string good = Stream(zlibstreams::kSmallStream, zlibstreams::kSmallStreamSize);
    struct Case {
        const char* name;
        std::string stream;
    };
    std::string badHeader = good, badChecksum = good;
    badHeader[0] = static_cast<char>(badHeader[0] ^ 0x01);
    badChecksum.back() = static_cast<char>(badChecksum.back() ^ 0x01);
    const Case cases[] = {{"header", badHeader}, {"checksum", badChecksum}, {"not zlib", "plain text, not zlib"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileLastStep = "stale";
        FileLastErrorCode = 99;
        std::string message;
        try {
            DecompressToFile(c.stream, In("damaged.bin"), 0);
            ADD_FAILURE() << "no error raised";
        } catch (const EDecompressionError& e) {
            message = e.what();
        }
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(FileLastError, message);
        EXPECT_EQ(FileLastStep, "");
        EXPECT_EQ(FileLastErrorCode, 0u);
    }
}

TEST_F(Win32FileLibDecompressTest, ADestinationInAMissingFolderFailsAtCreateFile) {
    const std::string stream = Stream(zlibstreams::kSmallStream, zlibstreams::kSmallStreamSize);
    EXPECT_FALSE(DecompressToFile(stream, In("missing\\x.txt"), 0));
    EXPECT_EQ(FileLastErrorCode, static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
    const std::string suffix = " at Create File";
    ASSERT_GT(FileLastError.size(), suffix.size()) << FileLastError;
    EXPECT_EQ(FileLastError.substr(FileLastError.size() - suffix.size()), suffix);
    EXPECT_FALSE(Exists(In("missing")));
}

// File dates, folders and temporary files -----------------------------------

using Win32FileLibFolderTest = Win32FileLibTest;

TEST_F(Win32FileLibFolderTest, FileDateOfWhatCannotBeOpenedIsZero) {
    EXPECT_EQ(GetFileDateUTC(In("missing.txt")), 0.0);
    EXPECT_EQ(GetFileDateUTC(In("missing\\x.txt")), 0.0);
    EXPECT_EQ(GetFileDateUTC(""), 0.0);
}

TEST_F(Win32FileLibFolderTest, MakeFolderPathCreatesMissingFoldersOnce) {
    const std::string deepest = In("A\\B");
    EXPECT_EQ(MakeFolderPath(deepest), 0);
    EXPECT_TRUE(IsFolder(In("A")));
    EXPECT_TRUE(IsFolder(deepest));
    EXPECT_EQ(MakeFolderPath(deepest), 1);
    EXPECT_EQ(MakeFolderPath(deepest + "\\"), 1);
    // A hidden folder on the way counts as there.
    ASSERT_TRUE(SetFileAttributesA(In("A").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(MakeFolderPath(In("A\\C")), 0);
    EXPECT_TRUE(IsFolder(In("A\\C")));
}

TEST_F(Win32FileLibFolderTest, MakeFolderPathReportsAFolderItCannotCreate) {
    WriteBytes(In("file.txt"), "a file where a folder should be");
    EXPECT_EQ(MakeFolderPath(In("file.txt\\sub\\deeper")), 2);
    EXPECT_FALSE(IsFolder(In("file.txt")));
}

TEST_F(Win32FileLibFolderTest, FindEntryCountsFoldersHiddenAndSystemEntriesOnlyWhenAsked) {
    ASSERT_TRUE(CreateDirectoryA(In("folder").c_str(), nullptr));
    WriteBytes(In("plain.txt"), "");
    WriteBytes(In("hidden.txt"), "");
    WriteBytes(In("system.txt"), "");
    ASSERT_TRUE(SetFileAttributesA(In("hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA(In("system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM));
    struct Case {
        const char* name;
        std::uint32_t mask;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"plain.txt", 0, 0},
        {"plain.txt", kFileAttributeDirectory, 0},
        {"folder", 0, kErrorFileNotFoundCode},
        {"folder", kFileAttributeHidden, kErrorFileNotFoundCode},
        {"folder", kFileAttributeDirectory, 0},
        {"hidden.txt", kFileAttributeDirectory, kErrorFileNotFoundCode},
        {"hidden.txt", kFileAttributeHidden, 0},
        {"system.txt", kFileAttributeHidden, kErrorFileNotFoundCode},
        {"system.txt", kFileAttributeSystem, 0},
        {"missing.txt", 0xFF, kErrorFileNotFoundCode},
        {"missing\\x.txt", 0xFF, kErrorPathNotFoundCode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " mask " + std::to_string(c.mask));
        const std::uint32_t result = files_->FindEntry(In(c.name), c.mask);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(files_->LastError(), c.expected);
    }
}

TEST_F(Win32FileLibFolderTest, CreateTempFileMakesANewEmptyFileInTheFolder) {
    const std::string first = CreateTempFile(folder_);
    const std::string second = CreateTempFile(folder_);
    const std::regex pattern(R"(HLV[0-9A-F]{1,4}\.TMP)", std::regex::icase);
    for (const std::string& name : {first, second}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(name.compare(0, folder_.size() + 1, folder_ + "\\"), 0);
        EXPECT_TRUE(std::regex_match(name.substr(folder_.size() + 1), pattern));
        EXPECT_EQ(ReadBytes(name), "");
        EXPECT_TRUE(Exists(name));
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(CreateTempFile(In("missing")), "");
}

TEST_F(Win32FileLibFolderTest, CreateTempFileWithoutAFolderUsesTheCurrentOne) {
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.c_str()));
    const std::string name = CreateTempFile("");
    SetCurrentDirectoryA(previous);

    // Named after the current folder as "."; the file is in the folder that
    // was current then.
    ASSERT_EQ(name.compare(0, 2, ".\\"), 0) << name;
    const std::string file = name.substr(2);
    EXPECT_TRUE(std::regex_match(file, std::regex(R"(HLV[0-9A-F]{1,4}\.TMP)", std::regex::icase))) << name;
    EXPECT_TRUE(Exists(In(file))) << name;
}

TEST_F(Win32FileLibFolderTest, TempFolderAndComputerNameAreTheSystems) {
    const std::string temp = GetTempFolder();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '\\');
    EXPECT_EQ(temp, SystemTempPath());
    EXPECT_TRUE(IsFolder(temp));

    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &length));
    EXPECT_EQ(GetComputerNameText(), std::string(name, length));
}

// Paths -------------------------------------------------------------------

using Win32FileLibPathTest = Win32FileLibTest;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Every other letter in upper case.
std::string MixedCase(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        text[i] = static_cast<char>(i % 2 ? std::toupper(c) : std::tolower(c));
    }
    return text;
}

TEST_F(Win32FileLibPathTest, ResolvesSharesDrivesAndRelativePaths) {
    const std::string computer = GetComputerNameText();
    ASSERT_FALSE(computer.empty());
    ASSERT_TRUE(IsFolder("C:\\windows"));
    ASSERT_FALSE(Exists("C:\\NoSuchDir"));
    struct Case {
        std::string base, path, expected;
    };
    const Case cases[] = {
        // The administrative share of this computer, its name in any case.
        {"C:\\Prog\\", "\\\\" + Lower(computer) + "\\c$\\Dir\\x.txt", "c:\\Dir\\x.txt"},
        {"C:\\Prog\\", "\\\\" + MixedCase(computer) + "\\c$\\Dir\\x.txt", "c:\\Dir\\x.txt"},
        {"C:\\Prog\\", "\\\\\"" + computer + "\"\\c$\\Dir\\x.txt", "c:\\Dir\\x.txt"},
        // Another computer's share counts as local only where the folder is.
        {"C:\\Prog\\", "\\\\NOSUCHHOST\\c$\\windows\\x.txt", "c:\\windows\\x.txt"},
        {"C:\\Prog\\", "\\\\NOSUCHHOST\\c$\\NoSuchDir\\x.txt", "\\\\NOSUCHHOST\\c$\\NoSuchDir\\x.txt"},
        {"C:\\Prog\\", "\\\\" + computer + "\\share\\x.txt", "\\\\" + computer + "\\share\\x.txt"},
        {"C:\\Prog\\", "D:\\Other\\x.txt", "D:\\Other\\x.txt"},
        {"C:\\Prog\\", "\\x.txt", "C:\\x.txt"},
        {"C:\\Prog\\", "..\\Data\\x.txt", "C:\\Data\\x.txt"},
        {"C:\\Prog\\", "x.txt", "C:\\Prog\\x.txt"},
        // A base without its final "\": a folder when there is one, else
        // a file name whose folder is the base.
        {folder_, "x.txt", folder_ + "\\x.txt"},
        {folder_ + "\\settings.ini", "x.txt", folder_ + "\\x.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base + " + " + c.path);
        EXPECT_EQ(ResolvePath(c.base, c.path), c.expected);
    }
}

// Version resources ---------------------------------------------------------

using Win32FileLibVersionTest = Win32FileLibTest;

TEST_F(Win32FileLibVersionTest, ReadsStringsOfTheFirstTranslation) {
    const std::string helper = HelperPath();
    ASSERT_TRUE(Exists(helper)) << helper;
    struct Case {
        int key;
        const char* expected;
    };
    // The helper lists English first and German second, but stores the
    // German strings first.
    const Case cases[] = {
        {1, "RestLevel test helper"},
        {0, "Halvane Test"},
        {2, "1.2.3.4"},
        {4, ""},   // not in the resource
        {6, ""},   // empty in the resource
        {-1, ""},  // no such key
        {8, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(GetVersionInfoText(helper, c.key), c.expected);
    }
}

TEST_F(Win32FileLibVersionTest, FilesWithoutAVersionResourceGiveNothing) {
    WriteBytes(In("notes.txt"), "no resources here");
    EXPECT_EQ(GetVersionInfoText(In("notes.txt"), 1), "");
    EXPECT_EQ(GetVersionInfoText(In("missing.exe"), 1), "");
}

TEST_F(Win32FileLibVersionTest, QueriesGiveTranslationBytesAndTerminatedText) {
    std::vector<std::uint8_t> resource;
    ASSERT_TRUE(files_->ReadVersionResource(HelperPath(), resource));
    std::vector<std::uint8_t> value;
    ASSERT_TRUE(files_->QueryVersionValue(resource, "\\VarFileInfo\\Translation", value));
    EXPECT_EQ(value, (std::vector<std::uint8_t>{0x09, 0x04, 0xE4, 0x04, 0x07, 0x04, 0xE4, 0x04}));
    ASSERT_TRUE(files_->QueryVersionValue(resource, "\\StringFileInfo\\040704E4\\CompanyName", value));
    EXPECT_EQ(std::string(value.begin(), value.end()), std::string("Halvane Test GmbH", 18));
    EXPECT_FALSE(files_->QueryVersionValue(resource, "\\StringFileInfo\\041104E4\\CompanyName", value));
    EXPECT_FALSE(files_->ReadVersionResource(In("missing.exe"), resource));
}

// Programs ----------------------------------------------------------------

using Win32FileLibProcessTest = Win32FileLibTest;

TEST_F(Win32FileLibProcessTest, RunAndWaitWaitsForTheExitCodeInTheWorkingFolder) {
    std::uint32_t code = 0;
    ASSERT_TRUE(RunAndWait(0, "open", HelperPath(), "exit 7 args.txt", folder_, kSwHide, true, &code));
    EXPECT_EQ(code, 7u);
    // Written by the helper before it ended, in the folder it was started in.
    const std::vector<std::string> lines = Lines(ReadBytes(In("args.txt")));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "exit");
    EXPECT_EQ(lines[1], "7");
    EXPECT_EQ(lines[2], "args.txt");
    EXPECT_TRUE(win32test::EqualsNoCase(lines[3], folder_)) << lines[3];
}

TEST_F(Win32FileLibProcessTest, RunWithoutWaitingStartsTheProgram) {
    const std::string out = In("started.txt");
    ASSERT_TRUE(RunAndWait(0, "", HelperPath(), "exit 0 \"" + out + "\"", "", kSwHide, false));
    EXPECT_TRUE(win32test::WaitFor([&] { return Lines(ReadBytes(out)).size() == 4; }, 30s));
}

TEST_F(Win32FileLibProcessTest, AMissingProgramIsNotStarted) {
    std::uint32_t code = 12345;
    EXPECT_FALSE(RunAndWait(0, "open", In("missing.exe"), "", "", kSwHide, true, &code));
    EXPECT_EQ(code, 12345u);
}

// A helper started directly, for its thread and process ids.
class Helper {
public:
    explicit Helper(const std::string& arguments) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string line = "\"" + HelperPath() + "\" " + arguments;
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &startup, &info_))
            info_ = PROCESS_INFORMATION{};
    }
    ~Helper() {
        if (info_.hProcess == nullptr) return;
        TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, 20000);
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    bool Started() const { return info_.hProcess != nullptr; }
    DWORD ThreadId() const { return info_.dwThreadId; }
    DWORD ProcessId() const { return info_.dwProcessId; }
    // Waits for the end; the exit code, or STILL_ACTIVE when it has not ended.
    DWORD ExitCodeAfterWaiting() const {
        WaitForSingleObject(info_.hProcess, 20000);
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION info_{};
};

TEST_F(Win32FileLibProcessTest, CloseProcessTerminatesAProgramThatIgnoresTheRequest) {
    Helper helper("sleep");
    ASSERT_TRUE(helper.Started());
    EXPECT_TRUE(CloseProcess(helper.ThreadId(), helper.ProcessId(), 2000));
    EXPECT_EQ(helper.ExitCodeAfterWaiting(), 0u);  // TerminateProcess's code, not the helper's
}

TEST_F(Win32FileLibProcessTest, CloseProcessEndsAMessageLoopWithoutTerminating) {
    const std::string eventName = "RestLevelFileLibReady-" + std::to_string(GetCurrentProcessId());
    const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(ready, nullptr);
    Helper helper("loop " + eventName);
    ASSERT_TRUE(helper.Started());
    const DWORD waited = WaitForSingleObject(ready, 30000);
    CloseHandle(ready);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the helper's message queue never came up";

    EXPECT_TRUE(CloseProcess(helper.ThreadId(), 0, 2000));
    EXPECT_EQ(helper.ExitCodeAfterWaiting(), 3u);  // its loop ended on WM_QUIT
}

TEST_F(Win32FileLibProcessTest, CloseProcessWithoutIdsDoesNothing) {
    EXPECT_FALSE(CloseProcess(0, 0, 2000));
}

}  // namespace
}  // namespace rl

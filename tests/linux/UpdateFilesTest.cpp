// What the update's download and installer need of the Linux files adapter:
// package times that come out as the server's instant in summer and in
// winter, moves and folder removal with Windows' answers, permission bits,
// the plain shell start, and one staged file installed for real over a
// registry of its own. Needs no test services.
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/TextSystem.h"
#include "platform/linux/ErrorCodes.h"
#include "platform/linux/SqliteRegistry.h"
#include "support/KzFileLib.h"
#include "support/KzRegistry.h"
#include "support/VorlLibText.h"
#include "tests/linux/LinuxTestSupport.h"
#include "update/KzAutoUpdate.h"

namespace rl {
namespace {

using namespace std::chrono_literals;
using linuxtest::ReadFile;
using linuxtest::ScopedEnv;
using linuxtest::WriteFile;
namespace fs = std::filesystem;

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a date-time
// Central European time, with summer time from the last Sunday of March to
// the last Sunday of October.
constexpr char kZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

std::string Packed(const std::string& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
              static_cast<uLong>(plain.size()), Z_DEFAULT_COMPRESSION);
    packed.resize(size);
    return packed;
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

double MtimeDateTime(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return (static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9) / 86400.0 + kUnixEpochDays;
}

std::vector<std::uint8_t> Sz(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

class UpdateFilesTest : public linuxtest::FilesAdapterTest {};

TEST_F(UpdateFilesTest, APackageTakesTheServersInstantInSummerAndInWinter) {
    ScopedEnv zone("TZ", kZone);
    tzset();
    const struct {
        const char* name;
        double utc;
    } cases[] = {
        {"winter", 45306.4375},  // 2024-01-15 10:30:00 UTC, 11:30 there
        {"summer", 45488.4375},  // 2024-07-15 10:30:00 UTC, 12:30 there
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // As the download converts the Last-Modified time and the file
        // utilities set it.
        const double local = UtcToLocalDateTime(c.utc);
        EXPECT_NEAR(local - c.utc, (std::string(c.name) == "summer" ? 2.0 : 1.0) / 24, 1e-9) << "the zone is in force";
        const std::string staged = Path(std::string(c.name) + ".bin");
        ASSERT_TRUE(DecompressToFile(Packed("package"), staged, local));
        EXPECT_NEAR(GetFileDateUTC(staged), c.utc, 0.001 / 86400);
        EXPECT_NEAR(MtimeDateTime(staged), c.utc, 0.001 / 86400);
    }
}

TEST_F(UpdateFilesTest, MoveFileExAnswersAsWindowsDoes) {
    const struct {
        const char* name;
        bool sourceThere;
        std::optional<unsigned> destinationMode;  // nullopt: no destination
        std::uint32_t flags;
        std::string newName;
        std::uint32_t error;  // 0: moved
    } cases[] = {
        {"replace", true, 0644, kMovefileReplaceExisting | kMovefileWriteThrough, "to", 0},
        {"new name", true, std::nullopt, kMovefileWriteThrough, "to", 0},
        {"existing name without replace", true, 0644, 0, "to", 183},
        {"read-only destination", true, 0444, kMovefileReplaceExisting, "to", 5},
        {"missing source", false, std::nullopt, kMovefileReplaceExisting, "to", 2},
        // No restart of Windows here to do it.
        {"at the restart", true, 0644, kMovefileDelayUntilReboot | kMovefileReplaceExisting, "to", 50},
        {"deleted at the restart", true, std::nullopt, kMovefileDelayUntilReboot, "", 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string from = Path("from");
        const std::string to = c.newName.empty() ? std::string() : Path(c.newName);
        fs::remove(from);
        fs::remove(Path("to"));
        if (c.sourceThere) WriteFile(from, "new");
        if (c.destinationMode) {
            WriteFile(Path("to"), "old");
            chmod(Path("to").c_str(), *c.destinationMode);
        }
        const bool moved = port->MoveFileEx(from, to, c.flags);
        EXPECT_EQ(moved, c.error == 0);
        EXPECT_EQ(port->LastError(), c.error);
        if (c.error == 0) {
            EXPECT_EQ(ReadFile(Path("to")), "new");
            EXPECT_FALSE(fs::exists(from));
        } else {
            EXPECT_EQ(fs::exists(from), c.sourceThere);
            if (c.destinationMode) {
                EXPECT_EQ(ReadFile(Path("to")), "old");
            }
        }
    }
}

TEST_F(UpdateFilesTest, FoldersPermissionsAndThePlainShellStart) {
    const std::string folder = Path("staging");
    fs::create_directories(folder);
    WriteFile(folder + "/HLV1.TMP", "");
    EXPECT_FALSE(port->RemoveDirectory(folder));
    EXPECT_EQ(port->LastError(), 145u) << "not empty";
    fs::remove(folder + "/HLV1.TMP");
    EXPECT_TRUE(port->RemoveDirectory(folder));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(port->RemoveDirectory(folder));
    EXPECT_EQ(port->LastError(), 2u);

    WriteFile(Path("model"), "");
    WriteFile(Path("copy"), "");
    chmod(Path("model").c_str(), 0750);
    chmod(Path("copy").c_str(), 0600);
    EXPECT_TRUE(port->CopyPermissions(Path("model"), Path("copy")));
    EXPECT_EQ(Mode(Path("copy")), 0750u);
    EXPECT_FALSE(port->CopyPermissions(Path("missing"), Path("copy")));
    EXPECT_EQ(port->LastError(), 2u);

    // The program itself runs, with its arguments split as Windows splits them.
    const std::string out = Path("args.out");
    const std::intptr_t started =
        port->ShellExecuteCode(0, "open", RL_FILE_HELPER, "args " + out + " /KzUpdate \"/opt/My Programs/x\" 12",
                                temp.Path(), 5);
    EXPECT_GT(started, kShellExecuteErrorLimit);
    ASSERT_TRUE(linuxtest::WaitFor([&] { return fs::exists(out); }, 10s));
    EXPECT_EQ(ReadFile(out), std::string("/KzUpdate") + '\0' + "/opt/My Programs/x" + '\0' + "12" + '\0');
    EXPECT_EQ(port->ShellExecuteCode(0, "open", Path("no-such-program"), "", "", 5), 2);
}

// One staged file installed for real, as the installer does it, over a
// registry of the test's own.
TEST_F(UpdateFilesTest, AnInstalledFileIsWholeAndKeepsItsPermissions) {
    std::unique_ptr<IRegistry> registry = CreateSqliteRegistry({Path("registry.db"), false});
    SetRegistryPort(registry.get());
    const struct {
        const char* name;
        std::optional<unsigned> installedMode;  // nullopt: a new file
        unsigned expectedMode;
    } cases[] = {
        {"replaces a program", 0755, 0755},
        {"replaces a private file", 0600, 0600},
        {"a new file", std::nullopt, 0640},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string staged = Path("HLV1.TMP");
        const std::string destination = Path("restlevel");
        fs::remove(destination);
        WriteFile(staged, "version 2");
        chmod(staged.c_str(), 0640);
        const timespec times[2] = {{0, UTIME_OMIT}, {1721039400, 0}};  // 2024-07-15 10:30:00 UTC
        utimensat(AT_FDCWD, staged.c_str(), times, 0);
        if (c.installedMode) {
            WriteFile(destination, "version 1, which was longer");
            chmod(destination.c_str(), *c.installedMode);
        }
        const std::string key = "Software\\Halvane\\KzAutoUpdate\\Files\\HLV1.TMP";
        RegKey handle = 0;
        ASSERT_EQ(registry->CreateKey(kHKeyCurrentUser, key, kKeyAllAccess, handle, nullptr), kErrorSuccess);
        const std::vector<std::uint8_t> from = Sz(staged), to = Sz(destination);
        registry->SetValue(handle, "TempFile", kRegSz, from.data(), static_cast<std::uint32_t>(from.size()));
        registry->SetValue(handle, "DestFile", kRegSz, to.data(), static_cast<std::uint32_t>(to.size()));
        registry->CloseKey(handle);

        EXPECT_TRUE(InstallStagedFile("HLV1.TMP")) << FileLastError;
        EXPECT_EQ(ReadFile(destination), "version 2");
        EXPECT_EQ(Mode(destination), c.expectedMode);
        EXPECT_NEAR(MtimeDateTime(destination), 1721039400.0 / 86400 + kUnixEpochDays, 0.001 / 86400);
        EXPECT_TRUE(fs::exists(staged)) << "the staging is cleared later, as a whole";
        for (const auto& entry : fs::directory_iterator(temp.Path()))
            EXPECT_EQ(entry.path().filename().string().find("KzUpdate"), std::string::npos) << entry.path();
    }
    SetRegistryPort(nullptr);
}

}  // namespace
}  // namespace rl

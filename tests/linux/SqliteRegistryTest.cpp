// The Linux registry store on real SQLite files, each test in a fresh
// $XDG_CONFIG_HOME: where it lives, round trips with restlevel-reg, two
// processes at once, a kill right after a write, a store that can only be
// read, a damaged file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "platform/linux/SqliteRegistry.h"
#include "support/KzRegistry.h"
#include "support/VorlLibRegistry.h"
#include "tests/contract/RegRoundTrips.h"
#include "tests/contract/RegistryContract.h"
#include "tests/linux/LinuxTestSupport.h"

namespace rl {
namespace {

using namespace linuxtest;
using List = std::vector<std::string>;

constexpr RegKey kHKCU = kHKeyCurrentUser;

std::string Quote(const std::string& arg) {
    std::string quoted = "'";
    for (const char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SqliteStore : public ::testing::Test {
protected:
    void TearDown() override { SetRegistryPort(nullptr); }

    std::string Folder() const { return dir.Path() + "/restlevel"; }
    std::string DbPath() const { return Folder() + "/registry.db"; }

    // This process's registry, as main sets it up.
    void Connect() {
        registry = CreateRegistry();
        SetRegistryPort(registry.get());
    }
    void Disconnect() {
        SetRegistryPort(nullptr);
        registry.reset();
    }

    CommandResult Tool(const std::vector<std::string>& args) {
        std::string command = Quote(RL_REG_TOOL);
        for (const std::string& a : args) command += " " + Quote(a);
        return linuxtest::Run(command + " </dev/null 2>&1");
    }

    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.Path().c_str()};
    std::unique_ptr<IRegistry> registry;
};

// --- Where the store lives ----------------------------------------------------

TEST(SqliteStorePath, FollowsXdgConfigHomeElseHome) {
    const struct {
        const char* xdg;
        const char* home;
        const char* expected;
    } cases[] = {
        {"/cfg", "/home/u", "/cfg/restlevel/registry.db"},
        {nullptr, "/home/u", "/home/u/.config/restlevel/registry.db"},
        {"", "/home/u", "/home/u/.config/restlevel/registry.db"},
        {"relative/cfg", "/home/u", "/home/u/.config/restlevel/registry.db"},  // not absolute: ignored
    };
    for (const auto& c : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(SqliteRegistryDefaultPath(), c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
}

TEST_F(SqliteStore, IsCreatedOnFirstUsePrivateToTheUser) {
    ScopedEnv deeper("XDG_CONFIG_HOME", (dir.Path() + "/not/yet").c_str());
    Connect();
    ASSERT_TRUE(RegWriteInteger(kHKCU, kSettingsKey, "Configured", 1));
    const std::string folder = dir.Path() + "/not/yet/restlevel";
    ASSERT_TRUE(std::filesystem::exists(folder + "/registry.db"));
    EXPECT_EQ(Mode(folder), 0700u);
    // The database and, while it is open, its WAL files.
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_EQ(Mode(entry.path().string()), 0600u) << entry.path();
}

// --- Round trips with restlevel-reg -------------------------------------------

TEST_F(SqliteStore, OurWritesReadByTheTool) {
    Connect();
    for (const auto& row : contract::OurWrites()) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(row.integer ? RegWriteInteger(kHKCU, contract::kRoundTripKey, row.name, *row.integer)
                                : RegWriteStringList(kHKCU, contract::kRoundTripKey, row.name, row.list));
        const CommandResult r = Tool({"query", std::string("HKCU\\") + contract::kRoundTripKey, "/v", row.name});
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, std::string("\nHKEY_CURRENT_USER\\") + contract::kRoundTripKey + "\n" + row.line + "\n\n");
    }
}

TEST_F(SqliteStore, ToolWritesReadByOurFunctions) {
    Connect();
    const List fallback{"default"};
    for (const auto& row : contract::RegAdds()) {
        SCOPED_TRACE(row.name + " " + row.type + " " + row.data);
        const CommandResult r = Tool({"add", std::string("HKEY_CURRENT_USER\\") + contract::kRoundTripKey, "/v",
                                      row.name, "/t", row.type, "/d", row.data, "/f"});
        EXPECT_EQ(r.status, row.accepted ? 0 : 1) << r.output;
        RegKey key = 0;
        std::uint32_t size = 0;
        ASSERT_EQ(registry->OpenKey(kHKCU, contract::kRoundTripKey, kKeyRead, key), kErrorSuccess);
        EXPECT_EQ(registry->QueryValue(key, row.name, nullptr, nullptr, &size) == kErrorSuccess, row.accepted);
        registry->CloseKey(key);
        EXPECT_EQ(RegReadInteger(kHKCU, contract::kRoundTripKey, row.name, kKeyRead, contract::kRoundTripDefault),
                  row.integer);
        List list;
        EXPECT_EQ(RegReadStringList(kHKCU, contract::kRoundTripKey, row.name, kKeyRead, &fallback, list), row.listRead);
        EXPECT_EQ(list, row.listRead ? row.list : fallback);
    }
}

TEST_F(SqliteStore, ToolNamesIgnoreCaseAndShowTheStoredSpelling) {
    Connect();
    ASSERT_TRUE(RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 19660));

    CommandResult r = Tool({"query", "hkcu\\software\\HALVANE\\restlevel", "/v", "RESTLEVEL"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("REG_DWORD    0x4ccc"), std::string::npos) << r.output;
    r = Tool({"query", "HKCU\\software\\halvane"});
    EXPECT_EQ(r.output, "\nHKEY_CURRENT_USER\\software\\halvane\\RestLevel\n");

    r = Tool({"add", "HKCU\\software\\halvane\\RESTLEVEL", "/v", "restlevel", "/t", "REG_DWORD", "/d", "100", "/f"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 0), 100);
    r = Tool({"query", "HKCU\\Software\\Halvane\\RestLevel"});
    EXPECT_EQ(r.output, "\nHKEY_CURRENT_USER\\Software\\Halvane\\RestLevel\n    RestLevel    REG_DWORD    0x64\n\n");

    r = Tool({"delete", "HKCU\\SOFTWARE\\HALVANE\\RESTLEVEL", "/v", "RESTLEVEL", "/f"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 5), 5);
    r = Tool({"delete", "HKCU\\Software\\Halvane", "/f"});
    EXPECT_EQ(r.status, 0) << r.output;
    r = Tool({"query", "HKCU\\Software\\Halvane\\RestLevel"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "ERROR: The system was unable to find the specified registry key or value.\n");
}

TEST_F(SqliteStore, ToolRefusesWhatRegRefuses) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"query", "HKLM\\Software"}, "ERROR: Invalid key name.\n"},
        {{"add", "HKCU\\Software\\X", "/v", "n", "/t", "REG_DWORD", "/d", "twelve", "/f"},
         "ERROR: The data given for /d is not valid for its type.\n"},
        {{"add", "HKCU\\Software\\X", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296", "/f"},
         "ERROR: The data given for /d is not valid for its type.\n"},
        {{"add", "HKCU\\Software\\X", "/v", "n", "/t", "REG_BINARY", "/d", "abc", "/f"},
         "ERROR: The data given for /d is not valid for its type.\n"},
        {{"add", "HKCU\\Software\\X", "/v", "n", "/t", "REG_LINK", "/f"}, "ERROR: Invalid type \"REG_LINK\".\n"},
        {{"frobnicate", "HKCU\\Software"}, "ERROR: Invalid syntax.\nType \"restlevel-reg /?\" for usage.\n"},
    };
    for (const auto& c : cases) {
        const CommandResult r = Tool(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.output, c.error);
    }
    // An existing value is only replaced after a yes, and the question needs one.
    ASSERT_EQ(Tool({"add", "HKCU\\Software\\X", "/v", "n", "/d", "old"}).status, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\X", "/v", "n", "/d", "new"}).status, 1);
    EXPECT_EQ(Tool({"query", "HKCU\\Software\\X", "/v", "n"}).output,
              "\nHKEY_CURRENT_USER\\Software\\X\n    n    REG_SZ    old\n\n");
}

// --- Two processes ------------------------------------------------------------

TEST_F(SqliteStore, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kValues = 200;
    const std::string key = "Software\\RestLevelTests\\Concurrent";
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char c;
            (void)!read(gate[0], &c, 1);  // both start together
            auto own = CreateRegistry();
            SetRegistryPort(own.get());
            int failures = 0;
            for (int i = 0; i < kValues; ++i)
                if (!RegWriteInteger(kHKCU, key, "c" + std::to_string(child) + "-" + std::to_string(i), i)) ++failures;
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed in process " << pid;
    }

    Connect();
    for (int child = 0; child < 2; ++child)
        for (int i = 0; i < kValues; ++i)
            EXPECT_EQ(RegReadInteger(kHKCU, key, "c" + std::to_string(child) + "-" + std::to_string(i), kKeyRead, -1), i);
}

TEST_F(SqliteStore, AValueReportedStoredSurvivesAKillRightAfter) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(report[0]);
        auto own = CreateRegistry();
        SetRegistryPort(own.get());
        const char stored = RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 12345) &&
                                    RegWriteStringList(kHKCU, kSettingsKey, "Exceptions", {"/usr/bin/mpv"})
                                ? '1'
                                : '0';
        (void)!write(report[1], &stored, 1);
        raise(SIGKILL);  // no clean close of the database
    }
    close(report[1]);
    char stored = 0;
    EXPECT_EQ(read(report[0], &stored, 1), 1);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(stored, '1');

    Connect();
    EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 0), 12345);
    List list;
    EXPECT_TRUE(RegReadStringList(kHKCU, kSettingsKey, "Exceptions", kKeyRead, nullptr, list));
    EXPECT_EQ(list, List{"/usr/bin/mpv"});
}

// --- A store that can only be read --------------------------------------------

// Makes a file or folder unwritable for this process. Root writes through file
// modes, so as root the immutable attribute stands in (it stops root too); the
// adapter sees either one through access(W_OK).
class Unwritable {
public:
    explicit Unwritable(std::string path) : path_(std::move(path)) {
        if (geteuid() == 0) {
            immutable_ = true;
            ok_ = Run("chattr +i " + Quote(path_) + " 2>/dev/null").status == 0;
        } else {
            mode_ = Mode(path_);
            ok_ = ::chmod(path_.c_str(), std::filesystem::is_directory(path_) ? 0500 : 0400) == 0;
        }
    }
    ~Unwritable() {
        if (!ok_) return;
        if (immutable_) Run("chattr -i " + Quote(path_));
        else ::chmod(path_.c_str(), mode_);
    }
    Unwritable(const Unwritable&) = delete;
    Unwritable& operator=(const Unwritable&) = delete;
    bool Ok() const { return ok_; }

private:
    std::string path_;
    bool immutable_ = false;
    bool ok_ = false;
    unsigned mode_ = 0;
};

TEST_F(SqliteStore, AStoreThatCanOnlyBeReadRefusesWritesAndKeepsItsValues) {
    for (const bool folderToo : {false, true}) {
        SCOPED_TRACE(folderToo ? "file and folder unwritable" : "file unwritable");
        Connect();
        ASSERT_TRUE(RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 1));
        ASSERT_TRUE(RegWriteStringList(kHKCU, kSettingsKey, "Exceptions", {"a"}));
        Disconnect();  // the last connection folds the WAL back into the file

        Unwritable file(DbPath());
        std::optional<Unwritable> folder;
        if (folderToo) folder.emplace(Folder());
        if (!file.Ok() || (folder && !folder->Ok()))
            GTEST_SKIP() << "cannot make the store unwritable here (as root this needs chattr +i on this file system)";

        Connect();
        EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 0), 1);
        EXPECT_FALSE(RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 2));
        EXPECT_FALSE(RegWriteStringList(kHKCU, kSettingsKey, "Exceptions", {"b"}));
        EXPECT_FALSE(RegWriteInteger(kHKCU, "Software\\Halvane\\New", "RestLevel", 2));
        EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 0), 1);
        List list;
        EXPECT_TRUE(RegReadStringList(kHKCU, kSettingsKey, "Exceptions", kKeyRead, nullptr, list));
        EXPECT_EQ(list, List{"a"});

        // The cascade: every mask with a changing right is refused, KEY_READ opens.
        for (const std::uint32_t mask : kOpenKeyCascade) {
            RegKey key = 0;
            const RegResult r = registry->CreateKey(kHKCU, kSettingsKey, mask, key, nullptr);
            EXPECT_EQ(r, (mask & kKeyChangingRights) ? kErrorAccessDenied : kErrorSuccess) << std::hex << mask;
            if (r == kErrorSuccess) registry->CloseKey(key);
        }
        {
            TKzRegistry reg;
            ASSERT_TRUE(reg.OpenKey(kSettingsKey, true));
            EXPECT_THROW(reg.WriteInteger("RestLevel", 3), ERegistryException);
        }

        const CommandResult add =
            Tool({"add", "HKCU\\SOFTWARE\\Halvane\\RestLevel", "/v", "RestLevel", "/t", "REG_DWORD", "/d", "4", "/f"});
        EXPECT_EQ(add.status, 1);
        EXPECT_EQ(add.output, "ERROR: Access is denied.\n");
        EXPECT_EQ(Tool({"query", "HKCU\\SOFTWARE\\Halvane\\RestLevel", "/v", "RestLevel"}).output,
                  "\nHKEY_CURRENT_USER\\SOFTWARE\\Halvane\\RestLevel\n    RestLevel    REG_DWORD    0x1\n\n");
        Disconnect();
    }
}

// --- A damaged store ----------------------------------------------------------

TEST_F(SqliteStore, ADamagedStoreGivesDefaultsAndRefusesWritesWithoutTouchingIt) {
    std::mt19937 random(385);
    std::string noise(8192, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"random bytes", noise},
        {"a text file", "RestLevel=19660\nIdleTime=100\n"},
        {"a database header over random bytes", std::string("SQLite format 3", 16) + noise},
    };
    const List fallback{"default"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::create_directories(Folder());
        { std::ofstream(DbPath(), std::ios::binary | std::ios::trunc) << c.content; }

        Connect();
        EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 19660), 19660);
        List list;
        EXPECT_FALSE(RegReadStringList(kHKCU, kSettingsKey, "Exceptions", kKeyRead, &fallback, list));
        EXPECT_EQ(list, fallback);
        EXPECT_FALSE(RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 1));
        EXPECT_FALSE(RegWriteStringList(kHKCU, kSettingsKey, "Exceptions", {"a"}));
        Disconnect();

        const CommandResult query = Tool({"query", "HKCU\\SOFTWARE\\Halvane\\RestLevel"});
        EXPECT_EQ(query.status, 1);
        EXPECT_EQ(query.output.rfind("ERROR: ", 0), 0u) << query.output;
        EXPECT_EQ(ReadFile(DbPath()), c.content) << "the damaged file was changed";
    }
}

// A key whose list of subkeys breaks off half way: one page in the middle of
// the index of keys by parent and name is damaged, which the lookups of the
// first and the last child do not read.
TEST_F(SqliteStore, ToolDeletingATreeWhoseListCannotBeReadGivesTheReadErrorAndDeletesNothing) {
    constexpr int kChildren = 300;
    const std::string tree = "Software\\Tree";
    const auto child = [&](int i) { return tree + "\\a child whose name is long enough to fill pages " + std::to_string(1000 + i); };
    Connect();
    for (int i = 0; i < kChildren; ++i) {
        RegKey key = 0;
        ASSERT_EQ(registry->CreateKey(kHKCU, child(i), kKeyAllAccess, key, nullptr), kErrorSuccess);
        registry->CloseKey(key);
    }
    Disconnect();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), SQLITE_OK);
    std::vector<std::int64_t> leaves;
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT pageno FROM dbstat WHERE name = 'sqlite_autoindex_keys_1'"
                                 " AND pagetype = 'leaf' ORDER BY path",
                                 -1, &q, nullptr),
              SQLITE_OK);
    while (sqlite3_step(q) == SQLITE_ROW) leaves.push_back(sqlite3_column_int64(q, 0));
    sqlite3_finalize(q);
    std::int64_t pageSize = 0;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &q, nullptr), SQLITE_OK);
    if (sqlite3_step(q) == SQLITE_ROW) pageSize = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    sqlite3_close(db);
    ASSERT_GE(leaves.size(), 3u);
    ASSERT_GT(pageSize, 0);
    {
        std::fstream file(DbPath(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((leaves[leaves.size() / 2] - 1) * pageSize);
        file.write(std::string(8, '\0').data(), 8);  // the page's header
        ASSERT_TRUE(file.good());
    }

    const CommandResult r = Tool({"delete", "HKCU\\" + tree, "/f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "ERROR: The configuration registry database is corrupt.\n");
    for (const int i : {0, kChildren - 1})
        EXPECT_EQ(Tool({"query", "HKCU\\" + child(i)}).status, 0) << "child " << i << " was deleted";
}

TEST_F(SqliteStore, AFolderInPlaceOfTheFileGivesDefaultsAndRefusesWrites) {
    std::filesystem::create_directories(DbPath());
    Connect();
    EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 19660), 19660);
    EXPECT_FALSE(RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 1));
}

// --- Handles ------------------------------------------------------------------

TEST_F(SqliteStore, HandlesOfARemovedStoreReachNothingAndANewStoreIsMade) {
    Connect();
    RegKey key = 0;
    ASSERT_EQ(registry->CreateKey(kHKCU, kSettingsKey, kKeyAllAccess, key, nullptr), kErrorSuccess);
    std::filesystem::remove(DbPath());
    const std::uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(registry->SetValue(key, "RestLevel", kRegDword, one, 4), kErrorKeyDeleted);
    EXPECT_EQ(registry->CloseKey(key), kErrorSuccess);
    EXPECT_TRUE(RegWriteInteger(kHKCU, kSettingsKey, "RestLevel", 2));
    EXPECT_EQ(RegReadInteger(kHKCU, kSettingsKey, "RestLevel", kKeyRead, 0), 2);
    EXPECT_TRUE(std::filesystem::exists(DbPath()));
}

TEST_F(SqliteStore, OnlyTheCurrentUsersRootExists) {
    Connect();
    RegKey key = 0;
    EXPECT_EQ(registry->OpenKey(kHKeyLocalMachine, "Software", kKeyRead, key), kErrorInvalidHandle);
    EXPECT_EQ(registry->OpenKey(kHKCU, "", kKeyRead, key), kErrorSuccess);
    EXPECT_EQ(registry->CloseKey(key), kErrorSuccess);
}

}  // namespace
}  // namespace rl

// --- The port's contract -----------------------------------------------------

namespace rl::contract {
namespace {

class SqliteContractStore : public Store {
public:
    IRegistry& Registry() override { return *registry_; }

private:
    linuxtest::TempDir dir_;
    std::unique_ptr<IRegistry> registry_ = CreateSqliteRegistry({.path = dir_.Path() + "/registry.db", .readOnly = false});
};

INSTANTIATE_TEST_SUITE_P(Sqlite, RegistryContract,
                         ::testing::Values(StoreFactory([] { return std::make_unique<SqliteContractStore>(); })));

}  // namespace
}  // namespace rl::contract

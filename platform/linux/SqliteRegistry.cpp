// The store: a tree of keys (the root, id 1, stands for HKEY_CURRENT_USER)
// and their typed values, names compared with SQLite's NOCASE, which folds
// ASCII letters only, as the registry does for ANSI names.
//
// Durability: WAL with synchronous=NORMAL. A commit is in the WAL file, in the
// kernel's cache, when it returns, so a value reported as stored survives the
// process being killed at once; a power cut may lose the last commits but never
// damages the file. Two processes (the installer and the restarted program)
// serialise their writes through SQLite's locks with a busy time-out.
#include "platform/linux/SqliteRegistry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace rl {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int kSchemaVersion = 1;
constexpr std::int64_t kRootId = 1;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES keys(id),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL REFERENCES keys(id),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, '');"
    "PRAGMA user_version = 1;";

enum Sql {
    kFindChild,
    kInsertChild,
    kKeyExists,
    kHasChild,
    kGetValue,
    kPutValue,
    kDeleteValue,
    kDeleteValues,
    kDeleteKey,
    kEnumChild,
    kEnumValue,
    kBegin,
    kCommit,
    kRollback,
    kSqlCount
};

constexpr const char* kSqlText[kSqlCount] = {
    "SELECT id FROM keys WHERE parent = ?1 AND name = ?2",
    "INSERT INTO keys(parent, name) VALUES(?1, ?2)",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2",
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
    " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND name = ?2",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name FROM vals WHERE key = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

RegResult FromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return kErrorSuccess;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return kErrorAccessDenied;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT: return kErrorRegistryCorrupt;
        default: return kErrorRegistryIoFailed;
    }
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the folder and its missing parents, private to the user.
void MakeFolders(const std::string& dir) {
    for (std::string::size_type i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') ::mkdir(dir.substr(0, i).c_str(), 0700);
    }
}

// A file name as an SQLite URI: everything but unreserved bytes and '/' escaped.
std::string FileUri(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const unsigned char c : path) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            uri.push_back(static_cast<char>(c));
        } else {
            uri.push_back('%');
            uri.push_back(hex[c >> 4]);
            uri.push_back(hex[c & 0xF]);
        }
    }
    return uri;
}

// One use of a prepared statement: bindings in, rows out, reset on the way
// out so that no read transaction is left open.
class Use {
public:
    explicit Use(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Use() {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Use& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Use& Bind(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return *this;
    }
    Use& BindBlob(int i, const std::uint8_t* data, std::uint32_t size) {
        // A null pointer would bind NULL; an empty value is a zero-length blob.
        if (size == 0) sqlite3_bind_zeroblob(stmt_, i, 0);
        else sqlite3_bind_blob(stmt_, i, data, static_cast<int>(size), SQLITE_STATIC);
        return *this;
    }
    int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    std::vector<std::uint8_t> Blob(int col) const {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, col));
        return p ? std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(stmt_, col)) : std::vector<std::uint8_t>();
    }

private:
    sqlite3_stmt* stmt_;
};

class SqliteRegistry : public IRegistry {
public:
    explicit SqliteRegistry(const SqliteRegistryOptions& options)
        : path_(options.path.empty() ? SqliteRegistryDefaultPath() : options.path), forceReadOnly_(options.readOnly) {}
    ~SqliteRegistry() override { Close(); }
    SqliteRegistry(const SqliteRegistry&) = delete;
    SqliteRegistry& operator=(const SqliteRegistry&) = delete;

    RegResult OpenKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result) override {
        return Open(false, base, path, access, result, nullptr);
    }

    RegResult CreateKey(RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                        std::uint32_t* disposition) override {
        return Open(true, base, path, access, result, disposition);
    }

    RegResult CloseKey(RegKey key) override {
        if (IsPredefinedKey(key)) return kErrorSuccess;
        return handles_.erase(key) ? kErrorSuccess : kErrorInvalidHandle;
    }

    RegResult QueryValue(RegKey key, const std::string& name, std::uint32_t* type, std::uint8_t* data,
                         std::uint32_t* size) override {
        std::int64_t id = 0;
        if (const RegResult r = Resolve(key, kKeyQueryValue, id); r != kErrorSuccess) return r;
        if (data && !size) return kErrorInvalidParameter;
        if (state_ == State::Empty) return kErrorFileNotFound;
        Use q(Stmt(kGetValue));
        q.Bind(1, id).Bind(2, name);
        const int rc = q.Step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? Missing(id, kErrorFileNotFound) : FromSqlite(rc);
        const std::vector<std::uint8_t> bytes = q.Blob(1);
        const auto length = static_cast<std::uint32_t>(bytes.size());
        if (type) *type = static_cast<std::uint32_t>(q.Int(0));
        if (data && *size < length) {
            *size = length;
            return kErrorMoreData;
        }
        if (data && length) std::copy(bytes.begin(), bytes.end(), data);
        if (size) *size = length;
        return kErrorSuccess;
    }

    RegResult SetValue(RegKey key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                       std::uint32_t size) override {
        std::int64_t id = 0;
        if (const RegResult r = Resolve(key, kKeySetValue, id); r != kErrorSuccess) return r;
        if (readOnly_) return kErrorAccessDenied;
        if (!data && size) return kErrorInvalidParameter;
        Use q(Stmt(kPutValue));
        q.Bind(1, id).Bind(2, name).Bind(3, std::int64_t{type}).BindBlob(4, data, size);
        const int rc = q.Step();
        // The foreign key refuses a value of a key deleted meanwhile.
        if ((rc & 0xFF) == SQLITE_CONSTRAINT) return kErrorKeyDeleted;
        return FromSqlite(rc);
    }

    RegResult DeleteValue(RegKey key, const std::string& name) override {
        std::int64_t id = 0;
        if (const RegResult r = Resolve(key, kKeySetValue, id); r != kErrorSuccess) return r;
        if (readOnly_) return kErrorAccessDenied;
        Use q(Stmt(kDeleteValue));
        q.Bind(1, id).Bind(2, name);
        const int rc = q.Step();
        if (rc != SQLITE_DONE) return FromSqlite(rc);
        return sqlite3_changes(db_) ? kErrorSuccess : Missing(id, kErrorFileNotFound);
    }

    RegResult EnumSubKey(RegKey key, std::uint32_t index, std::string& name) override {
        return Enumerate(key, kKeyEnumerateSubKeys, kEnumChild, index, name);
    }

    RegResult EnumValue(RegKey key, std::uint32_t index, std::string& name) override {
        return Enumerate(key, kKeyQueryValue, kEnumValue, index, name);
    }

    RegResult DeleteSubKey(RegKey key, const std::string& path) override {
        std::int64_t parent = 0;
        if (const RegResult r = Resolve(key, 0, parent); r != kErrorSuccess) return r;
        std::vector<std::string> names;
        if (!SplitKeyPath(path, names)) return kErrorBadPathname;
        if (names.empty()) return kErrorInvalidParameter;
        if (state_ == State::Empty) return kErrorFileNotFound;
        std::int64_t id = 0;
        std::size_t found = 0;
        if (const RegResult r = Find(parent, names, found, id); r != kErrorSuccess) return r;
        if (found < names.size()) return kErrorFileNotFound;
        if (readOnly_) return kErrorAccessDenied;

        return InTransaction([&]() -> RegResult {
            if (const RegResult r = Find(parent, names, found, id); r != kErrorSuccess) return r;
            if (found < names.size()) return kErrorFileNotFound;
            Use children(Stmt(kHasChild));
            children.Bind(1, id);
            const int rc = children.Step();
            if (rc == SQLITE_ROW) return kErrorAccessDenied;  // as the registry: subkeys first
            if (rc != SQLITE_DONE) return FromSqlite(rc);
            for (const Sql sql : {kDeleteValues, kDeleteKey}) {
                Use del(Stmt(sql));
                del.Bind(1, id);
                if (const int drc = del.Step(); drc != SQLITE_DONE) return FromSqlite(drc);
            }
            return kErrorSuccess;
        });
    }

private:
    enum class State { Closed, Empty, Open };
    struct Handle {
        std::int64_t id = 0;
        std::uint32_t access = 0;
        unsigned generation = 0;
    };
    using Identity = std::optional<std::pair<dev_t, ino_t>>;

    // Makes sure the store at the path is the one open, (re)opening it when
    // the file appeared, disappeared or was replaced since the last call.
    RegResult Ready() {
        if (state_ != State::Closed && CurrentIdentity() == identity_) return kErrorSuccess;
        Close();
        return OpenStore();
    }

    Identity CurrentIdentity() const {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) return std::nullopt;
        return std::make_pair(st.st_dev, st.st_ino);
    }

    RegResult OpenStore() {
        if (!forceReadOnly_ && !CurrentIdentity()) CreateFile();
        const Identity identity = CurrentIdentity();
        if (!identitySeen_ || identity != identity_) ++generation_;  // keys of another file are gone
        identitySeen_ = true;
        identity_ = identity;
        if (!identity) {
            // Nothing to read, and it cannot be created.
            readOnly_ = true;
            state_ = State::Empty;
            return kErrorSuccess;
        }

        readOnly_ = forceReadOnly_ || ::access(path_.c_str(), W_OK) != 0 ||
                    ::access(DirectoryOf(path_).c_str(), W_OK) != 0;
        int version = 0;
        int rc = Connect(FileUri(path_), version);
        if (readOnly_ && (rc & 0xFF) == SQLITE_CANTOPEN) {
            // A WAL database needs its shared-memory file, which a folder that
            // cannot be written may not hold; nothing can change the file then.
            Close();
            rc = Connect(FileUri(path_) + "?immutable=1", version);
        }
        if (rc == SQLITE_OK && !readOnly_) rc = Prepare(version);
        if (rc != SQLITE_OK) {
            Close();
            return FromSqlite(rc);
        }
        if (version == 0) {
            state_ = State::Empty;  // never set up, and we may not set it up
        } else if (version != kSchemaVersion) {
            Close();
            return kErrorRegistryCorrupt;  // a layout we do not know
        } else {
            state_ = State::Open;
        }
        return kErrorSuccess;
    }

    void CreateFile() {
        MakeFolders(DirectoryOf(path_));
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return;
        ::fchmod(fd, 0600);  // whatever the umask
        ::close(fd);
    }

    int Connect(const std::string& uri, int& version) {
        const int flags = (readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_URI |
                          SQLITE_OPEN_NOMUTEX;
        int rc = sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) return rc;
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        return ReadVersion(version);
    }

    int ReadVersion(int& version) {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &stmt, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                version = sqlite3_column_int(stmt, 0);
                rc = SQLITE_OK;
            }
        }
        sqlite3_finalize(stmt);
        return rc;
    }

    // Settings of a writing connection, and the tables on first use.
    int Prepare(int& version) {
        // Without WAL (another process holding the file) commits are synced
        // instead: slower, just as safe.
        sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        int rc = sqlite3_exec(db_, "PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK || version != 0) return rc;
        rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) return rc;
        // Another process may have set it up while we waited for the lock.
        rc = ReadVersion(version);
        if (rc == SQLITE_OK && version == 0) {
            rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
            version = kSchemaVersion;
        }
        if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }

    void Close() {
        for (sqlite3_stmt*& stmt : stmts_) {
            sqlite3_finalize(stmt);
            stmt = nullptr;
        }
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
        state_ = State::Closed;
    }

    sqlite3_stmt* Stmt(Sql sql) {
        if (!stmts_[sql] && db_)
            sqlite3_prepare_v3(db_, kSqlText[sql], -1, SQLITE_PREPARE_PERSISTENT, &stmts_[sql], nullptr);
        return stmts_[sql];
    }

    // The key behind a handle, checked for the rights the operation needs.
    RegResult Resolve(RegKey key, std::uint32_t need, std::int64_t& id) {
        if (const RegResult r = Ready(); r != kErrorSuccess) return r;
        if (key == kHKeyCurrentUser) {
            id = kRootId;
            return kErrorSuccess;
        }
        const auto it = handles_.find(key);
        if (it == handles_.end()) return kErrorInvalidHandle;
        if ((it->second.access & need) != need) return kErrorAccessDenied;
        if (it->second.id != kRootId && it->second.generation != generation_) return kErrorKeyDeleted;
        id = it->second.id;
        return kErrorSuccess;
    }

    // `otherwise` when the key still exists, else kErrorKeyDeleted.
    RegResult Missing(std::int64_t id, RegResult otherwise) {
        if (id == kRootId) return otherwise;
        Use q(Stmt(kKeyExists));
        q.Bind(1, id);
        const int rc = q.Step();
        if (rc == SQLITE_ROW) return otherwise;
        return rc == SQLITE_DONE ? kErrorKeyDeleted : FromSqlite(rc);
    }

    // Follows names from a key: found counts the names that exist, id is the
    // last key reached.
    RegResult Find(std::int64_t from, const std::vector<std::string>& names, std::size_t& found, std::int64_t& id) {
        id = from;
        for (found = 0; found < names.size(); ++found) {
            Use q(Stmt(kFindChild));
            q.Bind(1, id).Bind(2, names[found]);
            const int rc = q.Step();
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) return FromSqlite(rc);
            id = q.Int(0);
        }
        if (found == 0) return Missing(from, kErrorSuccess);
        return kErrorSuccess;
    }

    template <typename Body>
    RegResult InTransaction(Body body) {
        {
            Use begin(Stmt(kBegin));
            if (const int rc = begin.Step(); rc != SQLITE_DONE) return FromSqlite(rc);
        }
        RegResult r = body();
        if (r == kErrorSuccess) {
            Use commit(Stmt(kCommit));
            if (const int rc = commit.Step(); rc != SQLITE_DONE) r = FromSqlite(rc);
        }
        if (r != kErrorSuccess && !sqlite3_get_autocommit(db_)) {
            Use rollback(Stmt(kRollback));
            rollback.Step();
        }
        return r;
    }

    RegResult Open(bool create, RegKey base, const std::string& path, std::uint32_t access, RegKey& result,
                   std::uint32_t* disposition) {
        std::int64_t from = 0;
        if (const RegResult r = Resolve(base, 0, from); r != kErrorSuccess) return r;
        std::vector<std::string> names;
        if (!SplitKeyPath(path, names)) return kErrorBadPathname;

        std::int64_t id = from;
        std::size_t found = 0;
        if (state_ == State::Open) {
            if (const RegResult r = Find(from, names, found, id); r != kErrorSuccess) return r;
        }
        bool created = false;
        if (found < names.size()) {
            if (!create) return kErrorFileNotFound;
            if (readOnly_) return kErrorAccessDenied;
            const RegResult r = InTransaction([&]() -> RegResult {
                // Another process may have created part of it meanwhile.
                if (const RegResult fr = Find(from, names, found, id); fr != kErrorSuccess) return fr;
                for (; found < names.size(); ++found) {
                    Use q(Stmt(kInsertChild));
                    q.Bind(1, id).Bind(2, names[found]);
                    const int rc = q.Step();
                    if ((rc & 0xFF) == SQLITE_CONSTRAINT) return kErrorKeyDeleted;
                    if (rc != SQLITE_DONE) return FromSqlite(rc);
                    id = sqlite3_last_insert_rowid(db_);
                    created = true;
                }
                return kErrorSuccess;
            });
            if (r != kErrorSuccess) return r;
        } else if (readOnly_ && (access & kKeyChangingRights)) {
            return kErrorAccessDenied;
        }

        result = nextToken_;
        nextToken_ += 4;
        handles_[result] = Handle{id, access, generation_};
        if (disposition) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
        return kErrorSuccess;
    }

    RegResult Enumerate(RegKey key, std::uint32_t need, Sql sql, std::uint32_t index, std::string& name) {
        std::int64_t id = 0;
        if (const RegResult r = Resolve(key, need, id); r != kErrorSuccess) return r;
        if (state_ == State::Empty) return kErrorNoMoreItems;
        Use q(Stmt(sql));
        q.Bind(1, id).Bind(2, std::int64_t{index});
        const int rc = q.Step();
        if (rc == SQLITE_DONE) return Missing(id, kErrorNoMoreItems);
        if (rc != SQLITE_ROW) return FromSqlite(rc);
        name = q.Text(0);
        return kErrorSuccess;
    }

    const std::string path_;
    const bool forceReadOnly_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmts_[kSqlCount] = {};
    State state_ = State::Closed;
    bool readOnly_ = false;
    Identity identity_;
    bool identitySeen_ = false;
    unsigned generation_ = 0;
    std::map<RegKey, Handle> handles_;
    RegKey nextToken_ = 0x1000;
};

}  // namespace

std::string SqliteRegistryDefaultPath() {
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home && home[0]) {
            base = home;
        } else {
            std::vector<char> buffer(16384);
            struct passwd pw {};
            struct passwd* found = nullptr;
            if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found) base = pw.pw_dir;
        }
        base += "/.config";
    }
    return base + "/restlevel/registry.db";
}

std::unique_ptr<IRegistry> CreateSqliteRegistry(const SqliteRegistryOptions& options) {
    return std::make_unique<SqliteRegistry>(options);
}

std::unique_ptr<IRegistry> CreateRegistry() { return CreateSqliteRegistry({}); }

}  // namespace rl

#include "settings/settings_store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int busyTimeoutMs = 5000;

// Creates every missing directory of `directory` with mode 0700.
bool makePrivateDirectories(const std::string& directory, std::string& error) {
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        std::string prefix = directory.substr(0, slash);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + prefix + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

// The database holds the account's password: a new file is readable by its owner only.
bool createPrivateFile(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

void bindName(sqlite3_stmt* statement, int index, std::string_view text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* statement, int index) {
    auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
    return text
               ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, index)))
               : std::string();
}

} // namespace

SettingsStore::~SettingsStore() {
    std::lock_guard guard(lock_);
    closeLocked();
}

void SettingsStore::closeLocked() {
    for (sqlite3_stmt* statement :
         {select_, selectAll_, upsert_, delete_, selectDigests_, upsertDigest_, deleteDigest_})
        sqlite3_finalize(statement);
    select_ = selectAll_ = upsert_ = delete_ = nullptr;
    selectDigests_ = upsertDigest_ = deleteDigest_ = nullptr;
    for (auto& [sql, statement] : statements_)
        sqlite3_finalize(statement);
    statements_.clear();
    if (db_)
        sqlite3_close(db_);
    db_ = nullptr;
}

bool SettingsStore::open(const std::string& path, std::string& error) {
    std::lock_guard guard(lock_);
    closeLocked();
    if (path.empty()) {
        error = "no place for the settings (neither MIRELGAN_SETTINGS nor HOME is set)";
        return false;
    }
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 &&
        !makePrivateDirectories(path.substr(0, slash), error))
        return false;
    if (!createPrivateFile(path, error))
        return false;

    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        error = path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        closeLocked();
        return false;
    }
    // The busy timeout comes first so that the pragmas below wait for another process too.
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    const char* setup = "PRAGMA journal_mode=WAL;"
                        "PRAGMA synchronous=NORMAL;"
                        "CREATE TABLE IF NOT EXISTS registry (key TEXT NOT NULL, "
                        "name TEXT NOT NULL COLLATE NOCASE, data TEXT NOT NULL, "
                        "PRIMARY KEY (key, name));"
                        "CREATE TABLE IF NOT EXISTS digests (path TEXT PRIMARY KEY NOT NULL, "
                        "digest TEXT NOT NULL);";
    if (!execLocked(setup) || !migrateLocked() ||
        sqlite3_prepare_v2(db_, "SELECT data FROM registry WHERE key = ?1 AND name = ?2", -1,
                           &select_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "SELECT name, data FROM registry WHERE key = ?1", -1, &selectAll_,
                           nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_,
                           "INSERT INTO registry (key, name, data) VALUES (?1, ?2, ?3) "
                           "ON CONFLICT (key, name) DO UPDATE SET data = excluded.data",
                           -1, &upsert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "DELETE FROM registry WHERE key = ?1 AND name = ?2", -1, &delete_,
                           nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "SELECT path, digest FROM digests WHERE directory = ?1", -1,
                           &selectDigests_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_,
                           "INSERT OR REPLACE INTO digests (directory, path, digest) "
                           "VALUES (?1, ?2, ?3)",
                           -1, &upsertDigest_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "DELETE FROM digests WHERE directory = ?1 AND path = ?2", -1,
                           &deleteDigest_, nullptr) != SQLITE_OK) {
        error = path + ": " + sqlite3_errmsg(db_);
        closeLocked();
        return false;
    }
    return true;
}

bool SettingsStore::execLocked(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Each step brings the database from one version to the next in one transaction, and never
// changes a stored setting.
bool SettingsStore::migrateStepLocked(int from, const char* sql) {
    std::string step = std::string("BEGIN IMMEDIATE;") + sql +
                       "PRAGMA user_version = " + std::to_string(from + 1) + ";COMMIT;";
    if (execLocked(step.c_str()))
        return true;
    execLocked("ROLLBACK");
    return false;
}

bool SettingsStore::migrateLocked() {
    sqlite3_stmt* version = nullptr;
    int current = -1;
    if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
        sqlite3_step(version) == SQLITE_ROW)
        current = sqlite3_column_int(version, 0);
    sqlite3_finalize(version);
    if (current < 0)
        return false;
    // Stores made before the digests had a table of their own kept them as values of the key,
    // named by the file's path. Those values (a name with '/' or '.', which no setting has, and
    // a digest for data) move to the table once; every setting stays where it is.
    if (current == 0 &&
        !migrateStepLocked(
            current++,
            "CREATE TEMP VIEW old_digests AS SELECT name, data FROM registry "
            "  WHERE key = 'Software\\Mirelgan' AND (instr(name, '/') > 0 OR instr(name, '.') > 0)"
            "  AND length(data) = 32 AND data NOT GLOB '*[^0-9a-f]*';"
            "INSERT OR REPLACE INTO digests (path, digest) SELECT name, data FROM old_digests;"
            "DELETE FROM registry WHERE key = 'Software\\Mirelgan' "
            "  AND name IN (SELECT name FROM old_digests);"
            "DROP VIEW old_digests;"))
        return false;
    // The record of the passes, for the rollback.
    if (current == 1 &&
        !migrateStepLocked(
            current++,
            "CREATE TABLE IF NOT EXISTS passes (id INTEGER PRIMARY KEY, directory TEXT NOT NULL, "
            "  started INTEGER NOT NULL, rolled_back INTEGER NOT NULL DEFAULT 0);"
            "CREATE INDEX IF NOT EXISTS passes_by_directory ON passes (directory, id);"
            "CREATE TABLE IF NOT EXISTS pass_files (id INTEGER PRIMARY KEY, "
            "  pass INTEGER NOT NULL, path TEXT NOT NULL, change TEXT NOT NULL, "
            "  old_digest TEXT NOT NULL, new_digest TEXT NOT NULL, place TEXT NOT NULL, "
            "  outcome TEXT NOT NULL);"
            "CREATE INDEX IF NOT EXISTS pass_files_by_pass ON pass_files (pass, id);"
            "CREATE TABLE IF NOT EXISTS held_markers (directory TEXT NOT NULL, "
            "  path TEXT NOT NULL, PRIMARY KEY (directory, path));"))
        return false;
    // Each game directory has digests of its own: a digest verified in one installation says
    // nothing of the same path in another. The rows from before name no directory, and nothing
    // tells for certain which one they came from (a pass that changed nothing leaves no record
    // of where it ran): they go, and the next pass in each directory reads its files once.
    // A pass's changes are marked once made, so that a change written down ahead but never made
    // is told from one that was.
    if (current == 2 &&
        !migrateStepLocked(current++,
                           "DROP TABLE IF EXISTS digests;"
                           "CREATE TABLE digests (directory TEXT NOT NULL, path TEXT NOT NULL, "
                           "  digest TEXT NOT NULL, PRIMARY KEY (directory, path)) WITHOUT ROWID;"
                           "ALTER TABLE pass_files ADD COLUMN made INTEGER NOT NULL DEFAULT 0;"))
        return false;
    return true;
}

std::optional<std::string> SettingsStore::read(std::string_view name) const {
    std::lock_guard guard(lock_);
    if (!db_)
        return std::nullopt;
    bindName(select_, 1, keyName);
    bindName(select_, 2, name);
    std::optional<std::string> data;
    if (sqlite3_step(select_) == SQLITE_ROW)
        data = columnText(select_, 0);
    sqlite3_reset(select_);
    return data;
}

std::vector<std::pair<std::string, std::string>> SettingsStore::readAll() const {
    std::lock_guard guard(lock_);
    std::vector<std::pair<std::string, std::string>> values;
    if (!db_)
        return values;
    bindName(selectAll_, 1, keyName);
    while (sqlite3_step(selectAll_) == SQLITE_ROW)
        values.emplace_back(columnText(selectAll_, 0), columnText(selectAll_, 1));
    sqlite3_reset(selectAll_);
    return values;
}

bool SettingsStore::writeLocked(std::string_view name, std::string_view data) {
    bindName(upsert_, 1, keyName);
    bindName(upsert_, 2, name);
    bindName(upsert_, 3, data);
    bool ok = sqlite3_step(upsert_) == SQLITE_DONE;
    sqlite3_reset(upsert_);
    return ok;
}

bool SettingsStore::removeLocked(std::string_view name) {
    bindName(delete_, 1, keyName);
    bindName(delete_, 2, name);
    bool ok = sqlite3_step(delete_) == SQLITE_DONE;
    sqlite3_reset(delete_);
    return ok;
}

bool SettingsStore::failedLocked() {
    if (failure_.empty())
        failure_ = sqlite3_errmsg(db_);
    return false;
}

std::string SettingsStore::takeFailure() {
    std::lock_guard guard(lock_);
    return std::exchange(failure_, {});
}

void SettingsStore::setBusyTimeout(int milliseconds) {
    std::lock_guard guard(lock_);
    if (db_)
        sqlite3_busy_timeout(db_, milliseconds);
}

bool SettingsStore::write(std::string_view name, std::string_view data) {
    std::lock_guard guard(lock_);
    return db_ && (writeLocked(name, data) || failedLocked());
}

bool SettingsStore::remove(std::string_view name) {
    std::lock_guard guard(lock_);
    return db_ && (removeLocked(name) || failedLocked());
}

template <class Row>
bool SettingsStore::runLocked(const char* sql, std::initializer_list<SqlValue> values, Row row) {
    if (!db_)
        return false;
    sqlite3_stmt*& statement = statements_[sql];
    if (!statement && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement,
                                         nullptr) != SQLITE_OK)
        return failedLocked();
    int index = 0;
    for (const SqlValue& value : values) {
        ++index;
        if (const auto* text = std::get_if<std::string_view>(&value))
            bindName(statement, index, *text);
        else
            sqlite3_bind_int64(statement, index, std::get<std::int64_t>(value));
    }
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW)
        row(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return result == SQLITE_DONE || failedLocked();
}

bool SettingsStore::runLocked(const char* sql, std::initializer_list<SqlValue> values) {
    return runLocked(sql, values, [](sqlite3_stmt*) {});
}

template <class Body>
bool SettingsStore::transactionLocked(Body body) {
    if (!db_)
        return false;
    if (!execLocked("BEGIN IMMEDIATE"))
        return failedLocked();
    if (body() && execLocked("COMMIT"))
        return true;
    failedLocked();
    execLocked("ROLLBACK");
    return false;
}

bool SettingsStore::apply(const std::vector<StoreChange>& changes) {
    std::lock_guard guard(lock_);
    // All or nothing: the first write that fails undoes the others and is named.
    return transactionLocked([&] {
        for (const StoreChange& change : changes)
            if (!(change.data ? writeLocked(change.name, *change.data)
                              : removeLocked(change.name))) {
                failure_ = std::string(change.data ? "writing " : "deleting ") + change.name +
                           ": " + sqlite3_errmsg(db_);
                return false;
            }
        return true;
    });
}

std::vector<std::pair<std::string, std::string>>
SettingsStore::readDigests(std::string_view directory) const {
    std::lock_guard guard(lock_);
    std::vector<std::pair<std::string, std::string>> digests;
    if (!db_)
        return digests;
    bindName(selectDigests_, 1, directory);
    while (sqlite3_step(selectDigests_) == SQLITE_ROW)
        digests.emplace_back(columnText(selectDigests_, 0), columnText(selectDigests_, 1));
    sqlite3_reset(selectDigests_);
    return digests;
}

bool SettingsStore::applyDigests(std::string_view directory,
                                 const std::vector<StoreChange>& changes) {
    std::lock_guard guard(lock_);
    return transactionLocked([&] {
        for (const StoreChange& change : changes) {
            sqlite3_stmt* statement = change.data ? upsertDigest_ : deleteDigest_;
            bindName(statement, 1, directory);
            bindName(statement, 2, change.name);
            if (change.data)
                bindName(statement, 3, *change.data);
            bool done = sqlite3_step(statement) == SQLITE_DONE;
            sqlite3_reset(statement);
            if (!done)
                return false;
        }
        return true;
    });
}

std::int64_t SettingsStore::beginPass(std::string_view directory) {
    std::lock_guard guard(lock_);
    std::int64_t pass = 0;
    bool ok = transactionLocked([&] {
        if (!runLocked("INSERT INTO passes (directory, started) VALUES (?1, ?2)",
                       {directory, static_cast<std::int64_t>(std::time(nullptr))}))
            return false;
        pass = sqlite3_last_insert_rowid(db_);
        // Only the newest passes can be rolled back: the backups hold one generation.
        return runLocked("DELETE FROM pass_files WHERE pass IN (SELECT id FROM passes WHERE "
                         "directory = ?1 ORDER BY id DESC LIMIT -1 OFFSET ?2)",
                         {directory, std::int64_t{passesKept}}) &&
               runLocked("DELETE FROM passes WHERE id IN (SELECT id FROM passes WHERE "
                         "directory = ?1 ORDER BY id DESC LIMIT -1 OFFSET ?2)",
                         {directory, std::int64_t{passesKept}});
    });
    return ok ? pass : 0;
}

bool SettingsStore::recordPassFiles(std::int64_t pass, std::vector<PassFile>& files) {
    std::lock_guard guard(lock_);
    return transactionLocked([&] {
        for (PassFile& file : files) {
            if (!runLocked("INSERT INTO pass_files (pass, path, change, old_digest, new_digest, "
                           "place, outcome, made) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                           {pass, file.path, file.change, file.oldDigest, file.newDigest,
                            file.place, file.outcome, std::int64_t{file.made}}))
                return false;
            file.id = sqlite3_last_insert_rowid(db_);
        }
        return true;
    });
}

bool SettingsStore::updatePassFiles(const std::vector<PassFile>& files) {
    std::lock_guard guard(lock_);
    return transactionLocked([&] {
        for (const PassFile& file : files)
            if (!runLocked("UPDATE pass_files SET place = ?2, outcome = ?3 WHERE id = ?1",
                           {file.id, file.place, file.outcome}))
                return false;
        return true;
    });
}

bool SettingsStore::markPassFilesMade(const std::vector<std::int64_t>& ids, bool made) {
    std::lock_guard guard(lock_);
    return transactionLocked([&] {
        for (std::int64_t id : ids)
            if (!runLocked("UPDATE pass_files SET made = ?2 WHERE id = ?1",
                           {id, std::int64_t{made}}))
                return false;
        return true;
    });
}

bool SettingsStore::setPassRolledBack(std::int64_t pass) {
    std::lock_guard guard(lock_);
    return runLocked("UPDATE passes SET rolled_back = 1 WHERE id = ?1", {pass});
}

std::optional<std::vector<PassSummary>> SettingsStore::passesOf(std::string_view directory) {
    std::lock_guard guard(lock_);
    std::vector<PassSummary> passes;
    bool read = runLocked(
        "SELECT id, rolled_back FROM passes WHERE directory = ?1 ORDER BY id DESC", {directory},
        [&](sqlite3_stmt* row) {
            passes.push_back({sqlite3_column_int64(row, 0), sqlite3_column_int64(row, 1) != 0});
        });
    return read ? std::optional(std::move(passes)) : std::nullopt;
}

std::optional<std::vector<PassFile>> SettingsStore::passFiles(std::int64_t pass) {
    std::lock_guard guard(lock_);
    std::vector<PassFile> files;
    bool read = runLocked(
        "SELECT id, path, change, old_digest, new_digest, place, outcome, made "
        "FROM pass_files WHERE pass = ?1 ORDER BY id",
        {pass}, [&](sqlite3_stmt* row) {
            files.push_back({sqlite3_column_int64(row, 0), columnText(row, 1), columnText(row, 2),
                             columnText(row, 3), columnText(row, 4), columnText(row, 5),
                             columnText(row, 6), sqlite3_column_int64(row, 7) != 0});
        });
    return read ? std::optional(std::move(files)) : std::nullopt;
}

bool SettingsStore::addHeldMarker(std::string_view directory, std::string_view path) {
    std::lock_guard guard(lock_);
    return runLocked("INSERT OR IGNORE INTO held_markers (directory, path) VALUES (?1, ?2)",
                     {directory, path});
}

bool SettingsStore::removeHeldMarker(std::string_view directory, std::string_view path) {
    std::lock_guard guard(lock_);
    return runLocked("DELETE FROM held_markers WHERE directory = ?1 AND path = ?2",
                     {directory, path});
}

std::optional<std::vector<std::string>> SettingsStore::heldMarkers(std::string_view directory) {
    std::lock_guard guard(lock_);
    std::vector<std::string> paths;
    bool read =
        runLocked("SELECT path FROM held_markers WHERE directory = ?1 ORDER BY rowid", {directory},
                  [&](sqlite3_stmt* row) { paths.push_back(columnText(row, 0)); });
    return read ? std::optional(std::move(paths)) : std::nullopt;
}

std::string defaultSettingsPath() {
    if (const char* explicitPath = std::getenv("MIRELGAN_SETTINGS"); explicitPath && *explicitPath)
        return explicitPath;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return std::string(config) + "/Mirelgan/settings.db";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.config/Mirelgan/settings.db";
    return {};
}

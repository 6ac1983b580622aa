#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One change of a value: a write, or a deletion when `data` is empty.
struct StoreChange {
    std::string name;
    std::optional<std::string> data;
};

// One change a pass made to a file of its game directory, as the record of the pass keeps it.
struct PassFile {
    std::int64_t id = 0;
    std::string path;      // relative to the game directory, with '/'
    std::string change;    // "installed", "replaced" or "cleaned"
    std::string oldDigest; // replaced: the digest of what the pass replaced
    std::string newDigest; // installed, replaced: the digest of what the pass installed
    std::string place;     // cleaned: where the file went (relative, or in the trash)
    std::string outcome;   // what a rollback made of the change, or is about to; empty before one
    bool made = false;     // the pass made the change (it is written down before it is made)
};

struct PassSummary {
    std::int64_t id = 0;
    bool rolledBack = false;
};

// The registry key Software\Mirelgan, kept in one SQLite database:
//   CREATE TABLE registry (key TEXT NOT NULL, name TEXT NOT NULL COLLATE NOCASE,
//                          data TEXT NOT NULL, PRIMARY KEY (key, name))
// Value names are case-insensitive, like registry value names. Both threads may call it at
// once: every operation holds the store's lock for its whole statement.
class SettingsStore {
public:
    static constexpr std::string_view keyName = "Software\\Mirelgan";

    SettingsStore() = default;
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;
    ~SettingsStore();

    // Opens (creating when missing) the database at `path`. On failure the store stays closed
    // and `error` says why.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return db_ != nullptr; }

    std::optional<std::string> read(std::string_view name) const;
    // Every value of the key, as (name, data) pairs, in one statement.
    std::vector<std::pair<std::string, std::string>> readAll() const;
    bool write(std::string_view name, std::string_view data);
    bool remove(std::string_view name);
    // All changes in one transaction, in order: all of them, or, when one fails, none (and
    // takeFailure names the one that failed).
    bool apply(const std::vector<StoreChange>& changes);

    // The digest cache: the digest last verified on disk for each patched file of each game
    // directory (by its absolute path without links), by the file's path. It has a table of its
    // own, whose paths compare byte for byte as Linux names do, so that no name in a patch list
    // can read, change or delete a setting:
    //   CREATE TABLE digests (directory TEXT NOT NULL, path TEXT NOT NULL,
    //                         digest TEXT NOT NULL, PRIMARY KEY (directory, path))
    std::vector<std::pair<std::string, std::string>> readDigests(std::string_view directory) const;
    // All changes in one transaction, all or none (`name` is the path; no `data` deletes it).
    bool applyDigests(std::string_view directory, const std::vector<StoreChange>& changes);

    // Why the first write since the last call failed (another program holding the database
    // locked past the busy time-out, a damaged file, a full disk); empty when none failed.
    std::string takeFailure();
    // How long a write waits for another program that holds the database.
    void setBusyTimeout(int milliseconds);

    // The record of what the passes did to the files of each game directory (by its absolute
    // path), which a rollback undoes, and of the ".nopatch" markers that rollbacks made:
    //   CREATE TABLE passes (id INTEGER PRIMARY KEY, directory TEXT NOT NULL,
    //                        started INTEGER NOT NULL, rolled_back INTEGER NOT NULL DEFAULT 0)
    //   CREATE TABLE pass_files (id INTEGER PRIMARY KEY, pass INTEGER NOT NULL,
    //                            path TEXT NOT NULL, change TEXT NOT NULL, old_digest TEXT
    //                            NOT NULL, new_digest TEXT NOT NULL, place TEXT NOT NULL,
    //                            outcome TEXT NOT NULL, made INTEGER NOT NULL DEFAULT 0)
    //   CREATE TABLE held_markers (directory TEXT NOT NULL, path TEXT NOT NULL,
    //                              PRIMARY KEY (directory, path))
    // Each call is one transaction: what it wrote survives a kill of the process.

    // A new pass in `directory`; 0 when it cannot be recorded. Only the newest passes of a
    // directory are kept.
    std::int64_t beginPass(std::string_view directory);
    // Records the files of a pass in one transaction, giving each its id; false when they cannot
    // be recorded.
    bool recordPassFiles(std::int64_t pass, std::vector<PassFile>& files);
    // Writes the place and the outcome of each file, by its id.
    bool updatePassFiles(const std::vector<PassFile>& files);
    // The changes of these ids were made (or, with false, undone by the pass itself).
    bool markPassFilesMade(const std::vector<std::int64_t>& ids, bool made);
    bool setPassRolledBack(std::int64_t pass);
    // The passes of `directory`, newest first; nothing when the record cannot be read.
    std::optional<std::vector<PassSummary>> passesOf(std::string_view directory);
    // A pass's files in the order they were recorded; nothing when they cannot be read.
    std::optional<std::vector<PassFile>> passFiles(std::int64_t pass);

    bool addHeldMarker(std::string_view directory, std::string_view path);
    bool removeHeldMarker(std::string_view directory, std::string_view path);
    // Nothing when they cannot be read.
    std::optional<std::vector<std::string>> heldMarkers(std::string_view directory);

    // Passes of one game directory that the record keeps.
    static constexpr int passesKept = 20;

private:
    bool failedLocked(); // records the database's error; always false
    using SqlValue = std::variant<std::string_view, std::int64_t>;
    // Runs one statement (prepared once and kept) with `values` bound in order, giving each
    // result row to `row`. False on any failure, which is recorded.
    template <class Row>
    bool runLocked(const char* sql, std::initializer_list<SqlValue> values, Row row);
    bool runLocked(const char* sql, std::initializer_list<SqlValue> values);
    // Runs `body` in one transaction, committed when it gives true.
    template <class Body>
    bool transactionLocked(Body body);

    bool writeLocked(std::string_view name, std::string_view data);
    bool removeLocked(std::string_view name);
    bool execLocked(const char* sql);
    bool migrateLocked();
    bool migrateStepLocked(int from, const char* sql);
    void closeLocked();

    mutable std::mutex lock_;
    std::string failure_; // guarded by lock_
    sqlite3* db_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* selectAll_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    sqlite3_stmt* selectDigests_ = nullptr;
    sqlite3_stmt* upsertDigest_ = nullptr;
    sqlite3_stmt* deleteDigest_ = nullptr;
    std::map<const char*, sqlite3_stmt*> statements_; // by their text's address
};

// Where the settings live: $MIRELGAN_SETTINGS, else $XDG_CONFIG_HOME/Mirelgan/settings.db,
// else ~/.config/Mirelgan/settings.db. Empty when none of these can be formed.
std::string defaultSettingsPath();

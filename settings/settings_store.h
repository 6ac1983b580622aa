#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One change of a value: a write, or a deletion when `data` is empty.
struct StoreChange {
    std::string name;
    std::optional<std::string> data;
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
    // All changes in one transaction, in order.
    bool apply(const std::vector<StoreChange>& changes);

    // The digest cache: the digest last verified on disk for each patched file, by its path. It
    // has a table of its own, whose paths compare byte for byte as Linux names do, so that no
    // name in a patch list can read, change or delete a setting:
    //   CREATE TABLE digests (path TEXT PRIMARY KEY NOT NULL, digest TEXT NOT NULL)
    std::vector<std::pair<std::string, std::string>> readDigests() const;
    // All changes in one transaction (`name` is the path; no `data` deletes it).
    bool applyDigests(const std::vector<StoreChange>& changes);

    // Why the first write since the last call failed (another program holding the database
    // locked past the busy time-out, a damaged file, a full disk); empty when none failed.
    std::string takeFailure();
    // How long a write waits for another program that holds the database.
    void setBusyTimeout(int milliseconds);

private:
    bool failedLocked(); // records the database's error; always false
    bool writeLocked(std::string_view name, std::string_view data);
    bool removeLocked(std::string_view name);
    bool execLocked(const char* sql);
    bool migrateLocked();
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
};

// Where the settings live: $MIRELGAN_SETTINGS, else $XDG_CONFIG_HOME/Mirelgan/settings.db,
// else ~/.config/Mirelgan/settings.db. Empty when none of these can be formed.
std::string defaultSettingsPath();

#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

class Settings;

// The per-file record of the last digest verified on disk in one game directory: the settings
// store's digest table, by the directory and the file's path (with '/', compared byte for byte),
// holding the lower-case hex digest. A directory whose path cannot be told has no cache. Only the
// pass writes it, so it reads it all at once when it starts and afterwards answers from memory.
// Changes are gathered and written in one transaction every few hundred files or a quarter
// second, so a check does not pay a commit per file (a crash loses at most cache values, which
// the next check verifies again); a value deleted and written again with the same text is not
// written at all.
class DigestCache {
public:
    // The cache of the game directory, the current directory.
    explicit DigestCache(Settings& settings);
    DigestCache(const DigestCache&) = delete;
    DigestCache& operator=(const DigestCache&) = delete;
    ~DigestCache() { flush(); }

    // The cached digest; "" when there is none (or it cannot be read).
    std::string read(const std::string& path) const;
    void remove(const std::string& path);
    void store(const std::string& path, const std::string& digest);
    void flush();

private:
    void change(const std::string& path, std::optional<std::string> digest);

    Settings& settings_;
    std::string directory_;
    // What the store holds, by path.
    std::unordered_map<std::string, std::string> stored_;
    std::map<std::string, std::optional<std::string>> pending_;
    std::chrono::steady_clock::time_point oldestPending_;
};

#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

class Settings;

// The per-file record of the last digest verified on disk: values of the settings store named by
// the file's path (with '/'), holding the lower-case hex digest. Only the file check writes
// these values, so it reads them all at once when it starts and afterwards answers from memory.
// Changes are gathered and written in one transaction every few hundred files or a quarter
// second, so a check does not pay a commit per file (a crash loses at most cache values, which
// the next check verifies again); a value deleted and written again with the same text is not
// written at all.
class DigestCache {
public:
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
    // What the store holds, by value name folded to lower case, as the store compares names.
    std::unordered_map<std::string, std::string> stored_;
    struct Pending {
        std::string name;
        std::optional<std::string> digest;
    };
    std::map<std::string, Pending> pending_;
    std::chrono::steady_clock::time_point oldestPending_;
};

#pragma once

#include "settings/settings_store.h"

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class Settings;

// The per-file record of the last digest verified on disk: values of the settings store named by
// the file's path (with '/'), holding the lower-case hex digest. Changes are gathered and
// written in one transaction every few hundred files or a quarter second, so a check does not
// pay a commit per file; a crash loses at most cache values, which the next check verifies
// again. Reads see the pending changes.
class DigestCache {
public:
    explicit DigestCache(Settings& settings) : settings_(settings) {}
    DigestCache(const DigestCache&) = delete;
    DigestCache& operator=(const DigestCache&) = delete;
    ~DigestCache() { flush(); }

    // The cached digest; "" when there is none.
    std::string read(const std::string& path) const;
    void remove(const std::string& path);
    void store(const std::string& path, const std::string& digest);
    void flush();

private:
    void add(const std::string& path, std::optional<std::string> digest);

    Settings& settings_;
    std::vector<StoreChange> pending_;
    // Pending values by their name folded to lower case, as the store compares names.
    std::unordered_map<std::string, std::optional<std::string>> pendingByName_;
    std::chrono::steady_clock::time_point oldestPending_;
};

#include "patcher/digest_cache.h"

#include "base/fs.h"
#include "settings/settings.h"

#include <vector>

namespace {

constexpr std::size_t batchSize = 512;
constexpr std::chrono::milliseconds batchAge{250};

} // namespace

DigestCache::DigestCache(Settings& settings)
    : settings_(settings), directory_(currentGameDirectory()) {
    if (directory_.empty())
        return;
    for (auto& [path, digest] : settings_.key.readDigests(directory_))
        stored_.emplace(std::move(path), std::move(digest));
}

std::string DigestCache::read(const std::string& path) const {
    if (auto pending = pending_.find(path); pending != pending_.end())
        return pending->second.value_or("");
    auto stored = stored_.find(path);
    return stored == stored_.end() ? std::string() : stored->second;
}

void DigestCache::remove(const std::string& path) {
    change(path, std::nullopt);
}

void DigestCache::store(const std::string& path, const std::string& digest) {
    change(path, digest);
}

void DigestCache::change(const std::string& path, std::optional<std::string> digest) {
    if (directory_.empty())
        return;
    if (pending_.empty())
        oldestPending_ = std::chrono::steady_clock::now();
    pending_[path] = std::move(digest);
    if (pending_.size() >= batchSize ||
        std::chrono::steady_clock::now() - oldestPending_ > batchAge)
        flush();
}

void DigestCache::flush() {
    std::vector<StoreChange> changes;
    for (auto& [path, digest] : pending_) {
        auto stored = stored_.find(path);
        bool present = stored != stored_.end();
        if (digest ? present && stored->second == *digest : !present)
            continue;
        changes.push_back({path, digest});
        if (digest)
            stored_[path] = *digest;
        else
            stored_.erase(path);
    }
    pending_.clear();
    if (!changes.empty())
        settings_.key.applyDigests(directory_, changes);
}

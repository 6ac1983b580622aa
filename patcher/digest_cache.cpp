#include "patcher/digest_cache.h"

#include "settings/settings.h"

#include <vector>

namespace {

constexpr std::size_t batchSize = 512;
constexpr std::chrono::milliseconds batchAge{250};
// The store reads a value into a 256-byte area; a longer one reads as missing.
constexpr std::size_t longestValue = 255;

std::string foldedName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

} // namespace

DigestCache::DigestCache(Settings& settings) : settings_(settings) {
    for (auto& [name, data] : settings_.key.readAll())
        stored_.emplace(foldedName(name), std::move(data));
}

std::string DigestCache::read(const std::string& path) const {
    std::string folded = foldedName(path);
    if (auto pending = pending_.find(folded); pending != pending_.end())
        return pending->second.digest.value_or("");
    auto stored = stored_.find(folded);
    if (stored == stored_.end() || stored->second.size() > longestValue)
        return {};
    return stored->second;
}

void DigestCache::remove(const std::string& path) {
    change(path, std::nullopt);
}

void DigestCache::store(const std::string& path, const std::string& digest) {
    change(path, digest);
}

void DigestCache::change(const std::string& path, std::optional<std::string> digest) {
    if (pending_.empty())
        oldestPending_ = std::chrono::steady_clock::now();
    pending_[foldedName(path)] = {path, std::move(digest)};
    if (pending_.size() >= batchSize ||
        std::chrono::steady_clock::now() - oldestPending_ > batchAge)
        flush();
}

void DigestCache::flush() {
    std::vector<StoreChange> changes;
    for (auto& [folded, pending] : pending_) {
        auto stored = stored_.find(folded);
        bool present = stored != stored_.end();
        if (pending.digest ? present && stored->second == *pending.digest : !present)
            continue;
        changes.push_back({pending.name, pending.digest});
        if (pending.digest)
            stored_[folded] = *pending.digest;
        else
            stored_.erase(folded);
    }
    pending_.clear();
    if (!changes.empty())
        settings_.key.apply(changes);
}

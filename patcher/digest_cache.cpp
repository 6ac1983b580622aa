#include "patcher/digest_cache.h"

#include "settings/settings.h"

namespace {

constexpr std::size_t batchSize = 512;
constexpr std::chrono::milliseconds batchAge{250};

std::string foldedName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

} // namespace

std::string DigestCache::read(const std::string& path) const {
    if (!pendingByName_.empty()) {
        auto pending = pendingByName_.find(foldedName(path));
        if (pending != pendingByName_.end())
            return pending->second.value_or("");
    }
    return settings_.readString(path);
}

void DigestCache::remove(const std::string& path) {
    add(path, std::nullopt);
}

void DigestCache::store(const std::string& path, const std::string& digest) {
    add(path, digest);
}

void DigestCache::add(const std::string& path, std::optional<std::string> digest) {
    if (pending_.empty())
        oldestPending_ = std::chrono::steady_clock::now();
    pendingByName_[foldedName(path)] = digest;
    pending_.push_back({path, std::move(digest)});
    if (pending_.size() >= batchSize || std::chrono::steady_clock::now() - oldestPending_ > batchAge)
        flush();
}

void DigestCache::flush() {
    if (pending_.empty())
        return;
    settings_.key.apply(pending_);
    pending_.clear();
    pendingByName_.clear();
}

#include "patcher/pass_record.h"

#include "base/fs.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Expected installs written in one transaction: a commit each would cost a large download a good
// part of its speed, and a few hundred together cost next to nothing.
constexpr std::size_t installsWrittenTogether = 256;
// Marks of changes made, written together the same way; the first goes at once, so that a pass
// is known to have changed something from its first change on.
constexpr std::size_t marksWrittenTogether = 256;
constexpr std::chrono::milliseconds marksAge{250};
} // namespace

PassRecord::PassRecord(SettingsStore& store) : store_(store), directory_(currentGameDirectory()) {}

void PassRecord::record(std::vector<PassFile>& files) {
    if (files.empty() || directory_.empty())
        return;
    // The pass is entered at its first change, so a pass that changes nothing leaves no trace.
    if (pass_ == 0)
        pass_ = store_.beginPass(directory_);
    if (pass_ == 0 || !store_.recordPassFiles(pass_, files))
        for (PassFile& file : files)
            file.id = 0;
}

std::optional<PassFile> PassRecord::installChange(const std::string& path,
                                                  const std::string& previousDigest,
                                                  const std::string& digest) {
    if (!previousDigest.empty())
        return PassFile{0, path, "replaced", previousDigest, digest, "", ""};
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::optional(PassFile{0, path, "installed", "", digest, "", ""})
                               : std::nullopt;
    if (!S_ISREG(info.st_mode))
        return std::nullopt;
    // A file the check could not read, or one that appeared since. One that cannot be read is
    // recorded all the same: a rollback then says that it cannot restore it.
    return PassFile{0, path, "replaced", digestOf(path).digest, digest, "", ""};
}

void PassRecord::expect(const DownloadList& downloads) {
    expected_ = &downloads;
    next_ = writtenUpTo_ = 0;
}

void PassRecord::beforeInstall(const std::string& path, const std::string& previousDigest,
                               const std::string& digest) {
    // The installs come in the order expected: each is looked for from where the last one was.
    std::size_t at = next_;
    while (expected_ && at < expected_->size() && (*expected_)[at].path != path)
        ++at;
    std::vector<PassFile> files;
    if (!expected_ || at == expected_->size()) {
        if (std::optional<PassFile> change = installChange(path, previousDigest, digest))
            files.push_back(std::move(*change));
    } else {
        next_ = at + 1;
        if (at < writtenUpTo_)
            return;
        // A batch at a time: the phase's memory does not grow with the number of files.
        writtenUpTo_ = std::min(expected_->size(), at + installsWrittenTogether);
        for (std::size_t i = at; i < writtenUpTo_; ++i) {
            const DownloadEntry& entry = (*expected_)[i];
            if (std::optional<PassFile> change = installChange(
                    entry.path, i == at ? previousDigest : entry.previousDigest, entry.digest))
                files.push_back(std::move(*change));
        }
    }
    record(files);
    for (const PassFile& file : files)
        if (file.id != 0)
            installIds_[file.path] = file.id;
}

void PassRecord::installed(const std::string& path, const std::string& digest) {
    std::vector<PassFile> files = {{0, path, "installed", "", digest, "", "", true}};
    record(files);
}

void PassRecord::replaced(const std::string& path, const std::string& oldDigest,
                          const std::string& newDigest) {
    std::vector<PassFile> files = {{0, path, "replaced", oldDigest, newDigest, "", "", true}};
    record(files);
}

void PassRecord::installMade(const std::string& path) {
    if (auto written = installIds_.find(path); written != installIds_.end()) {
        std::int64_t id = written->second;
        installIds_.erase(written);
        made(id);
    }
}

std::vector<std::int64_t> PassRecord::beforeCleaning(const std::deque<std::string>& paths,
                                                     const std::string& trashed) {
    std::vector<PassFile> files;
    for (const std::string& path : paths)
        files.push_back({0, path, "cleaned", "", "", trashed + "/" + path, "", false});
    record(files);
    std::vector<std::int64_t> ids;
    for (const PassFile& file : files)
        ids.push_back(file.id);
    return ids;
}

void PassRecord::cleaningMade(std::int64_t id) {
    made(id);
}

void PassRecord::cleaningUndone(const std::vector<std::int64_t>& ids) {
    flushMade();
    std::vector<std::int64_t> written;
    for (std::int64_t id : ids)
        if (id != 0)
            written.push_back(id);
    if (!written.empty())
        store_.markPassFilesMade(written, false);
}

void PassRecord::made(std::int64_t id) {
    if (id == 0)
        return;
    if (made_.empty())
        oldestMade_ = std::chrono::steady_clock::now();
    made_.push_back(id);
    if (!anyMarked_ || made_.size() >= marksWrittenTogether ||
        std::chrono::steady_clock::now() - oldestMade_ > marksAge)
        flushMade();
}

void PassRecord::flushMade() {
    if (made_.empty())
        return;
    if (store_.markPassFilesMade(made_, true))
        anyMarked_ = true;
    made_.clear();
}

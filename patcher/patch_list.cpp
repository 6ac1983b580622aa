#include "patcher/patch_list.h"

#include "base/diagnostic.h"
#include "base/fs.h"
#include "base/md5.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "patcher/digest_cache.h"
#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

// Reads "<size> <packed size>": two decimal numbers in 0..1 GiB, separated by white space.
bool readSizes(const std::string& line, std::int32_t& size, std::int32_t& packedSize) {
    std::int64_t values[2];
    std::size_t at = 0;
    auto blank = [&] {
        return at < line.size() && std::isspace(static_cast<unsigned char>(line[at]));
    };
    for (std::int64_t& value : values) {
        std::size_t before = at;
        while (blank())
            ++at;
        if (&value == &values[1] && at == before)
            return false;
        std::size_t digits = at;
        value = 0;
        while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
            value = value * 10 + (line[at++] - '0');
            if (value > largestFileSize)
                return false;
        }
        if (at == digits)
            return false;
    }
    while (blank())
        ++at;
    if (at != line.size())
        return false;
    size = static_cast<std::int32_t>(values[0]);
    packedSize = static_cast<std::int32_t>(values[1]);
    return true;
}

bool hexDigest(const std::string& text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c));
           });
}

// Tells whether a listed file is exempt from patching: a marker beside it (its name followed by
// ".nopatch") or beside any directory above it. Each directory is listed once per check and its
// markers kept, rather than looking for a marker of every file one by one.
class MarkerLookup {
public:
    bool exempt(const std::string& path) {
        std::size_t slash = path.find('/');
        if (hasMarker("", path.substr(0, slash == std::string::npos ? path.size() : slash)))
            return true;
        for (; slash != std::string::npos; slash = path.find('/', slash + 1)) {
            std::size_t next = path.find('/', slash + 1);
            std::string name = path.substr(
                slash + 1, (next == std::string::npos ? path.size() : next) - slash - 1);
            if (hasMarker(path.substr(0, slash), name))
                return true;
        }
        return false;
    }

private:
    // True when `directory` ("" for the game directory) holds an entry named `name` + ".nopatch".
    bool hasMarker(const std::string& directory, const std::string& name) {
        auto [markers, listed] = markers_.try_emplace(directory);
        if (listed)
            if (auto names = listDirectory(directory.empty() ? "." : directory))
                for (std::string& entry : *names)
                    if (entry.size() > 8 && entry.compare(entry.size() - 8, 8, ".nopatch") == 0)
                        markers->second.insert(entry.substr(0, entry.size() - 8));
        return markers->second.count(name) != 0;
    }

    std::unordered_map<std::string, std::unordered_set<std::string>> markers_;
};

} // namespace

bool safeRelativePath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos)
        return false;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string_view component(path.data() + start,
                                   (slash == std::string::npos ? path.size() : slash) - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

std::optional<std::vector<PatchEntry>> parsePatchEntries(const std::vector<std::string>& lines) {
    if (lines.size() % 3 != 0)
        return std::nullopt;
    std::vector<PatchEntry> entries;
    entries.reserve(lines.size() / 3);
    std::unordered_set<std::string_view> listed;
    for (std::size_t i = 0; i < lines.size(); i += 3) {
        PatchEntry entry{lines[i], 0, 0, lines[i + 2]};
        if (!safeRelativePath(entry.path) ||
            !readSizes(lines[i + 1], entry.uncompressedSize, entry.compressedSize) ||
            !hexDigest(entry.expectedDigest) || !listed.insert(lines[i]).second)
            return std::nullopt;
        entries.push_back(std::move(entry));
    }
    // A file's temporary and backup names are its own: a list that names one of them as a file
    // of its own would have two files written through one name.
    for (const PatchEntry& entry : entries)
        for (const char* suffix : {".new", ".prepatch", ".prepatch.new"})
            if (listed.count(entry.path + suffix) != 0)
                return std::nullopt;
    return entries;
}

std::vector<std::string> readPatchList(WorkerJob& job, int distribution) {
    std::string reply;
    return patchListLines(job, patchListExchange(job.connection, distribution, reply), reply);
}

std::vector<std::string> patchListLines(WorkerJob& job, PatchListOutcome outcome,
                                        const std::string& reply) {
    switch (outcome) {
    case PatchListOutcome::ended:
        break;
    case PatchListOutcome::tooLong:
        job.fatal("Patch list is WAY too long");
    case PatchListOutcome::cut:
        // Nothing is patched or cleaned on the strength of a list received in part.
        job.fatal("Patch list cut short: %s", endText(job.connection.end()));
    }
    return splitPatchList(reply);
}

DownloadList checkFiles(WorkerJob& job, const std::vector<std::string>& lines) {
    Settings& settings = job.settings;
    std::optional<std::vector<PatchEntry>> entries = parsePatchEntries(lines);
    if (!entries)
        job.fatal("Corrupt patch info, aborting");
    job.bytesTotal = 0;
    job.distributionFileSet.clear();
    DownloadList downloads;
    DigestCache cache(settings);

    // The files that will be read are known before the check goes through the entries: a second
    // thread digests them ahead of it.
    MarkerLookup markers;
    std::vector<bool> exempt(entries->size());
    std::vector<std::string> toRead;
    std::vector<std::size_t> readIndex(entries->size(), SIZE_MAX);
    bool complete = settings.completeCheck;
    for (std::size_t i = 0; i < entries->size(); ++i) {
        const PatchEntry& entry = (*entries)[i];
        exempt[i] = markers.exempt(entry.path);
        if (!exempt[i] && (complete || cache.read(entry.path) != entry.expectedDigest)) {
            readIndex[i] = toRead.size();
            toRead.push_back(entry.path);
        }
    }
    DigestPrefetch prefetch(std::move(toRead));

    for (std::size_t i = 0; i < entries->size(); ++i) {
        const PatchEntry& entry = (*entries)[i];
        const std::string& path = entry.path;
        job.distributionFileSet[path] = 1;
        job.distributionFileSet[path + ".nopatch"] = 1;
        job.distributionFileSet[path + ".prepatch"] = 1;

        auto fetch = [&](std::string previousDigest = {}) {
            downloads.push_back({path, entry.uncompressedSize, entry.compressedSize,
                                 entry.expectedDigest, std::move(previousDigest)});
            job.bytesTotal += entry.compressedSize;
        };
        if (exempt[i]) {
            if (settings.completeCheck)
                settings.reportLines.push_back("Skipping " + path + " (.nopatch)");
            continue;
        }
        std::string cached = cache.read(path);
        if (cached == entry.expectedDigest && !settings.completeCheck) {
            // Current by the cache, when it is there at all; it is not opened.
            if (!fileExists(path))
                fetch();
            continue;
        }
        // A complete check asked for during this one reads files that were not planned.
        FileDigest read = readIndex[i] != SIZE_MAX ? prefetch.take(readIndex[i]) : digestOf(path);
        // Opening the file tells at once whether it is there, which spares a look of its own.
        if (read.error == ENOENT || read.error == ENOTDIR) {
            fetch();
            continue;
        }
        if (!cached.empty())
            cache.remove(path);
        if (read.error != 0) {
            fetch();
        } else if (read.digest != entry.expectedDigest) {
            diagnostic("MD5 mismatch, patching %s\n", path.c_str());
            fetch(read.digest);
        } else {
            cache.store(path, read.digest);
        }
    }
    return downloads;
}

FileDigest digestOf(const std::string& path) {
    UniqueFile file = openForReading(path);
    if (!file)
        return {errno ? errno : EIO, {}};
    // Fewer, larger reads under the digest's 1,024-byte blocks.
    std::setvbuf(file.get(), nullptr, _IOFBF, 65536);
    // The digest's constructor reads the file to its end and closes it.
    return {0, MD5(file.release()).hex_digest()};
}

DigestPrefetch::DigestPrefetch(std::vector<std::string> paths)
    : paths_(std::move(paths)), slots_(paths_.size()) {
    if (paths_.size() > 1 && std::thread::hardware_concurrency() > 1)
        helper_ = std::thread([this] {
            while (!stopping_ && readNext()) {
            }
        });
}

DigestPrefetch::~DigestPrefetch() {
    stopping_ = true;
    if (helper_.joinable())
        helper_.join();
}

bool DigestPrefetch::claim(std::size_t index) {
    Slot& slot = slots_[index];
    int unclaimed = 0;
    if (!slot.state.compare_exchange_strong(unclaimed, 1))
        return false;
    slot.result = digestOf(paths_[index]);
    slot.state.store(2);
    slot.state.notify_all();
    return true;
}

bool DigestPrefetch::readNext() {
    for (std::size_t index = next_++; index < slots_.size(); index = next_++)
        if (claim(index))
            return true;
    return false;
}

FileDigest DigestPrefetch::take(std::size_t index) {
    Slot& slot = slots_[index];
    claim(index);
    // While the helper reads this one, the check reads one further on rather than wait.
    while (slot.state.load() != 2)
        if (!readNext())
            slot.state.wait(1);
    return std::move(slot.result);
}

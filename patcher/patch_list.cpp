#include "patcher/patch_list.h"

#include "app/job/diagnostic.h"
#include "app/job/worker_job.h"
#include "net/protocol.h"
#include "patcher/digest_cache.h"
#include "patcher/fs/fs.h"
#include "patcher/md5.h"
#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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
// ".nopatch") or beside any directory above it. Each directory is looked at once per check.
class MarkerLookup {
public:
    bool exempt(const std::string& path) {
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            auto [known, added] = directories_.try_emplace(path.substr(0, slash), false);
            if (added)
                known->second = fileExists(known->first + ".nopatch");
            if (known->second)
                return true;
        }
        return fileExists(path + ".nopatch");
    }

private:
    std::unordered_map<std::string, bool> directories_;
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
    return entries;
}

std::vector<std::string> readPatchList(WorkerJob& job, int distribution) {
    std::string reply;
    if (patchListExchange(job.connection, distribution, reply) == PatchListOutcome::tooLong)
        job.fatal("Patch list is WAY too long");
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
    MarkerLookup markers;

    for (const PatchEntry& entry : *entries) {
        const std::string& path = entry.path;
        job.distributionFileSet[path] = 1;
        job.distributionFileSet[path + ".nopatch"] = 1;
        job.distributionFileSet[path + ".prepatch"] = 1;

        auto fetch = [&] {
            downloads.push_back(
                {path, entry.uncompressedSize, entry.compressedSize, entry.expectedDigest});
            job.bytesTotal += entry.compressedSize;
        };
        if (markers.exempt(path)) {
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
        // Opening the file tells at once whether it is there, which spares a look of its own.
        UniqueFile file = openForReading(path);
        if (!file && (errno == ENOENT || errno == ENOTDIR)) {
            fetch();
            continue;
        }
        if (!cached.empty())
            cache.remove(path);
        if (!file) {
            fetch();
            continue;
        }
        // The digest's constructor reads the file to its end and closes it.
        std::string digest = MD5(file.release()).hex_digest();
        if (digest != entry.expectedDigest) {
            diagnostic("MD5 mismatch, patching %s\n", path.c_str());
            fetch();
        } else {
            cache.store(path, digest);
        }
    }
    return downloads;
}

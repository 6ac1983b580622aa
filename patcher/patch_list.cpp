#include "patcher/patch_list.h"

#include "app/job/diagnostic.h"
#include "app/job/worker_job.h"
#include "net/protocol.h"
#include "patcher/digest_cache.h"
#include "patcher/fs/fs.h"
#include "patcher/md5.h"
#include "settings/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>

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

} // namespace

bool safeRelativePath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos)
        return false;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        if (path.compare(start, slash == std::string::npos ? std::string::npos : slash - start,
                         "..") == 0)
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

std::vector<std::string> readPatchList(WorkerJob& job, int distribution) {
    std::string reply;
    if (patchListExchange(job.connection, distribution, reply) == PatchListOutcome::tooLong)
        job.fatal("Patch list is WAY too long");
    return splitPatchList(reply);
}

DownloadList checkFiles(WorkerJob& job, const std::vector<std::string>& lines) {
    Settings& settings = job.settings;
    if (lines.size() % 3 != 0)
        job.fatal("Corrupt patch info, aborting");
    job.bytesTotal = 0;
    job.distributionFileSet.clear();
    DownloadList downloads;
    DigestCache cache(settings);

    for (std::size_t i = 0; i < lines.size(); i += 3) {
        const std::string& path = lines[i];
        std::int32_t size = 0, packedSize = 0;
        if (!safeRelativePath(path) || !readSizes(lines[i + 1], size, packedSize))
            job.fatal("Corrupt patch info, aborting");
        const std::string& expectedDigest = lines[i + 2];
        job.distributionFileSet[path] = 1;
        job.distributionFileSet[path + ".nopatch"] = 1;
        job.distributionFileSet[path + ".prepatch"] = 1;

        auto fetch = [&] {
            downloads.push_back({path, size, packedSize});
            job.bytesTotal += packedSize;
        };
        if (fileExists(path + ".nopatch")) {
            if (settings.completeCheck)
                settings.reportLines.push_back("Skipping " + path + " (.nopatch)");
            continue;
        }
        std::string cached = cache.read(path);
        if (cached == expectedDigest && !settings.completeCheck) {
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
        if (digest != expectedDigest) {
            diagnostic("MD5 mismatch, patching %s\n", path.c_str());
            fetch();
        } else {
            cache.store(path, digest);
        }
    }
    return downloads;
}

#include "patcher/download.h"

#include "app/job/worker_job.h"
#include "net/protocol.h"
#include "patcher/fs/fs.h"
#include "settings/settings.h"

#include <cstdio>
#include <memory>
#include <new>
#include <strings.h>
#include <zlib.h>

namespace {

constexpr std::size_t nameAreaSize = 4096;

struct AddonDataPattern {
    const char* text;
    bool prefix;
};
constexpr AddonDataPattern addonDataPatterns[] = {
    {"Interface/FrameXML/MData", true},        {"Interface/FrameXML/Mirelgan.xml", false},
    {"Interface/Pelvar/MData", true},          {"Interface/Pelvar/Mirelgan.xml", false},
    {"Interface/AddOns/Mirelgan/MData", true}, {"Interface/AddOns/Mirelgan/Mirelgan.xml", false},
};

void updateProgress(const WorkerJob& job) {
    if (job.bytesTotal != 0)
        job.setProgress(static_cast<int>(job.bytesDone * 100 / job.bytesTotal));
}

// Reads and drops one file's data, so that the next file is read from the right place.
void skipFileData(WorkerJob& job, std::int32_t packedSize) {
    char block[fileDataBlockSize];
    std::int64_t remaining = packedSize;
    while (remaining > 0) {
        long received = job.connection.receive(
            block, static_cast<std::size_t>(std::min<std::int64_t>(remaining, sizeof block)));
        if (received <= 0)
            return;
        remaining -= received;
        job.bytesDone += received;
        updateProgress(job);
    }
}

} // namespace

bool isAddonDataFile(const std::string& path) {
    for (const AddonDataPattern& pattern : addonDataPatterns) {
        std::size_t length = std::char_traits<char>::length(pattern.text);
        if (pattern.prefix
                ? path.size() >= length && ::strncasecmp(path.c_str(), pattern.text, length) == 0
                : ::strcasecmp(path.c_str(), pattern.text) == 0)
            return true;
    }
    return false;
}

void downloadFile(WorkerJob& job, const std::string& path, std::int32_t size,
                  std::int32_t packedSize) {
    Settings& settings = job.settings;
    if (size < 0 || packedSize < 0)
        job.fatal("Corrupt patch info, aborting");
    job.status("Downloading %s", path.c_str());
    bool addonData = isAddonDataFile(path);
    std::string display = replaceChar(path, '/', '\\');
    if (addonData)
        job.status("Updating Data Files");
    else
        job.status("Downloading %s", display.c_str());

    std::string normal = replaceChar(path, '\\', '/');
    display = replaceChar(normal, '/', '\\');
    std::string temporary = normal + ".new";
    std::string backup = normal + ".prepatch";

    UniqueFile output;
    if (backup.size() < nameAreaSize) {
        output.reset(std::fopen(temporary.c_str(), "wb"));
        if (!output) {
            makeDirs(normal);
            output.reset(std::fopen(temporary.c_str(), "wb"));
        }
    }
    if (!output) {
        job.status("Failed to create %s", temporary.c_str());
        skipFileData(job, packedSize);
        return;
    }
    updateProgress(job);

    std::unique_ptr<char[]> packed(new (std::nothrow) char[std::size_t(packedSize) + 4097]);
    if (!packed)
        job.fatal("Malloc failed.  How disturbing.");
    std::size_t request = std::min<std::size_t>(fileDataBlockSize, packedSize);
    std::size_t received = 0;
    do {
        long got = job.connection.receive(packed.get() + received, request);
        if (got <= 0)
            break;
        received += static_cast<std::size_t>(got);
        job.bytesDone += got;
        updateProgress(job);
        std::size_t remaining = static_cast<std::size_t>(packedSize) - received;
        if (remaining < request)
            request = remaining;
    } while (received < static_cast<std::size_t>(packedSize));

    bool complete = received == static_cast<std::size_t>(packedSize);
    if (complete) {
        std::unique_ptr<Bytef[]> inflated(new (std::nothrow) Bytef[std::size_t(size) + 1]);
        if (!inflated)
            job.fatal("Malloc failed.  How disturbing.");
        uLongf inflatedLength = static_cast<uLongf>(size);
        int result = uncompress(inflated.get(), &inflatedLength,
                                reinterpret_cast<const Bytef*>(packed.get()), received);
        if (result != Z_OK)
            job.fatal("Decompression error: %d", result);
        // Only what was inflated is written, even when the stream held less than announced.
        std::fwrite(inflated.get(), 1, inflatedLength, output.get());
    }
    packed.reset();
    updateProgress(job);
    output.reset();

    if (!complete) {
        settings.reportLines.push_back("Error: couldn't download " + display);
        job.fatal("Download failed!");
    }

    bool reported = !addonData || settings.completeCheck;
    removeFile(backup);
    if (renameFile(normal, backup)) {
        if (reported)
            settings.reportLines.push_back("Changed: " + display);
    } else if (reported) {
        settings.reportLines.push_back("New: " + display);
    }
    if (!renameFile(temporary, normal))
        settings.reportLines.push_back("Error: couldn't rename " + display);
}

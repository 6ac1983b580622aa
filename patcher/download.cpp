#include "patcher/download.h"

#include "app/job/worker_job.h"
#include "net/protocol.h"
#include "patcher/fs/fs.h"
#include "patcher/md5.h"
#include "settings/settings.h"

#include <functional>
#include <strings.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::size_t nameAreaSize = 4096;
constexpr std::size_t inflateBlockSize = 65536;

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

// Inflates one zlib stream as its bytes arrive. Its results are those of zlib's uncompress for
// the same bytes: Z_DATA_ERROR for a corrupt or unfinished stream, Z_BUF_ERROR for one that
// inflates to more than the room given; bytes after the end of the stream are ignored.
class Inflater {
public:
    using Sink = std::function<bool(const unsigned char*, std::size_t)>;

    Inflater() { ready_ = inflateInit(&stream_) == Z_OK; }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        if (ready_)
            inflateEnd(&stream_);
    }

    // Feeds `length` bytes; the inflated bytes go to `sink`, which gives false to stop. The
    // result: Z_OK while the stream goes on, Z_STREAM_END once it has ended, or an error.
    int feed(const unsigned char* bytes, std::size_t length, std::uint64_t room, const Sink& sink) {
        if (!ready_)
            return Z_MEM_ERROR;
        if (ended_)
            return Z_STREAM_END;
        stream_.next_in = const_cast<unsigned char*>(bytes);
        stream_.avail_in = static_cast<uInt>(length);
        do {
            stream_.next_out = block_;
            stream_.avail_out = sizeof block_;
            int result = inflate(&stream_, Z_NO_FLUSH);
            std::size_t produced = sizeof block_ - stream_.avail_out;
            if (result == Z_NEED_DICT)
                return Z_DATA_ERROR;
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                return result;
            if (total_ + produced > room)
                return Z_BUF_ERROR;
            total_ += produced;
            if (produced > 0 && !sink(block_, produced))
                return Z_OK;
            if (result == Z_STREAM_END) {
                ended_ = true;
                return Z_STREAM_END;
            }
        } while (stream_.avail_in > 0 || stream_.avail_out == 0);
        return Z_OK;
    }

    std::uint64_t total() const { return total_; }

private:
    z_stream stream_{};
    bool ready_ = false;
    bool ended_ = false;
    std::uint64_t total_ = 0;
    unsigned char block_[inflateBlockSize];
};

// A temporary file that is removed when its scope ends, unless it was kept.
class TemporaryName {
public:
    explicit TemporaryName(std::string path) : path_(std::move(path)) {}
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    ~TemporaryName() {
        if (!kept_)
            ::unlink(path_.c_str());
    }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

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

Downloader::Downloader(WorkerJob& job) : job_(job) {}

Downloader::~Downloader() = default;

void Downloader::downloadFile(const DownloadEntry& entry) {
    Settings& settings = job_.settings;
    const std::string& path = entry.path;
    if (entry.size < 0 || entry.packedSize < 0)
        job_.fatal("Corrupt patch info, aborting");
    job_.status("Downloading %s", path.c_str());
    bool addonData = isAddonDataFile(path);
    if (addonData)
        job_.status("Updating Data Files");
    else
        job_.status("Downloading %s", replaceChar(path, '/', '\\').c_str());

    std::string normal = replaceChar(path, '\\', '/');
    std::string display = replaceChar(normal, '/', '\\');
    std::string temporary = normal + ".new";
    std::string backup = normal + ".prepatch";
    auto failure = [&settings](const std::string& line) {
        settings.reportLines.push_back(line);
        ++settings.installErrors;
    };

    TemporaryName cleanup(temporary);
    UniqueFd output;
    if (backup.size() < nameAreaSize) {
        output = createFresh(temporary);
        if (!output) {
            makeDirs(normal);
            output = createFresh(temporary);
        }
    }
    if (!output) {
        cleanup.keep(); // whatever has that name is not ours
        job_.status("Failed to create %s", temporary.c_str());
        failure("Error: couldn't create " + display);
        skipFileData(job_, entry.packedSize);
        return;
    }
    updateProgress(job_);

    Inflater inflater;
    MD5 md5;
    bool writeFailed = false;
    auto write = [&](const unsigned char* bytes, std::size_t length) {
        md5.update(bytes, static_cast<std::uint32_t>(length));
        writeFailed = !writeAll(output.get(), bytes, length);
        return !writeFailed;
    };
    int inflated = Z_OK;
    unsigned char block[fileDataBlockSize];
    auto packedSize = static_cast<std::size_t>(entry.packedSize);
    std::size_t request = std::min(fileDataBlockSize, packedSize);
    std::size_t received = 0;
    do {
        long got = job_.connection.receive(block, request);
        if (got <= 0)
            break;
        received += static_cast<std::size_t>(got);
        job_.bytesDone += got;
        updateProgress(job_);
        // A stream that failed is still read to its end, so that a short download is told as
        // such and the next file starts at the right byte.
        if (inflated == Z_OK)
            inflated = inflater.feed(block, static_cast<std::size_t>(got),
                                     static_cast<std::uint64_t>(entry.size), write);
        if (writeFailed)
            break;
        request = std::min(request, packedSize - received);
    } while (received < packedSize);
    updateProgress(job_);
    if (!writeFailed && received == packedSize && inflated == Z_STREAM_END)
        writeFailed = !output.close();
    output.reset();

    if (writeFailed) {
        failure("Error: couldn't write " + display);
        job_.fatal("Write failed!");
    }
    if (received < packedSize) {
        failure("Error: couldn't download " + display);
        job_.fatal("Download failed!");
    }
    if (inflated != Z_STREAM_END)
        job_.fatal("Decompression error: %d", inflated == Z_OK ? Z_DATA_ERROR : inflated);

    md5.finalize();
    if (inflater.total() != static_cast<std::uint64_t>(entry.size) ||
        md5.hex_digest() != entry.digest) {
        failure("Error: couldn't verify " + display);
        return;
    }

    bool reported = !addonData || settings.completeCheck;
    switch (installFile(temporary, normal, backup)) {
    case InstallResult::installed:
        cleanup.keep();
        if (reported)
            settings.reportLines.push_back("New: " + display);
        verified_.emplace_back(normal, entry.digest);
        break;
    case InstallResult::replaced:
        cleanup.keep();
        if (reported)
            settings.reportLines.push_back("Changed: " + display);
        verified_.emplace_back(normal, entry.digest);
        break;
    case InstallResult::directoryInTheWay:
        failure("Error: couldn't replace directory " + display);
        break;
    case InstallResult::noBackup:
    case InstallResult::notMoved:
        // The new content stays in the temporary file; the file in place is untouched.
        cleanup.keep();
        failure("Error: couldn't rename " + display);
        break;
    }
}

void downloadFile(WorkerJob& job, const DownloadEntry& entry) {
    Downloader(job).downloadFile(entry);
}

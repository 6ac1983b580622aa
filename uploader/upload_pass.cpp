#include "uploader/upload_pass.h"

#include "base/diagnostic.h"
#include "base/format_string.h"
#include "base/fs.h"
#include "base/wire_format.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "settings/settings.h"
#include "uploader/harvest.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <zlib.h>

namespace {

// The compressed area is what the server takes at the most.
static_assert(zeppelinAreaSize == largestUpload);

// Room kept for the saved table's header "Mirelgan_Data <n>\n", so its record always fits.
constexpr std::size_t tableHeaderRoom = 32;
// A cache record must leave this much room for its header.
constexpr long cacheHeaderRoom = 50;

struct Cache {
    const char* path;
    long offset;
    const char* readingLine;
    const char* recordName;
    const char* noRoom;
    const char* exploded;
    const char* valueName;
};

class Zeppelin {
public:
    explicit Zeppelin(char* area) : area_(area) {}

    void append(const char* bytes, std::size_t length) {
        std::memcpy(area_ + length_, bytes, length);
        length_ += length;
    }
    void appendHeader(const std::string& header) { append(header.data(), header.size()); }
    char* end() { return area_ + length_; }
    void grow(std::size_t length) { length_ += length; }
    std::size_t length() const { return length_; }
    long room() const { return static_cast<long>(zeppelinAreaSize - length_); }

private:
    char* area_;
    std::size_t length_ = 0;
};

// Adds a cache's new bytes to the Zeppelin and gives its length, the next offset to record once
// the server has the upload; nothing when there is no cache to read.
std::optional<UploadRecord> packCache(WorkerJob& job, Zeppelin& zeppelin, const Cache& cache,
                                      bool readThisTime) {
    UniqueFile file = openForReading(cache.path);
    if (!file)
        return std::nullopt;
    std::fseek(file.get(), 0, SEEK_END);
    long length = std::ftell(file.get());
    if (readThisTime && cache.offset < length) {
        diagnostic("%s\n", cache.readingLine);
        if (std::fseek(file.get(), cache.offset, SEEK_SET) != 0)
            job.fatal("Seek failed.  Seek harder.");
        long added = length - cache.offset;
        if (added > zeppelin.room() - cacheHeaderRoom) {
            diagnostic("%s\n", cache.noRoom);
        } else {
            std::string header;
            formatString(header, "%s %ld\n", cache.recordName, added);
            zeppelin.appendHeader(header);
            std::size_t got =
                std::fread(zeppelin.end(), 1, static_cast<std::size_t>(added), file.get());
            if (got != static_cast<std::size_t>(added))
                job.fatal("%s", cache.exploded);
            zeppelin.grow(got);
        }
    }
    UploadRecord record{cache.valueName, {}};
    formatString(record.value, "%ld", length);
    return record;
}

} // namespace

void SentUpload::confirm(WorkerJob& job) {
    job.settings.bytesUploaded = length_;
    for (const UploadRecord& record : records_)
        job.settings.writeString(record.name, record.value);
    harvest_.commit(job);
}

std::optional<SentUpload> uploadPass(WorkerJob& job) {
    Settings& settings = job.settings;
    // Every pass starts from what is stored: a second pass of the same run neither sends the
    // cache bytes of the first again nor skips new ones.
    settings.loadUploadState();
    job.status("Looking for Mirelgan data");
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[3 * zeppelinAreaSize]);
    if (!buffer)
        job.fatal("Can't alloc enough gas to fill the Zeppelin.  Buy more gas.");
    char* harvestArea = buffer.get();
    Zeppelin zeppelin(buffer.get() + zeppelinAreaSize);
    auto* compressed = reinterpret_cast<Bytef*>(buffer.get() + 2 * zeppelinAreaSize);

    Harvest harvest = harvestSavedVariables(job, {harvestArea, zeppelinAreaSize - tableHeaderRoom},
                                            smallestUpload);
    std::size_t harvested = harvest.length();
    uLongf compressedLength = 0;
    std::vector<UploadRecord> records;
    if (harvested > smallestUpload) {
        job.status("Packing Mirelgan Zeppelin");
        std::string header;
        formatString(header, "Mirelgan_Data %d\n", static_cast<int>(harvested));
        zeppelin.appendHeader(header);
        zeppelin.append(harvestArea, harvested);
        if (settings.serverWdbVersion < 1)
            job.fatal("Bad version?");

        bool sameVersion = settings.storedWdbVersion == settings.serverWdbVersion;
        const Cache caches[] = {
            {"WDB/itemcache.wdb", settings.itemCacheOffset, "reading wdbitems", "itemcache.wdb",
             "skipping itemcache.wdb, not enough room in zeppelin",
             "Zeppelin exploded!  I blame itemcache.", "wdbitems"},
            {"WDB/questcache.wdb", settings.questCacheOffset, "reading wdbquests", "questcache.wdb",
             "skipping questcache.wdb, not enough room in zeppelin",
             "Zeppelin exploded!  I blame questcache.", "wdbquests"},
        };
        for (const Cache& cache : caches)
            if (std::optional<UploadRecord> record =
                    packCache(job, zeppelin, cache, sameVersion && cache.offset != 0))
                records.push_back(std::move(*record));

        compressedLength = zeppelinAreaSize;
        if (compress(compressed, &compressedLength,
                     reinterpret_cast<const Bytef*>(buffer.get() + zeppelinAreaSize),
                     zeppelin.length()) != Z_OK) {
            // Too big to upload: the table stays in its file and the pass goes on to patch.
            job.status("Error filling Zeppelin with gas: too much gas.");
            return std::nullopt;
        }
        UploadRecord version{"wdbVersion", {}};
        formatString(version.value, "%d", settings.serverWdbVersion);
        records.push_back(std::move(version));
    }

    if (compressedLength == 0) {
        job.status("Nothing to upload!");
        return std::nullopt;
    }
    job.setProgress(0);
    if (!job.connected())
        job.connect();
    while (settings.uploadEnabled && !job.login())
        job.askLogin();
    if (!settings.uploadEnabled) {
        job.status("Skipping Mirelgan Upload");
        return std::nullopt;
    }
    auto length = static_cast<std::int32_t>(compressedLength);
    bool requested = sendUploadRequest(job.connection, length);
    job.status("Uploading Mirelgan Data (%d bytes)", length);
    std::int32_t sent = requested
                            ? sendUploadData(job.connection, compressed, length,
                                             [&job](int percent) { job.setProgress(percent); })
                            : 0;
    // An upload that did not go out whole is not counted as uploaded, and the table stays in
    // its file for the next pass.
    if (sent != length) {
        job.status("Upload failed!");
        return std::nullopt;
    }
    return SentUpload(std::move(harvest), std::move(records), length);
}

#pragma once

#include "net/protocol.h"
#include <atomic>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class WorkerJob;

// One entry of a patch list: the path (with '/'), the file's size, the size of its FileData and
// its MD5 digest as hex text.
struct PatchEntry {
    std::string path;
    std::int32_t uncompressedSize = 0;
    std::int32_t compressedSize = 0;
    std::string expectedDigest;
};

// A file to fetch: its path (with '/'), its size, the size of its FileData, and the digest the
// inflated file must have before it may replace anything; and the digest of the file on disk
// when the check read one.
struct DownloadEntry {
    std::string path;
    std::int32_t size;
    std::int32_t packedSize;
    std::string digest;
    std::string previousDigest{};
};
using DownloadList = std::vector<DownloadEntry>;

// The largest file size a patch list may announce (1 GiB).
inline constexpr std::int64_t largestFileSize = 1073741824;

// Sends the PatchListRequest and splits the reply into its lines (every '\' turned into '/'),
// up to the end line "D" (see patchListLines).
std::vector<std::string> readPatchList(WorkerJob& job, int distribution);
// The lines of a patch list reply. Ends the pass with "Patch list is WAY too long" past 100000
// bytes, and with "Patch list cut short: ..." when the stream ended before the end line.
std::vector<std::string> patchListLines(WorkerJob& job, PatchListOutcome outcome,
                                        const std::string& reply);

// The entries of a patch list's lines, three lines each. Nothing unless every entry is well
// formed: sizes that are two numbers in 0..1 GiB, a digest of 32 hex digits, a path that stays
// inside the game directory (safeRelativePath) and is listed once, and no path that is another
// listed path's temporary or backup name (its name followed by ".new", ".prepatch" or
// ".prepatch.new").
std::optional<std::vector<PatchEntry>> parsePatchEntries(const std::vector<std::string>& lines);

// Decides for every entry whether the file on disk is current, exempt or to be fetched; fills
// the job's DistributionFileSet and bytesTotal and keeps the DigestCache. A list that is not
// well formed ends the pass with "Corrupt patch info, aborting" before anything is written.
DownloadList checkFiles(WorkerJob& job, const std::vector<std::string>& lines);

// A file's MD5 digest as hex text, or the errno of a failed open (a missing file gives ENOENT).
struct FileDigest {
    int error = 0;
    std::string digest;
};
FileDigest digestOf(const std::string& path);

// Digests a check's files on a second thread, ahead of the check that goes through them in
// order: the check takes a digest that is ready, waits for one being read, and reads a file
// itself when the helper has not got to it, so both cores work and the order stays the list's.
class DigestPrefetch {
public:
    explicit DigestPrefetch(std::vector<std::string> paths);
    DigestPrefetch(const DigestPrefetch&) = delete;
    DigestPrefetch& operator=(const DigestPrefetch&) = delete;
    ~DigestPrefetch();

    // The digest of the file at `index`; each is taken once.
    FileDigest take(std::size_t index);

private:
    struct Slot {
        std::atomic<int> state{0}; // 0 waiting, 1 being read, 2 read
        FileDigest result;
    };
    bool claim(std::size_t index);
    // Reads the next file that nobody has claimed; false when none is left.
    bool readNext();

    std::vector<std::string> paths_;
    std::vector<Slot> slots_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopping_{false};
    std::thread helper_;
};

// True when a patch-list path (with '/') names a place inside the game directory: not absolute,
// no drive letter, no NUL byte, and every component a name (not empty, ".", or "..").
bool safeRelativePath(const std::string& path);

#pragma once

#include <cstdint>
#include <optional>
#include <string>
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
// inflated file must have before it may replace anything.
struct DownloadEntry {
    std::string path;
    std::int32_t size;
    std::int32_t packedSize;
    std::string digest;
};
using DownloadList = std::vector<DownloadEntry>;

// The largest file size a patch list may announce (1 GiB).
inline constexpr std::int64_t largestFileSize = 1073741824;

// Sends the PatchListRequest and splits the reply into its lines (every '\' turned into '/'),
// up to the end line "D". Ends the pass with "Patch list is WAY too long" past 100000 bytes.
std::vector<std::string> readPatchList(WorkerJob& job, int distribution);

// The entries of a patch list's lines, three lines each. Nothing unless every entry is well
// formed: sizes that are two numbers in 0..1 GiB, a digest of 32 hex digits, a path that stays
// inside the game directory (safeRelativePath) and is listed once.
std::optional<std::vector<PatchEntry>> parsePatchEntries(const std::vector<std::string>& lines);

// Decides for every entry whether the file on disk is current, exempt or to be fetched; fills
// the job's DistributionFileSet and bytesTotal and keeps the DigestCache. A list that is not
// well formed ends the pass with "Corrupt patch info, aborting" before anything is written.
DownloadList checkFiles(WorkerJob& job, const std::vector<std::string>& lines);

// True when a patch-list path (with '/') names a place inside the game directory: not absolute,
// no drive letter, no NUL byte, and every component a name (not empty, ".", or "..").
bool safeRelativePath(const std::string& path);

#pragma once

#include <cstdint>
#include <string>
#include <vector>

class WorkerJob;

// A file to fetch: its path (with '/'), its size, and the size of its FileData.
struct DownloadEntry {
    std::string path;
    std::int32_t size;
    std::int32_t packedSize;
};
using DownloadList = std::vector<DownloadEntry>;

// The largest file size a patch list may announce (1 GiB).
inline constexpr std::int64_t largestFileSize = 1073741824;

// Sends the PatchListRequest and splits the reply into its lines (every '\' turned into '/'),
// up to the end line "D". Ends the pass with "Patch list is WAY too long" past 100000 bytes.
std::vector<std::string> readPatchList(WorkerJob& job, int distribution);

// Decides for every entry (three lines each) whether the file on disk is current, exempt or to
// be fetched; fills the job's DistributionFileSet and bytesTotal and keeps the DigestCache. A
// list that is not made of well-formed entries, or names a path outside the game directory,
// ends the pass with "Corrupt patch info, aborting".
DownloadList checkFiles(WorkerJob& job, const std::vector<std::string>& lines);

// True when a patch-list path stays inside the game directory: not empty, not absolute, no
// drive letter, no ".." component, no NUL byte.
bool safeRelativePath(const std::string& path);

#pragma once

#include "patcher/patch_list.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class WorkerJob;

// The download phase of a pass: receives the requested files' data from the connection in
// request order, inflates each file as its bytes arrive, writes it to "<path>.new" and puts it in
// place only when its length and MD5 digest are those of the patch list, keeping the previous
// version as "<path>.prepatch". Appends its report lines; ends the pass through fatal when the
// data ends early, does not inflate, or cannot be written.
class Downloader {
public:
    explicit Downloader(WorkerJob& job);
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;
    ~Downloader();

    void downloadFile(const DownloadEntry& entry);
    // The files installed and verified so far, with their digests, for the digest cache.
    const std::vector<std::pair<std::string, std::string>>& verified() const { return verified_; }

private:
    class File;

    WorkerJob& job_;
    std::vector<std::pair<std::string, std::string>> verified_;
};

// One file on its own, as the patch run downloads each.
void downloadFile(WorkerJob& job, const DownloadEntry& entry);

// True for the Mirelgan add-on's own data files, which are patched without a report line.
bool isAddonDataFile(const std::string& path);

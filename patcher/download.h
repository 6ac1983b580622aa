#pragma once

#include "patcher/patch_list.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class PassRecord;
class Settings;
class WorkerJob;

// The download phase of a pass: receives the requested files' data from the connection in
// request order, inflates each file as its bytes arrive, writes it to "<path>.new" and puts it in
// place only when its length and MD5 digest are those of the patch list, keeping the previous
// version as "<path>.prepatch". Appends its report lines; ends the pass through fatal when the
// data ends early, does not inflate, or cannot be written. Asked to stop, it ends the pass
// between two files: the files before are installed, the one on its way is dropped, and no
// temporary file stays.
//
// Two threads share the work, so that receiving and inflating one file overlaps with digesting,
// writing and installing the ones before it: the worker receives and inflates, a writer thread
// of the downloader's own does the rest, in request order. At most a fixed number of inflated
// blocks are on their way between the two.
class Downloader {
public:
    // Each install is written to `record`, when given, before it is made.
    explicit Downloader(WorkerJob& job, PassRecord* record = nullptr);
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;
    // Waits for the writer to finish what it was given.
    ~Downloader();

    // The files that downloadFile will be called for, in that order, before the first call.
    void plan(const DownloadList& files);
    void downloadFile(const DownloadEntry& entry);
    // Waits until every file handed over is installed (or refused); a file that could not be
    // written ends the pass through fatal, as when the worker notices it first.
    void finish();
    // After finish: the installed files with their digests, for the digest cache.
    const std::vector<std::pair<std::string, std::string>>& verified();

    class BlockPool;
    class Writer;

private:
    // Receives one file's data from the connection, advancing the progress; false when the
    // stream ended first.
    bool receive(std::uint64_t length,
                 const std::function<void(std::span<const unsigned char>)>& onData);
    void settle(std::optional<std::string> failure);
    // Once the window has asked the pass to stop: ends it between two files.
    void stopIfAsked();

    WorkerJob& job_;
    // The pool outlives the writer, whose queue may still hold its blocks.
    std::unique_ptr<BlockPool> pool_;
    std::unique_ptr<Writer> writer_;
    std::vector<unsigned char> received_; // received bytes not inflated yet
    std::size_t next_ = 0;                // files downloaded so far
};

// One file on its own, as the patch run downloads each.
void downloadFile(WorkerJob& job, const DownloadEntry& entry);

// The first report line of the pass after one that was stopped during its downloads: that pass
// left the interface partly updated, and this one brings the rest.
inline constexpr char lastPassUnfinished[] =
    "The last pass in this game directory was stopped before its downloads were done.";
// The store remembers a game directory (the current directory) whose pass was stopped during
// its downloads, until takeUnfinishedPatch.
void rememberUnfinishedPatch(Settings& settings);
// True, once, when the last pass in the game directory was stopped during its downloads.
bool takeUnfinishedPatch(Settings& settings);

// True for the Mirelgan add-on's own data files, which are patched without a report line.
bool isAddonDataFile(const std::string& path);

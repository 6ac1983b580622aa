#include "patcher/patch_run.h"

#include "app/job/worker_job.h"
#include "net/protocol.h"
#include "patcher/clean.h"
#include "patcher/digest_cache.h"
#include "patcher/distribution_list.h"
#include "patcher/download.h"
#include "patcher/fs/fs.h"
#include "patcher/patch_list.h"
#include "settings/settings.h"
#include "uploader/upload_pass.h"

#include <sys/stat.h>

namespace {
constexpr char cleanedDirectory[] = "Pelvar_Cleaned";
}

void runPatchPass(WorkerJob& job) {
    PatchRun(job).run();
}

void PatchRun::run() {
    Settings& settings = job_.settings;
    job_.setProgress(0);
    settings.installErrors = 0;
    // Two passes on one game directory would overwrite each other's temporary files and
    // backups; the second one ends before it changes anything.
    DirectoryLock gameDirectory;
    if (!gameDirectory.tryLock("."))
        job_.fatal("Another pass is running in this game directory, aborting");
    fetchDistributionList(job_);
    if (settings.mustChooseDistribution) {
        job_.status("Choose a Distribution");
        job_.askDistribution();
    }
    uploadPass(job_);

    if (int distribution = settings.distribution; distribution != 0) {
        job_.status("Patching Pelvar");
        if (!job_.connected()) {
            job_.status("Patching Pelvr: Connecting");
            job_.connect();
        }
        std::vector<std::string> lines = readPatchList(job_, distribution);
        if (lines.empty()) {
            job_.status("Pelvar Patching Complete");
        } else {
            DownloadList downloads = checkFiles(job_, lines);
            // Every request goes out before the first download, so the server sends the files
            // back to back on the one connection.
            for (const DownloadEntry& entry : downloads)
                sendFileRequest(job_.connection, entry.path);
            if (!downloads.empty())
                sendFileRequestEnd(job_.connection);
            job_.bytesDone = 0;
            Downloader downloader(job_);
            downloader.plan(downloads);
            for (const DownloadEntry& entry : downloads)
                downloader.downloadFile(entry);
            downloader.finish();
            rememberVerified(downloader.verified());
            if (settings.keepClean || settings.completeCheck)
                cleanUp();
            job_.status("Pelvar Patching Complete");
        }
    }
    if (job_.connected())
        job_.close();
}

void PatchRun::rememberVerified(const std::vector<std::pair<std::string, std::string>>& files) {
    if (files.empty())
        return;
    // A file installed after its digest was checked is known to be current: the next pass need
    // not read it again.
    DigestCache cache(job_.settings);
    for (const auto& [path, digest] : files)
        cache.store(path, digest);
}

void PatchRun::cleanUp() {
    Settings& settings = job_.settings;
    settings.cleanList.clear();
    cleanDirectory(job_, "Interface");
    job_.setProgress(0);
    std::size_t total = settings.cleanList.size();
    if (total == 0)
        return;
    ::mkdir(cleanedDirectory, 0777);
    std::size_t done = 0;
    while (!settings.cleanList.empty()) {
        std::string path = std::move(settings.cleanList.front());
        settings.cleanList.pop_front();
        job_.status("Cleaning %s...", path.c_str());
        std::string target = std::string(cleanedDirectory) + "/" + path;
        bool moved = renameFile(path, target);
        if (!moved) {
            makeDirs(target);
            moved = renameFile(path, target);
        }
        settings.reportLines.push_back((moved ? "Cleaned " : "ERROR: failed to clean ") +
                                       replaceChar(path, '/', '\\'));
        ++done;
        job_.setProgress(static_cast<int>(done * 100 / total));
    }
    job_.status("Moving Cleaned files to the Recycle bin");
    recycle(cleanedDirectory);
}

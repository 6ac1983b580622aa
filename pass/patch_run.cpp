#include "pass/patch_run.h"

#include "base/fs.h"
#include "base/trash.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "patcher/clean.h"
#include "patcher/digest_cache.h"
#include "patcher/distribution_list.h"
#include "patcher/download.h"
#include "patcher/pass_record.h"
#include "patcher/patch_list.h"
#include "settings/settings.h"
#include "uploader/upload_pass.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

void tellStoreFailure(WorkerJob& job) {
    std::string failure = job.settings.key.takeFailure();
    if (failure.empty())
        return;
    job.status("Settings could not be saved: %s", failure.c_str());
    std::fprintf(stderr, "%s: settings could not be saved: %s\n", program_invocation_short_name,
                 failure.c_str());
}

void runPatchPass(WorkerJob& job) {
    PatchRun(job).run();
}

DirectoryLock lockGameDirectory(WorkerJob& job) {
    job.setProgress(0);
    job.settings.installErrors = 0;
    job.settings.bytesUploaded = 0;
    // Two passes on one game directory would overwrite each other's temporary files and
    // backups; the second one ends before it changes anything.
    DirectoryLock gameDirectory;
    if (!gameDirectory.tryLock("."))
        job.fatal("Another pass is running in this game directory, aborting: try again when it has "
                  "ended");
    return gameDirectory;
}

void PatchRun::run() {
    Settings& settings = job_.settings;
    DirectoryLock gameDirectory = lockGameDirectory(job_);
    if (!settings.key.isOpen())
        job_.status("Settings are not remembered: %s", settings.storeError().c_str());
    // What the pass changes, for a rollback.
    PassRecord record(settings.key);
    if (takeUnfinishedPatch(settings))
        settings.reportLines.push_back(lastPassUnfinished);
    fetchDistributionList(job_);
    tellStoreFailure(job_);
    if (settings.mustChooseDistribution) {
        job_.status("Choose a Distribution");
        job_.askDistribution();
    }
    std::optional<SentUpload> upload = uploadPass(job_);
    tellStoreFailure(job_);

    if (int distribution = settings.distribution; distribution != 0) {
        job_.status("Patching Pelvar");
        if (!job_.connected()) {
            job_.status("Patching Pelvr: Connecting");
            job_.connect();
        }
        std::vector<std::string> lines = readPatchList(distribution, upload);
        if (lines.empty()) {
            job_.status("Pelvar Patching Complete");
        } else {
            DownloadList downloads = checkFiles(job_, lines);
            record.expect(downloads);
            // Every request goes out before the first download, so the server sends the files
            // back to back on the one connection.
            std::vector<std::string> requested;
            for (const DownloadEntry& entry : downloads)
                requested.push_back(entry.path);
            if (!sendFileRequests(job_.connection, requested))
                job_.fatal("Download failed!");
            job_.bytesDone = 0;
            Downloader downloader(job_, &record);
            downloader.plan(downloads);
            for (const DownloadEntry& entry : downloads)
                downloader.downloadFile(entry);
            downloader.finish();
            // The installed files reach the disk before the digest cache says they are current,
            // so that a power cut never leaves a file that the cache vouches for but the disk
            // lost.
            if (!downloader.verified().empty() && flushToDisk("."))
                rememberVerified(downloader.verified());
            tellStoreFailure(job_);
            if (settings.keepClean || settings.completeCheck)
                cleanUp(record);
            job_.status("Pelvar Patching Complete");
        }
    }
    if (upload) {
        // No request followed the upload: the server's orderly close shows it read all of it.
        if (awaitOrderlyClose(job_.connection))
            confirm(upload);
        else
            job_.status("Upload not confirmed: %s", endText(job_.connection.end()));
    }
    if (job_.connected())
        job_.close();
}

void PatchRun::confirm(std::optional<SentUpload>& upload) {
    upload->confirm(job_);
    upload.reset();
}

std::vector<std::string> PatchRun::readPatchList(int distribution,
                                                 std::optional<SentUpload>& upload) {
    std::string reply;
    // The reply to the request that followed the upload shows the server read past it.
    auto onFirstBytes = [&] {
        if (upload)
            confirm(upload);
    };
    PatchListOutcome outcome =
        patchListExchange(job_.connection, distribution, reply, onFirstBytes);
    if (upload && outcome == PatchListOutcome::cut && reply.empty() &&
        job_.connection.end() != LinkEnd::timedOut) {
        // The server closed instead of answering: it did not take the upload (over its quota,
        // say). The table stays in its file for a later pass, and the patching goes on.
        job_.status("The server did not take the upload");
        upload.reset();
        job_.close();
        job_.status("Patching Pelvr: Connecting");
        job_.connect();
        outcome = patchListExchange(job_.connection, distribution, reply);
    }
    if (outcome == PatchListOutcome::cut && job_.connection.end() == LinkEnd::timedOut &&
        job_.connection.awaitingReply())
        job_.fatal("%s", serverDidNotAnswer);
    return patchListLines(job_, outcome, reply);
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

void PatchRun::cleanUp(PassRecord& record) {
    Settings& settings = job_.settings;
    settings.cleanList.clear();
    cleanDirectory(job_, "Interface");
    job_.setProgress(0);
    std::size_t total = settings.cleanList.size();
    if (total == 0)
        return;
    // The set-aside directory's place in the trash (its own file system's) is had before any file
    // moves, and written down with the files: when no trash can take them, they stay where they
    // are, and a rollback finds each where the record says it went.
    bool made = ::mkdir(cleanedDirectory, 0777) == 0;
    TrashEntry entry;
    if (std::string why; !reserveTrashEntry(cleanedDirectory, entry, why)) {
        if (made)
            ::rmdir(cleanedDirectory);
        for (const std::string& path : settings.cleanList)
            settings.reportLines.push_back("ERROR: couldn't clean " + replaceChar(path, '/', '\\'));
        settings.cleanList.clear();
        job_.fatal("Couldn't clean: no trash can take the files (%s)", why.c_str());
    }
    std::vector<std::int64_t> ids = record.beforeCleaning(settings.cleanList, entry.path);
    std::vector<bool> setAside(total, false);
    for (std::size_t done = 0; done < total; ++done) {
        const std::string& path = settings.cleanList[done];
        job_.status("Cleaning %s...", path.c_str());
        std::string target = std::string(cleanedDirectory) + "/" + path;
        bool moved = renameFile(path, target);
        if (!moved) {
            makeDirs(target);
            moved = renameFile(path, target);
        }
        if (moved)
            record.cleaningMade(ids[done]);
        setAside[done] = moved;
        job_.setProgress(static_cast<int>((done + 1) * 100 / total));
    }
    std::deque<std::string> paths = std::exchange(settings.cleanList, {});
    record.flushMade();
    job_.status("Moving Cleaned files to the Recycle bin");
    std::string why;
    bool trashed = moveIntoTrash(cleanedDirectory, entry, why);
    std::vector<std::int64_t> putBack;
    for (std::size_t i = 0; i < total; ++i) {
        std::string display = replaceChar(paths[i], '/', '\\');
        if (!setAside[i]) {
            settings.reportLines.push_back("ERROR: failed to clean " + display);
        } else if (trashed) {
            settings.reportLines.push_back("Cleaned " + display);
        } else if (renameFile(std::string(cleanedDirectory) + "/" + paths[i], paths[i])) {
            // Nothing stays set aside in the game directory under a report that says the files
            // are in the trash: each goes back to its place.
            putBack.push_back(ids[i]);
            settings.reportLines.push_back("ERROR: couldn't clean " + display);
        } else {
            settings.reportLines.push_back("ERROR: couldn't clean " + display + ", it is in " +
                                           cleanedDirectory + "\\" + display);
        }
    }
    if (!trashed) {
        record.cleaningUndone(putBack);
        removeEmptyDirectories(cleanedDirectory);
        job_.fatal("Couldn't clean: the trash refused the files (%s)", why.c_str());
    }
    if (std::count(setAside.begin(), setAside.end(), true) > 0)
        settings.reportLines.push_back("The cleaned files are in the trash: " + entry.path);
}

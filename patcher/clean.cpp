#include "patcher/clean.h"

#include "base/diagnostic.h"
#include "base/fs.h"
#include "job_channel/worker_job.h"
#include "settings/settings.h"

#include <cstdio>

void cleanDirectory(WorkerJob& job, const std::string& directory) {
    Settings& settings = job.settings;
    if (directory == "Interface/Modules") {
        diagnostic("skipping Modules\n");
        return;
    }
    if (fileExists(directory + ".nopatch")) {
        if (settings.completeCheck)
            settings.reportLines.push_back("Not cleaning directory " +
                                           replaceChar(directory, '/', '\\') + " (.nopatch)");
        return;
    }
    // A linked directory belongs to whatever it points to, maybe outside the game: the walk
    // neither follows nor moves it.
    if (isSymbolicLink(directory)) {
        settings.reportLines.push_back("Not cleaning directory " +
                                       replaceChar(directory, '/', '\\') + " (symbolic link)");
        return;
    }
    if (settings.keepClean)
        job.status("Cleaning %s...", directory.c_str());

    std::optional<std::vector<std::string>> names = listDirectory(directory);
    if (!names) {
        settings.reportLines.push_back("ERROR: couldn't clean " +
                                       replaceChar(directory, '/', '\\'));
        return;
    }
    for (const std::string& name : *names) {
        if (name.find(".nopatch") != std::string::npos) {
            diagnostic("skipping %s (.nopatch)\n", name.c_str());
            continue;
        }
        std::string path = directory + "/" + name;
        if (path == "Interface/FrameXML/FrameXML.toc")
            continue;
        if (isDirectory(path)) {
            if (isSymbolicLink(path)) {
                if (settings.completeCheck)
                    settings.reportLines.push_back("Not cleaning directory " +
                                                   replaceChar(path, '/', '\\') +
                                                   " (symbolic link)");
            } else if (path.back() != '.') {
                cleanDirectory(job, path);
            }
            continue;
        }
        if (job.distributionFileSet.count(path))
            continue;
        if (fileExists(path + ".nopatch")) {
            if (settings.completeCheck)
                settings.reportLines.push_back("Not cleaning " + replaceChar(path, '/', '\\') +
                                               " (.nopatch)");
            continue;
        }
        if (settings.keepClean)
            settings.cleanList.push_back(path);
        else
            settings.reportLines.push_back("Not cleaning " + replaceChar(path, '/', '\\') +
                                           " (disabled)");
    }
}

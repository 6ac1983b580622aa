#include "pass/rollback.h"

#include "base/fs.h"
#include "base/trash.h"
#include "job_channel/worker_job.h"
#include "pass/patch_run.h"
#include "patcher/digest_cache.h"
#include "patcher/pass_record.h"
#include "patcher/patch_list.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

const char heldMarkerText[] =
    "Held by a rollback: the next pass leaves the file beside this marker as it is. "
    "'pelvar-cli --release' removes the markers that rollbacks made.\n";

namespace {

// What a rollback makes of one change of the pass. Those the record keeps are written down before
// they are made (restoring, removing, recovering) and once they are (restored, removed,
// recovered), so that a second rollback finishes exactly what the first one began.
enum class Outcome {
    nothing, // the pass never made the change, or it left the file as it was
    restored,
    removed,
    recovered,
    changed, // left alone: the user changed the file since the pass
    deleted, // left alone: the user deleted it since the pass
    failed,  // could not be undone: a later rollback tries again
    stopped, // not tried: the rollback stopped before it
};

constexpr const char* intentNames[] = {"restoring", "removing", "recovering"};
constexpr const char* doneNames[] = {"restored", "removed", "recovered"};
constexpr Outcome doneOutcomes[] = {Outcome::restored, Outcome::removed, Outcome::recovered};

// The index of a rollback's step in the names above, by the change it undoes.
int stepOf(const std::string& change) {
    return change == "replaced" ? 0 : change == "installed" ? 1 : 2;
}

// A file's content as far as a rollback needs it: whether the name exists, and the digest of a
// regular file that could be read (empty otherwise).
struct Content {
    bool present = false;
    std::string digest;
};

Content contentOf(const std::string& path) {
    FileDigest read = digestOf(path);
    if (read.error == ENOENT || read.error == ENOTDIR)
        return {};
    return {true, read.digest};
}

bool absent(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

std::string display(const std::string& path) {
    return replaceChar(path, '/', '\\');
}

// Where a cleaned file was set aside before its directory went to the trash.
std::string setAsidePlace(const std::string& path) {
    return std::string(cleanedDirectory) + "/" + path;
}

// The trash entry that holds a file the pass cleaned (its place is the entry followed by the
// file's path) or a file a rollback removed (its place is the entry).
std::string trashEntryOf(const PassFile& file) {
    std::string suffix = "/" + file.path;
    if (file.change == "cleaned" && file.place.size() > suffix.size() &&
        file.place.compare(file.place.size() - suffix.size(), suffix.size(), suffix) == 0)
        return file.place.substr(0, file.place.size() - suffix.size());
    return file.place;
}

bool isHeldMarker(const std::string& path) {
    UniqueFile file = openForReading(path);
    if (!file)
        return false;
    std::string text(sizeof heldMarkerText, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    return text == heldMarkerText;
}

enum class Held { made, usersOwn, failed, notWritten };

// Writes the marker that holds `path`, recorded before it is made. It is written whole under a
// temporary name and moved into place without replacing anything, so that a kill never leaves an
// empty one, which would pass for the user's. A marker that exists already and is not a
// rollback's is the user's: it is left to the user and not recorded.
Held hold(SettingsStore& store, const std::string& directory, const std::string& path) {
    std::string marker = path + ".nopatch";
    if (!store.addHeldMarker(directory, marker))
        return Held::notWritten;
    makeDirs(marker);
    std::string temporary = marker + ".new";
    UniqueFd fd = createFresh(temporary);
    if (fd && writeAll(fd.get(), heldMarkerText, sizeof heldMarkerText - 1) && fd.close() &&
        renameFile(temporary, marker))
        return Held::made;
    ::unlink(temporary.c_str());
    bool existed = !absent(marker);
    if (existed && isHeldMarker(marker))
        return Held::made; // made by a rollback cut short
    store.removeHeldMarker(directory, marker);
    return existed ? Held::usersOwn : Held::failed;
}

// What nothing could be done without.
bool storeInUse(const std::string& why) {
    return why.find("locked") != std::string::npos || why.find("busy") != std::string::npos;
}

class Rollback {
public:
    Rollback(WorkerJob& job, bool hold)
        : job_(job), store_(job.settings.key), hold_(hold), directory_(currentGameDirectory()) {}

    // The report lines; none when there was nothing to roll back.
    std::vector<std::string> run() {
        // The last pass that changed something, as its record says; passes that changed nothing
        // (one killed before its first change) are passed over. A pass rolled back already ends
        // the search: the backups of the passes before it are gone.
        std::optional<std::vector<PassSummary>> passes = store_.passesOf(directory_);
        if (!passes)
            cannotRead();
        for (const PassSummary& pass : *passes) {
            if (pass.rolledBack)
                break;
            std::optional<std::vector<PassFile>> files = store_.passFiles(pass.id);
            if (!files)
                cannotRead();
            if (std::none_of(files->begin(), files->end(), [](const PassFile& file) {
                    return file.made || !file.outcome.empty() || madeAfterAll(file);
                }))
                continue;
            undo(std::move(*files));
            std::vector<std::string> lines = report();
            // Done when every file is undone or left alone for the user's sake: until then a
            // later rollback takes up the rest.
            if (!stopped_ && unfinished_ == 0 && !store_.setPassRolledBack(pass.id)) {
                stop(store_.takeFailure());
                ++job_.settings.installErrors;
            }
            if (unfinished_ > 0 || stopped_)
                lines.push_back(unfinishedLine());
            return lines;
        }
        return {};
    }

    bool finished() const { return !stopped_ && unfinished_ == 0; }

private:
    // A change that only a kill can have left unmarked although it was made: the file holds what
    // the pass put there.
    static bool madeAfterAll(const PassFile& file) {
        if (file.change == "cleaned")
            return absent(file.path) && (!absent(file.place) || !absent(setAsidePlace(file.path)));
        Content now = contentOf(file.path);
        return !now.digest.empty() && now.digest == file.newDigest;
    }

    // Without its record a rollback cannot tell what to undo: it ends before it changes anything.
    [[noreturn]] void cannotRead() {
        std::string why = store_.isOpen() ? store_.takeFailure() : job_.settings.storeError();
        endUnchanged("Can't read the record of the passes", why);
    }

    [[noreturn]] void endUnchanged(const char* what, const std::string& why) {
        if (storeInUse(why))
            job_.fatal("%s: the settings are in use by another program (%s). Nothing was rolled "
                       "back: close the other program and try again.",
                       what, why.c_str());
        job_.fatal("%s (%s): nothing was rolled back.", what, why.c_str());
    }

    struct Undone {
        PassFile file;
        Outcome outcome = Outcome::stopped;
        std::string why; // what kept a failed change from being made
    };

    // Writes down what the rollback is about to do, or has done, to a file; false when the store
    // would not take it, which stops the rollback before its next change.
    bool note(PassFile& file, const std::string& outcome) {
        if (file.outcome == outcome && !stopped_)
            return true;
        std::string before = std::exchange(file.outcome, outcome);
        if (!stopped_ && store_.updatePassFiles({file}))
            return true;
        file.outcome = std::move(before);
        stop(store_.takeFailure());
        return false;
    }

    void stop(const std::string& why) {
        if (!stopped_)
            stopWhy_ = why;
        stopped_ = true;
    }

    void undo(std::vector<PassFile> files) {
        undone_.clear();
        // The digest cache forgets the files before any of them changes: else, should the
        // rollback be cut short or its last write fail, it would vouch for what the pass
        // installed, and the next pass would trust it and leave the files as they are.
        std::vector<StoreChange> forget;
        for (const PassFile& file : files)
            if (file.change != "cleaned")
                forget.push_back({file.path, std::nullopt});
        if (!forget.empty() && !store_.applyDigests(directory_, forget))
            endUnchanged("Can't make the digest cache forget the files", store_.takeFailure());
        std::vector<std::pair<std::string, std::string>> digests; // what each file holds now
        std::size_t done = 0;
        for (auto file = files.rbegin(); file != files.rend(); ++file) {
            Undone undone{std::move(*file), Outcome::stopped, {}};
            if (!stopped_)
                undone.outcome = undoOne(undone);
            if (undone.file.change != "cleaned" && undone.outcome != Outcome::stopped)
                digests.emplace_back(undone.file.path, contentOf(undone.file.path).digest);
            undone_.push_back(std::move(undone));
            job_.setProgress(static_cast<int>(++done * 100 / files.size()));
        }
        std::reverse(undone_.begin(), undone_.end());
        if (!stopped_)
            tidyCleanUp();
        // The digest cache gets what the files hold now, so the next check sees the truth; the
        // files reach the disk first, so that it never vouches for what a power cut lost.
        bool flushed = digests.empty() || flushToDisk(".");
        DigestCache cache(job_.settings);
        for (const auto& [path, digest] : digests) {
            if (flushed && !digest.empty())
                cache.store(path, digest);
            else
                cache.remove(path);
        }
    }

    // What a pass killed in its clean-up leaves: the place it reserved in the trash, never filled,
    // and its set-aside directory, emptied by the recoveries.
    void tidyCleanUp() {
        std::set<std::string> entries;
        for (const Undone& undone : undone_)
            if (undone.file.change == "cleaned" && !undone.file.place.empty())
                entries.insert(trashEntryOf(undone.file));
        if (entries.empty())
            return;
        for (const std::string& entry : entries)
            if (absent(entry))
                releaseTrashEntry(trashEntryAt(entry));
        removeEmptyDirectories(cleanedDirectory);
    }

    Outcome undoOne(Undone& undone) {
        PassFile& file = undone.file;
        int step = stepOf(file.change);
        if (file.outcome == doneNames[step])
            return doneOutcomes[step];
        bool begun = file.outcome == intentNames[step];
        // A change written down but never made is neither undone nor held.
        if (!begun && !file.made && !madeAfterAll(file))
            return Outcome::nothing;
        job_.status(step == 2 ? "Recovering %s" : "Rolling back %s", display(file.path).c_str());
        switch (step) {
        case 0:
            return undoReplaced(undone, begun);
        case 1:
            return undoInstalled(undone, begun);
        default:
            return undoCleaned(undone, begun);
        }
    }

    // What the pass replaced comes back from the backup through the same install as a pass
    // makes, so that what the pass installed becomes the backup. A rollback cut short between the
    // backup's link and the last rename left what the pass replaced in the temporary file.
    Outcome undoReplaced(Undone& undone, bool begun) {
        PassFile& file = undone.file;
        const std::string backup = file.path + ".prepatch";
        const std::string temporary = file.path + ".new";
        Content now = contentOf(file.path);
        if (begun && !now.digest.empty() && now.digest == file.oldDigest)
            return note(file, "restored") ? Outcome::restored : Outcome::stopped;
        if (!now.present)
            return Outcome::deleted;
        if (now.digest.empty() || now.digest != file.newDigest)
            return Outcome::changed;
        bool inBackup = !file.oldDigest.empty() && contentOf(backup).digest == file.oldDigest;
        bool inTemporary =
            begun && !file.oldDigest.empty() && contentOf(temporary).digest == file.oldDigest;
        if (!inBackup && !inTemporary) {
            undone.why = "its backup no longer holds what the pass replaced";
            return Outcome::failed;
        }
        if (!note(file, "restoring"))
            return Outcome::stopped;
        if (inBackup && !linkFresh(backup, temporary)) {
            undone.why = std::strerror(errno);
            return Outcome::failed;
        }
        switch (installFile(temporary, file.path, backup)) {
        case InstallResult::installed:
        case InstallResult::replaced:
            return note(file, "restored") ? Outcome::restored : Outcome::stopped;
        case InstallResult::notMoved:
            // The temporary file may now be the only copy of what the pass replaced: it stays
            // for the next rollback.
            undone.why = "it could not be moved into place";
            return Outcome::failed;
        case InstallResult::noRoomForBackup:
            undone.why = "no room on the disk";
            break;
        case InstallResult::directoryInTheWay:
        case InstallResult::noBackup:
            undone.why = "what the pass installed could not be kept as the backup";
            break;
        }
        if (inBackup)
            ::unlink(temporary.c_str());
        return Outcome::failed;
    }

    // A file the pass created goes to the trash of its file system, where the record says before
    // it goes.
    Outcome undoInstalled(Undone& undone, bool begun) {
        PassFile& file = undone.file;
        if (begun && absent(file.path) && !file.place.empty() && !absent(file.place))
            return note(file, "removed") ? Outcome::removed : Outcome::stopped;
        Content now = contentOf(file.path);
        if (!now.present)
            return Outcome::deleted;
        if (now.digest.empty() || now.digest != file.newDigest)
            return Outcome::changed;
        // A place reserved by a rollback that was cut short before the move is given up.
        if (begun && !file.place.empty() && absent(file.place))
            releaseTrashEntry(trashEntryAt(file.place));
        TrashEntry entry;
        if (!reserveTrashEntry(file.path, entry, undone.why))
            return Outcome::failed;
        file.place = entry.path;
        if (!note(file, "removing")) {
            releaseTrashEntry(entry);
            return Outcome::stopped;
        }
        if (!moveIntoTrash(file.path, entry, undone.why))
            return Outcome::failed;
        return note(file, "removed") ? Outcome::removed : Outcome::stopped;
    }

    // A file the pass cleaned comes back from where the record says it went (or from the
    // set-aside directory, when its move to the trash never happened), when its place is free.
    Outcome undoCleaned(Undone& undone, bool begun) {
        PassFile& file = undone.file;
        std::string source = !file.place.empty() && !absent(file.place) ? file.place
                             : !absent(setAsidePlace(file.path))        ? setAsidePlace(file.path)
                                                                        : std::string();
        if (!absent(file.path)) {
            if (begun && source.empty())
                return note(file, "recovered") ? Outcome::recovered : Outcome::stopped;
            return Outcome::changed;
        }
        if (source.empty())
            return Outcome::deleted;
        if (!note(file, "recovering"))
            return Outcome::stopped;
        bool fromTrash = source == file.place;
        bool moved = fromTrash ? restoreFromTrash(source, trashEntryOf(file), file.path)
                               : (makeDirs(file.path), renameFile(source, file.path));
        if (!moved) {
            undone.why = std::strerror(errno);
            return Outcome::failed;
        }
        // A set-aside directory that a pass killed before its move to the trash left behind goes
        // once it holds nothing.
        if (!fromTrash) {
            std::string directory = source;
            while (directory.find('/') != std::string::npos) {
                directory.erase(directory.rfind('/'));
                if (::rmdir(directory.c_str()) != 0)
                    break;
            }
        }
        return note(file, "recovered") ? Outcome::recovered : Outcome::stopped;
    }

    std::vector<std::string> report() {
        std::vector<std::string> lines;
        auto add = [&](Outcome wanted, const char* heading) {
            for (const Undone& undone : undone_)
                if (undone.outcome == wanted)
                    lines.push_back(heading + display(undone.file.path));
        };
        add(Outcome::restored, "Restored: ");
        add(Outcome::removed, "Removed: ");
        add(Outcome::recovered, "Recovered: ");
        add(Outcome::changed, "Left alone (changed since the pass): ");
        add(Outcome::deleted, "Left alone (deleted since the pass): ");
        for (const Undone& undone : undone_) {
            if (undone.outcome != Outcome::failed)
                continue;
            const char* verb = undone.file.change == "cleaned"     ? "recover "
                               : undone.file.change == "installed" ? "remove "
                                                                   : "restore ";
            lines.push_back(std::string("Error: couldn't ") + verb + display(undone.file.path) +
                            (undone.why.empty() ? "" : " (" + undone.why + ")"));
            ++unfinished_;
        }
        for (const Undone& undone : undone_)
            if (undone.outcome == Outcome::stopped)
                ++unfinished_;
        if (hold_)
            holdUndone(lines);
        job_.settings.installErrors += unfinished_;
        return lines;
    }

    void holdUndone(std::vector<std::string>& lines) {
        bool holding = false;
        for (const Undone& undone : undone_) {
            if (undone.outcome != Outcome::restored && undone.outcome != Outcome::removed &&
                undone.outcome != Outcome::recovered)
                continue;
            if (stopped_) {
                ++unfinished_;
                continue;
            }
            if (!std::exchange(holding, true))
                job_.status("Holding the files rolled back");
            switch (hold(store_, directory_, undone.file.path)) {
            case Held::made:
                lines.push_back("Held: " + display(undone.file.path));
                break;
            case Held::usersOwn:
                break;
            case Held::failed:
                lines.push_back("Error: couldn't hold " + display(undone.file.path));
                ++unfinished_;
                break;
            case Held::notWritten:
                stop(store_.takeFailure());
                ++unfinished_;
                break;
            }
        }
    }

    std::string unfinishedLine() const {
        std::string line = "The rollback is not finished: ";
        if (stopped_)
            line += "the settings would not take what it was about to do (" + stopWhy_ +
                    "), so it stopped before changing anything more. " +
                    (storeInUse(stopWhy_) ? "Close the other program that uses the settings, "
                                          : "Once the cause is gone, ");
        else
            line += "what the errors above name could not be undone. Once the cause is gone, ";
        return line + "run the rollback again to finish it.";
    }

    WorkerJob& job_;
    SettingsStore& store_;
    bool hold_;
    std::string directory_;
    std::vector<Undone> undone_;
    bool stopped_ = false;
    std::string stopWhy_;
    int unfinished_ = 0;
};

} // namespace

void runRollback(WorkerJob& job, bool hold) {
    Settings& settings = job.settings;
    DirectoryLock gameDirectory = lockGameDirectory(job);
    job.status("Rolling back the last pass");
    Rollback rollback(job, hold);
    std::vector<std::string> lines = rollback.run();
    tellStoreFailure(job);
    if (lines.empty())
        lines.push_back("Nothing to roll back.");
    job.status(rollback.finished() ? "Rollback Complete" : "Rollback Not Finished");
    settings.reportLines.insert(settings.reportLines.end(), lines.begin(), lines.end());
    settings.rollbackReport = true;
}

void runRollbackPass(WorkerJob& job) {
    runRollback(job, true);
}

std::vector<std::string> releaseHeld(SettingsStore& store) {
    std::string directory = currentGameDirectory();
    std::optional<std::vector<std::string>> markers = store.heldMarkers(directory);
    if (!markers)
        return {"Error: couldn't read the markers that rollbacks made"};
    std::vector<std::string> lines;
    for (const std::string& marker : *markers) {
        std::string held = display(marker.substr(0, marker.size() - 8));
        if (isHeldMarker(marker)) {
            if (!removeFile(marker) && errno != ENOENT) {
                lines.push_back("Error: couldn't release " + held);
                continue;
            }
            lines.push_back("Released: " + held);
        }
        store.removeHeldMarker(directory, marker);
    }
    return lines;
}

#include "pass/rollback.h"

#include "base/fs.h"
#include "job_channel/worker_job.h"
#include "pass/patch_run.h"
#include "patcher/digest_cache.h"
#include "patcher/pass_record.h"
#include "patcher/patch_list.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

const char heldMarkerText[] =
    "Held by a rollback: the next pass leaves the file beside this marker as it is. "
    "'pelvar-cli --release' removes the markers that rollbacks made.\n";

namespace {

// What a rollback made of one change of the pass, as the record keeps it. A change already
// undone by a rollback that was cut short keeps its outcome, so that the next one reports it and
// holds the file.
enum class Outcome { nothing, restored, removed, recovered, leftAlone, failed };

constexpr const char* outcomeNames[] = {"", "restored", "removed", "recovered", "", ""};

Outcome recordedOutcome(const std::string& name) {
    for (Outcome done : {Outcome::restored, Outcome::removed, Outcome::recovered})
        if (name == outcomeNames[static_cast<int>(done)])
            return done;
    return Outcome::nothing;
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

// The file holds what the pass installed: what the pass replaced comes back from the backup (or
// from the temporary file of a rollback cut short between its two renames) through the same
// install as a pass, so the installed version becomes the backup.
Outcome undoReplaced(const PassFile& file, Content& now) {
    const std::string backup = file.path + ".prepatch";
    const std::string temporary = file.path + ".new";
    if (!now.digest.empty() && now.digest == file.oldDigest)
        return contentOf(backup).digest == file.newDigest ? Outcome::restored : Outcome::nothing;
    if (now.digest.empty() || now.digest != file.newDigest)
        return now.present ? Outcome::leftAlone : Outcome::nothing;
    if (file.oldDigest.empty())
        return Outcome::failed;
    bool fromBackup = contentOf(backup).digest == file.oldDigest;
    if (fromBackup ? !linkFresh(backup, temporary) : contentOf(temporary).digest != file.oldDigest)
        return Outcome::failed;
    switch (installFile(temporary, file.path, backup)) {
    case InstallResult::installed:
    case InstallResult::replaced:
        now.digest = file.oldDigest;
        return Outcome::restored;
    case InstallResult::notMoved:
        // The temporary file may now be the only copy of what the pass replaced.
        return Outcome::failed;
    case InstallResult::directoryInTheWay:
    case InstallResult::noBackup:
    case InstallResult::noRoomForBackup:
        break;
    }
    if (fromBackup)
        ::unlink(temporary.c_str());
    return Outcome::failed;
}

// A removal or a recovery is written down before it is made (`intend`): once made, nothing on the
// disk tells that the rollback made it.
using Intend = std::function<void(Outcome)>;

Outcome undoInstalled(const PassFile& file, Content& now, const Intend& intend) {
    if (!now.present)
        return Outcome::nothing;
    if (now.digest.empty() || now.digest != file.newDigest)
        return Outcome::leftAlone;
    intend(Outcome::removed);
    if (recycle(file.path) != 0)
        return Outcome::failed;
    now = {};
    return Outcome::removed;
}

Outcome undoCleaned(const PassFile& file, const Intend& intend) {
    bool inTrash = !file.place.empty() && !absent(file.place);
    bool placeFree = absent(file.path);
    if (!inTrash)
        return placeFree ? Outcome::failed : Outcome::nothing;
    if (!placeFree)
        return Outcome::leftAlone;
    intend(Outcome::recovered);
    makeDirs(file.path);
    return renameFile(file.place, file.path) ? Outcome::recovered : Outcome::failed;
}

bool isHeldMarker(const std::string& path) {
    UniqueFile file = openForReading(path);
    if (!file)
        return false;
    std::string text(sizeof heldMarkerText, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    return text == heldMarkerText;
}

enum class Held { made, usersOwn, failed };

// Writes the marker that holds `path`, recorded before it is made. It is written whole under a
// temporary name and moved into place without replacing anything, so that a kill never leaves an
// empty one, which would pass for the user's. A marker that exists already and is not a
// rollback's is the user's: it is left to the user and not recorded.
Held hold(SettingsStore& store, const std::string& directory, const std::string& path) {
    std::string marker = path + ".nopatch";
    if (!store.addHeldMarker(directory, marker))
        return Held::failed;
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

class Rollback {
public:
    Rollback(WorkerJob& job, bool hold)
        : job_(job), store_(job.settings.key), hold_(hold), directory_(currentGameDirectory()) {}

    // The report lines; none when there was nothing to roll back.
    std::vector<std::string> run() {
        // Passes that, as the files show, changed nothing are passed over (one killed before
        // its first rename); a pass rolled back already ends the search, since the backups of
        // the passes before it are gone.
        std::optional<std::vector<PassSummary>> passes = store_.passesOf(directory_);
        if (!passes)
            cannotRead();
        for (const PassSummary& pass : *passes) {
            if (pass.rolledBack)
                break;
            // Files that cannot be read are not taken for a pass that changed nothing.
            std::optional<std::vector<PassFile>> files = store_.passFiles(pass.id);
            if (!files)
                cannotRead();
            bool changed = undo(std::move(*files));
            // Marked only once its files are held: a rollback cut short before then is finished,
            // the holding included, by the next one.
            std::vector<std::string> lines = changed ? report() : std::vector<std::string>();
            store_.setPassRolledBack(pass.id);
            if (changed)
                return lines;
        }
        return {};
    }

private:
    // Without its record a rollback cannot tell what to undo: it ends before it changes anything.
    [[noreturn]] void cannotRead() {
        std::string why = store_.isOpen() ? store_.takeFailure() : job_.settings.storeError();
        job_.fatal("Can't read the record of the passes (%s), aborting", why.c_str());
    }

    struct Undone {
        PassFile file;
        Outcome outcome;
    };

    // Undoes the changes of one pass, the last one first. True when the pass had changed
    // something that is still to be seen.
    bool undo(std::vector<PassFile> files) {
        undone_.clear();
        // The digest cache forgets the files before any of them changes: else, should the
        // rollback be cut short or its last write fail, it would vouch for what the pass
        // installed, and the next pass would trust it and leave the files as they are.
        std::vector<StoreChange> forget;
        for (const PassFile& file : files)
            if (file.change != "cleaned")
                forget.push_back({file.path, std::nullopt});
        if (!forget.empty() && !store_.applyDigests(forget)) {
            std::string why = store_.takeFailure();
            job_.fatal("Can't save the settings (%s), aborting: nothing was rolled back",
                       why.c_str());
        }
        std::vector<std::pair<std::string, std::string>> digests; // what each file holds now
        bool changed = false;
        std::size_t done = 0;
        for (auto file = files.rbegin(); file != files.rend(); ++file) {
            Outcome outcome = recordedOutcome(file->outcome);
            // One that a kill kept from being made after it was written down is made now.
            if ((outcome == Outcome::removed && !absent(file->path)) ||
                (outcome == Outcome::recovered && !absent(file->place)))
                outcome = Outcome::nothing;
            Content now;
            if (outcome == Outcome::nothing)
                outcome = undoOne(*file, now);
            if (file->change != "cleaned")
                digests.emplace_back(file->path, outcome == Outcome::restored  ? file->oldDigest
                                                 : outcome == Outcome::removed ? std::string()
                                                                               : now.digest);
            changed = changed || outcome != Outcome::nothing;
            undone_.push_back({std::move(*file), outcome});
            job_.setProgress(static_cast<int>(++done * 100 / files.size()));
        }
        std::reverse(undone_.begin(), undone_.end());
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
        return changed;
    }

    Outcome undoOne(PassFile& file, Content& now) {
        Intend intend = [&](Outcome outcome) { keep(file, outcome); };
        if (file.change == "cleaned") {
            job_.status("Recovering %s", display(file.path).c_str());
            Outcome outcome = undoCleaned(file, intend);
            keep(file, outcome);
            return outcome;
        }
        job_.status("Rolling back %s", display(file.path).c_str());
        now = contentOf(file.path);
        Outcome outcome =
            file.change == "replaced" ? undoReplaced(file, now) : undoInstalled(file, now, intend);
        keep(file, outcome);
        return outcome;
    }

    // What was done is written down at once (a removal or a recovery just before it is made), so
    // that a rollback cut short is reported whole by the next one.
    void keep(PassFile& file, Outcome outcome) {
        if (const char* name = outcomeNames[static_cast<int>(outcome)]; file.outcome != name) {
            file.outcome = name;
            store_.updatePassFiles({file});
        }
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
        add(Outcome::leftAlone, "Left alone (changed since the pass): ");
        for (const Undone& undone : undone_) {
            if (undone.outcome != Outcome::failed)
                continue;
            const char* verb = undone.file.change == "cleaned"     ? "recover "
                               : undone.file.change == "installed" ? "remove "
                                                                   : "restore ";
            lines.push_back(std::string("Error: couldn't ") + verb + display(undone.file.path));
            ++job_.settings.installErrors;
        }
        if (!hold_)
            return lines;
        bool holding = false;
        for (const Undone& undone : undone_) {
            if (undone.outcome != Outcome::restored && undone.outcome != Outcome::removed &&
                undone.outcome != Outcome::recovered)
                continue;
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
                ++job_.settings.installErrors;
                break;
            }
        }
        return lines;
    }

    WorkerJob& job_;
    SettingsStore& store_;
    bool hold_;
    std::string directory_;
    std::vector<Undone> undone_;
};

} // namespace

void runRollback(WorkerJob& job, bool hold) {
    Settings& settings = job.settings;
    DirectoryLock gameDirectory = lockGameDirectory(job);
    job.status("Rolling back the last pass");
    std::vector<std::string> lines = Rollback(job, hold).run();
    tellStoreFailure(job);
    if (lines.empty())
        lines.push_back("Nothing to roll back.");
    job.status("Rollback Complete");
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

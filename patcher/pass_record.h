#pragma once

#include "patcher/patch_list.h"
#include "settings/settings_store.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// The absolute path of the current directory, the game directory, which names its passes in the
// record; empty when it cannot be read.
std::string currentGameDirectory();

// What one pass does to the files of its game directory, written to the settings database as the
// pass goes. Each change is committed before it is made, so that a kill at any moment leaves a
// record of every change that may have happened; a rollback compares the files with the record,
// and a file that still holds what it held before the pass is nothing to undo. Changes are
// committed together where the pass knows them ahead (the downloads of a phase, the files that a
// clean-up sets aside): a commit per file would cost the download a good part of its speed. A
// pass that changes nothing leaves no record.
class PassRecord {
public:
    explicit PassRecord(SettingsStore& store);
    PassRecord(const PassRecord&) = delete;
    PassRecord& operator=(const PassRecord&) = delete;

    void installed(const std::string& path, const std::string& digest);
    void replaced(const std::string& path, const std::string& oldDigest,
                  const std::string& newDigest);

    // The files that the download phase may install, in its order; the list must outlive the
    // phase.
    void expect(const DownloadList& downloads);
    // Before `path` gets the verified file of `digest`: `installed` or `replaced`, written with
    // the next few expected files after it, unless an earlier one wrote it already.
    // `previousDigest` is what the check read at `path`; when it found no file or could not read
    // it, the file there now, if any, is read. Nothing is recorded when `path` is no regular file,
    // which the install then refuses.
    void beforeInstall(const std::string& path, const std::string& previousDigest,
                       const std::string& digest);
    // Before the files of `paths` are set aside, each to `directory` + "/" + its path.
    void beforeCleaning(const std::deque<std::string>& paths, const std::string& directory);
    // The set-aside directory went to the trash, where it is now `trashed`: the places of the
    // files cleaned into it follow.
    void movedToTrash(const std::string& directory, const std::string& trashed);

private:
    static std::optional<PassFile> installChange(const std::string& path,
                                                 const std::string& previousDigest,
                                                 const std::string& digest);
    void record(std::vector<PassFile>& files);

    SettingsStore& store_;
    std::string directory_;
    std::int64_t pass_ = 0;
    const DownloadList* expected_ = nullptr;
    std::size_t next_ = 0;           // where the next install is looked for in expected_
    std::size_t writtenUpTo_ = 0;    // the expected installs before it are recorded
    std::vector<PassFile> setAside_; // with their ids
};

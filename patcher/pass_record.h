#pragma once

#include "settings/settings_store.h"

#include <cstdint>
#include <string>
#include <vector>

// The absolute path of the current directory, the game directory, which names its passes in the
// record; empty when it cannot be read.
std::string currentGameDirectory();

// What one pass does to the files of its game directory, written to the settings database as the
// pass goes. Each change is committed before it is made, so that a kill at any moment leaves a
// record of every change that may have happened; a rollback compares the files with the record,
// and a file that still holds what it held before the pass is nothing to undo. A pass that
// changes nothing leaves no record.
class PassRecord {
public:
    explicit PassRecord(SettingsStore& store);
    PassRecord(const PassRecord&) = delete;
    PassRecord& operator=(const PassRecord&) = delete;

    void installed(const std::string& path, const std::string& digest);
    void replaced(const std::string& path, const std::string& oldDigest,
                  const std::string& newDigest);
    // `place` is where the file is set aside, relative to the game directory.
    void cleaned(const std::string& path, const std::string& place);
    // The set-aside directory went to the trash, where it is now `trashed`: the places of the
    // files cleaned into it follow.
    void movedToTrash(const std::string& directory, const std::string& trashed);

    // Before `path` gets the verified file of `digest`: one of the two above. `previousDigest` is
    // what the check read at `path`; when it found no file or could not read it, the file there
    // now, if any, is read. Nothing is recorded when `path` is no regular file, which the install
    // then refuses.
    void beforeInstall(const std::string& path, const std::string& previousDigest,
                       const std::string& digest);

private:
    std::int64_t record(PassFile file);

    SettingsStore& store_;
    std::string directory_;
    std::int64_t pass_ = 0;
    std::vector<PassFile> setAside_; // the files cleaned so far, with their ids
};

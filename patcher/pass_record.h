#pragma once

#include "patcher/patch_list.h"
#include "settings/settings_store.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What one pass does to the files of its game directory, written to the settings database as the
// pass goes. Each change is committed before it is made, and marked as made once it is, so that
// a rollback knows what the pass did rather than guessing it from the files. Changes are
// committed together where the pass knows them ahead (the downloads of a phase, the files that a
// clean-up sets aside), and so are the marks: a commit per file would cost the download a good
// part of its speed. Only a kill can leave a change written down but not marked although it was
// made, and only for the last few files before it. A pass that changes nothing leaves no record.
class PassRecord {
public:
    explicit PassRecord(SettingsStore& store);
    PassRecord(const PassRecord&) = delete;
    PassRecord& operator=(const PassRecord&) = delete;
    // The marks not written yet are written.
    ~PassRecord() { flushMade(); }

    // A change made already, written down whole (for a change made outside the download phase).
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
    // `path`, written down before, is installed.
    void installMade(const std::string& path);

    // Before the files of `paths` are set aside into `directory` (each to `directory` + "/" + its
    // path), which is to go to the trash at `trashed`: each file's place is written down as where
    // it ends in the trash. Gives the files' ids (0 for one that could not be written down).
    std::vector<std::int64_t> beforeCleaning(const std::deque<std::string>& paths,
                                             const std::string& trashed);
    // A file written down by beforeCleaning is set aside; or was put back in its place.
    void cleaningMade(std::int64_t id);
    void cleaningUndone(const std::vector<std::int64_t>& ids);

    // Writes the marks gathered so far.
    void flushMade();

private:
    static std::optional<PassFile> installChange(const std::string& path,
                                                 const std::string& previousDigest,
                                                 const std::string& digest);
    void record(std::vector<PassFile>& files);
    void made(std::int64_t id);

    SettingsStore& store_;
    std::string directory_;
    std::int64_t pass_ = 0;
    const DownloadList* expected_ = nullptr;
    std::size_t next_ = 0;        // where the next install is looked for in expected_
    std::size_t writtenUpTo_ = 0; // the expected installs before it are recorded
    std::unordered_map<std::string, std::int64_t> installIds_; // written down, not yet made
    std::vector<std::int64_t> made_;                           // made, not yet marked
    bool anyMarked_ = false;
    std::chrono::steady_clock::time_point oldestMade_;
};

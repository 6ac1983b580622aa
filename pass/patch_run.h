#pragma once

#include "base/fs.h"
#include "uploader/upload_pass.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

class PassRecord;

// Where a pass sets aside the files it cleans, before the directory goes to the trash.
inline constexpr char cleanedDirectory[] = "Pelvar_Cleaned";
class WorkerJob;

// The whole work of one pass, in its fixed order: the distribution list, the user's choice when
// one is needed, the data upload, then the patch list, the check, the downloads and the clean-up
// of the files that the distribution does not list, with the report of what was done.
class PatchRun {
public:
    explicit PatchRun(WorkerJob& job) : job_(job) {}
    void run();

private:
    // The patch list; an upload waiting for the server is confirmed by its reply.
    std::vector<std::string> readPatchList(int distribution, std::optional<SentUpload>& upload);
    void confirm(std::optional<SentUpload>& upload);
    void rememberVerified(const std::vector<std::pair<std::string, std::string>>& files);
    void cleanUp(PassRecord& record);

    WorkerJob& job_;
};

// The pass body of the program.
void runPatchPass(WorkerJob& job);

// The start of every pass over the game directory (the current directory): the progress and the
// counters of the last pass reset, and the game directory's lock taken for as long as the result
// lives. When another pass holds it, this one ends through fatal.
DirectoryLock lockGameDirectory(WorkerJob& job);

// A store that cannot keep what a pass records (another program holds it locked, the file is
// damaged, the disk is full) is told on the status line and on standard error, as at start-up;
// the pass goes on, as nothing it does on disk depends on the store.
void tellStoreFailure(WorkerJob& job);

#pragma once

#include <string>
#include <utility>
#include <vector>

class WorkerJob;

// The whole work of one pass, in its fixed order: the distribution list, the user's choice when
// one is needed, the data upload, then the patch list, the check, the downloads and the clean-up
// of the files that the distribution does not list, with the report of what was done.
class PatchRun {
public:
    explicit PatchRun(WorkerJob& job) : job_(job) {}
    void run();

private:
    void rememberVerified(const std::vector<std::pair<std::string, std::string>>& files);
    void cleanUp();

    WorkerJob& job_;
};

// The pass body of the program.
void runPatchPass(WorkerJob& job);

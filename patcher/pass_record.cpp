#include "patcher/pass_record.h"

#include "patcher/patch_list.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

std::string currentGameDirectory() {
    // getcwd gives the path without symbolic links, so one directory has one name.
    char here[4096];
    return ::getcwd(here, sizeof here) ? std::string(here) : std::string();
}

PassRecord::PassRecord(SettingsStore& store) : store_(store), directory_(currentGameDirectory()) {}

std::int64_t PassRecord::record(PassFile file) {
    if (directory_.empty())
        return 0;
    // The pass is entered at its first change, so a pass that changes nothing leaves no trace.
    if (pass_ == 0)
        pass_ = store_.beginPass(directory_);
    return pass_ == 0 ? 0 : store_.recordPassFile(pass_, file);
}

void PassRecord::installed(const std::string& path, const std::string& digest) {
    record({0, path, "installed", "", digest, "", ""});
}

void PassRecord::replaced(const std::string& path, const std::string& oldDigest,
                          const std::string& newDigest) {
    record({0, path, "replaced", oldDigest, newDigest, "", ""});
}

void PassRecord::cleaned(const std::string& path, const std::string& place) {
    PassFile file{0, path, "cleaned", "", "", place, ""};
    file.id = record(file);
    if (file.id != 0)
        setAside_.push_back(std::move(file));
}

void PassRecord::movedToTrash(const std::string& directory, const std::string& trashed) {
    std::string prefix = directory + "/";
    std::vector<PassFile> moved;
    for (PassFile& file : setAside_)
        if (file.place.compare(0, prefix.size(), prefix) == 0) {
            file.place = trashed + file.place.substr(directory.size());
            moved.push_back(file);
        }
    if (!moved.empty())
        store_.updatePassFiles(moved);
}

void PassRecord::beforeInstall(const std::string& path, const std::string& previousDigest,
                               const std::string& digest) {
    if (!previousDigest.empty()) {
        replaced(path, previousDigest, digest);
        return;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            installed(path, digest);
        return;
    }
    if (!S_ISREG(info.st_mode))
        return;
    // A file the check could not read, or one that appeared since. One that cannot be read is
    // recorded all the same: a rollback then says that it cannot restore it.
    replaced(path, digestOf(path).digest, digest);
}

#include "uploader/harvest.h"

#include "app/job/diagnostic.h"
#include "app/job/worker_job.h"
#include "patcher/fs/fs.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// A line is read in pieces of at most 32767 bytes; each piece counts as a line.
constexpr std::size_t longestPiece = 32767;
constexpr char startLine[] = "Mirelgan_Data = {";

// A start line whose text ends with the closing brace ("Mirelgan_Data = {}") holds the whole
// table. Only a whole line can tell: a piece cut from a longer line never does.
bool closesItself(const std::string& piece) {
    if (piece.size() == longestPiece && piece.back() != '\n')
        return false;
    std::size_t last = piece.find_last_not_of(" \t\r\n");
    return last != std::string::npos && last >= sizeof startLine - 1 && piece[last] == '}';
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

SplitOutcome splitSavedVariables(const std::string& path, const std::string& copyPath,
                                 std::span<char> area) {
    SplitOutcome outcome;
    UniqueFile input = openForReading(path);
    if (!input)
        return outcome;
    UniqueFd fd = createFresh(copyPath);
    UniqueFile output(fd ? ::fdopen(fd.get(), "wb") : nullptr);
    if (!output) {
        outcome.result = SplitResult::notWritten;
        return outcome;
    }
    fd.release();

    bool inTable = false;
    bool tooBig = false;
    std::string piece;
    while (readPiece(input.get(), piece, longestPiece)) {
        bool start = !inTable && piece.compare(0, sizeof startLine - 1, startLine) == 0;
        if (!inTable && !start) {
            std::fwrite(piece.data(), 1, piece.size(), output.get());
            continue;
        }
        inTable = start ? !closesItself(piece) : piece[0] != '}';
        if (piece.size() > area.size() - outcome.length) {
            tooBig = true;
            break;
        }
        std::memcpy(area.data() + outcome.length, piece.data(), piece.size());
        outcome.length += piece.size();
    }
    bool written = !std::ferror(output.get()) && std::fclose(output.release()) == 0;
    bool read = !std::ferror(input.get());
    if (tooBig || !written || !read) {
        ::unlink(copyPath.c_str());
        outcome.result = tooBig  ? SplitResult::tooBig
                         : !read ? SplitResult::unreadable
                                 : SplitResult::notWritten;
        return outcome;
    }
    outcome.result = SplitResult::ok;
    return outcome;
}

Harvest::Harvest(std::string path, const struct stat& read, std::size_t length)
    : path_(std::move(path)), read_(read), length_(length) {}

Harvest::Harvest(Harvest&& other) noexcept
    : path_(std::exchange(other.path_, {})), read_(other.read_),
      length_(std::exchange(other.length_, 0)) {}

Harvest& Harvest::operator=(Harvest&& other) noexcept {
    if (this != &other) {
        drop();
        path_ = std::exchange(other.path_, {});
        read_ = other.read_;
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Harvest::~Harvest() {
    drop();
}

void Harvest::drop() {
    if (!path_.empty())
        ::unlink((path_ + ".new").c_str());
    path_.clear();
}

void Harvest::commit(WorkerJob& job) {
    if (path_.empty())
        return;
    std::string path = std::exchange(path_, {});
    std::string newPath = path + ".new";
    std::string oldPath = path + ".old";
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0 || !sameFile(now, read_)) {
        // The game wrote the file after it was read: the copy would lose that.
        ::unlink(newPath.c_str());
        return;
    }
    switch (installFile(newPath, path, oldPath)) {
    case InstallResult::installed:
    case InstallResult::replaced:
        return;
    case InstallResult::noBackup:
    case InstallResult::noRoomForBackup:
        ::unlink(newPath.c_str());
        if (fileExists(oldPath))
            job.fatal("Can't remove %s", oldPath.c_str());
        job.fatal("couldn't rename SavedVariables to old?");
    case InstallResult::directoryInTheWay:
    case InstallResult::notMoved:
        ::unlink(newPath.c_str());
        job.fatal("couldn't rename SavedVariables.lua.new to SavedVariables.lua?");
    }
}

Harvest harvestSavedVariables(WorkerJob& job, std::span<char> area, std::size_t smallest) {
    std::optional<std::vector<std::string>> accounts = listDirectory("WTF/Account");
    if (!accounts)
        return {};
    for (const std::string& account : *accounts) {
        if (account.find(".nopatch") != std::string::npos) {
            diagnostic("skipping %s (.nopatch)\n", account.c_str());
            continue;
        }
        std::string directory = "WTF/Account/" + account;
        if (!isDirectory(directory))
            continue;
        std::string path = directory + "/SavedVariables.lua";
        struct stat read {};
        if (::stat(path.c_str(), &read) != 0 || !S_ISREG(read.st_mode))
            continue;
        std::string newPath = path + ".new";
        SplitOutcome split = splitSavedVariables(path, newPath, area);
        switch (split.result) {
        case SplitResult::ok:
            if (split.length > smallest)
                return Harvest(path, read, split.length);
            // Too little to upload: the file keeps its table, and the next account is looked at.
            ::unlink(newPath.c_str());
            break;
        case SplitResult::tooBig:
            job.status("Zeppelin overloaded: the Mirelgan data in %s is too big to upload",
                       replaceChar(path, '/', '\\').c_str());
            break;
        case SplitResult::unreadable:
            break;
        case SplitResult::notWritten:
            job.fatal("Couldn't create %s", replaceChar(newPath, '/', '\\').c_str());
        }
    }
    return {};
}

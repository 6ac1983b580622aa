#include "uploader/harvest.h"

#include "base/diagnostic.h"
#include "base/fs.h"
#include "base/md5.h"
#include "job_channel/worker_job.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
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

FileState metadataOf(const struct stat& info) {
    FileState state;
    state.device = info.st_dev;
    state.inode = info.st_ino;
    state.size = info.st_size;
    state.modified = info.st_mtim;
    return state;
}

bool sameMetadata(const FileState& a, const FileState& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

// The regular file at `path` as it is now, its bytes digested; nothing when it cannot be read.
std::optional<FileState> stateOf(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    MD5 md5;
    unsigned char block[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        md5.update(block, static_cast<std::uint32_t>(got));
    }
    md5.finalize();
    FileState state = metadataOf(info);
    state.digest = md5.hex_digest();
    return state;
}

bool exchangeFiles(const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
}

// After an exchange found that the game wrote the file since it was read, puts the game's file
// (now at `newPath`) back in place. What comes out must be `copy`, untouched; if the game wrote
// the live file meanwhile, that write is newer still and goes back in turn.
void putBackGameWrite(WorkerJob& job, const std::string& path, const std::string& newPath,
                      FileState copy) {
    FileState expected = std::move(copy);
    for (int round = 0; round < 8; ++round) {
        std::optional<FileState> going = stateOf(newPath);
        if (!exchangeFiles(newPath, path)) {
            // The copy is worth nothing beside the game's file.
            if (::rename(newPath.c_str(), path.c_str()) != 0)
                job.fatal("couldn't rename SavedVariables.lua.new to SavedVariables.lua?");
            return;
        }
        std::optional<FileState> out = stateOf(newPath);
        if (out && *out == expected) {
            ::unlink(newPath.c_str());
            return;
        }
        expected = going.value_or(FileState{});
    }
    // A file written again and again is left as it is: the game's last write in place, the one
    // before it as ".new".
}

} // namespace

bool FileState::operator==(const FileState& other) const {
    return sameMetadata(*this, other) && digest == other.digest;
}

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
    MD5 readDigest, copiedDigest;
    auto digest = [](MD5& md5, const std::string& bytes) {
        md5.update(reinterpret_cast<const unsigned char*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()));
    };
    while (readPiece(input.get(), piece, longestPiece)) {
        digest(readDigest, piece);
        bool start = !inTable && piece.compare(0, sizeof startLine - 1, startLine) == 0;
        if (!inTable && !start) {
            std::fwrite(piece.data(), 1, piece.size(), output.get());
            digest(copiedDigest, piece);
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
    readDigest.finalize();
    copiedDigest.finalize();
    outcome.readDigest = readDigest.hex_digest();
    outcome.copiedDigest = copiedDigest.hex_digest();
    outcome.result = SplitResult::ok;
    return outcome;
}

Harvest::Harvest(std::string path, const FileState& read, std::string copiedDigest,
                 std::size_t length)
    : path_(std::move(path)), read_(read), copiedDigest_(std::move(copiedDigest)), length_(length) {
}

Harvest::Harvest(Harvest&& other) noexcept
    : path_(std::exchange(other.path_, {})), read_(std::move(other.read_)),
      copiedDigest_(std::move(other.copiedDigest_)), length_(std::exchange(other.length_, 0)) {}

Harvest& Harvest::operator=(Harvest&& other) noexcept {
    if (this != &other) {
        drop();
        path_ = std::exchange(other.path_, {});
        read_ = std::move(other.read_);
        copiedDigest_ = std::move(other.copiedDigest_);
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
    struct stat made {};
    if (::stat(path.c_str(), &now) != 0 || !sameMetadata(metadataOf(now), read_) ||
        ::stat(newPath.c_str(), &made) != 0) {
        // The game wrote the file after it was read: the copy would lose that.
        ::unlink(newPath.c_str());
        return;
    }
    // The copy keeps the file's permissions.
    ::chmod(newPath.c_str(), now.st_mode & 0777);
    FileState copy = metadataOf(made);
    copy.digest = copiedDigest_;
    // The previous file is kept first, so that it is never only the backup.
    if (keepBackup(path, oldPath) != InstallResult::replaced) {
        ::unlink(newPath.c_str());
        if (fileExists(oldPath))
            job.fatal("Can't remove %s", oldPath.c_str());
        job.fatal("couldn't rename SavedVariables to old?");
    }
    // The copy and the file change places in one step; what came out must be what was read.
    // Otherwise the game wrote it meanwhile, and its file goes back.
    if (exchangeFiles(newPath, path)) {
        std::optional<FileState> out = stateOf(newPath);
        if (out && *out == read_)
            ::unlink(newPath.c_str());
        else
            putBackGameWrite(job, path, newPath, std::move(copy));
        return;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system that cannot exchange two files: check, then replace.
        std::optional<FileState> live = stateOf(path);
        if (!live || *live != read_) {
            ::unlink(newPath.c_str());
            return;
        }
        if (::rename(newPath.c_str(), path.c_str()) == 0)
            return;
    }
    ::unlink(newPath.c_str());
    job.fatal("couldn't rename SavedVariables.lua.new to SavedVariables.lua?");
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
        if (::lstat(path.c_str(), &read) == 0 && S_ISLNK(read.st_mode)) {
            // Its table could only come out by replacing the link with a file of its own, which
            // would part it from whatever it links to: it is left as it is, and said so.
            job.status("%s is a symbolic link: its Mirelgan data stays in it and is not uploaded",
                       replaceChar(path, '/', '\\').c_str());
            continue;
        }
        if (::stat(path.c_str(), &read) != 0 || !S_ISREG(read.st_mode))
            continue;
        std::string newPath = path + ".new";
        SplitOutcome split = splitSavedVariables(path, newPath, area);
        switch (split.result) {
        case SplitResult::ok:
            if (split.length > smallest) {
                FileState state = metadataOf(read);
                state.digest = split.readDigest;
                return Harvest(path, state, split.copiedDigest, split.length);
            }
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

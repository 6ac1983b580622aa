#include "base/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char foldedUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool windowsOrder(const std::string& a, const std::string& b) {
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        auto x = static_cast<unsigned char>(foldedUpper(a[i]));
        auto y = static_cast<unsigned char>(foldedUpper(b[i]));
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b; // names that differ only in case, which Linux allows: a fixed order all the same
}

} // namespace

void makeDirs(const std::string& path) {
    std::string copy = replaceChar(path, '\\', '/');
    for (std::size_t i = 0; i < copy.size(); ++i)
        if (copy[i] == '/' && i > 0)
            ::mkdir(copy.substr(0, i).c_str(), 0777);
}

std::string replaceChar(const std::string& text, char from, char to) {
    std::string copy = text;
    std::replace(copy.begin(), copy.end(), from, to);
    return copy;
}

std::string replaceChar(const char* text, char from, char to) {
    return replaceChar(std::string(text), from, to);
}

std::optional<std::vector<std::string>> listDirectory(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (!dir)
        return std::nullopt;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), windowsOrder);
    // The Windows directory search gives "." and ".." before every other entry.
    names.insert(names.begin(), "..");
    return names;
}

std::string currentGameDirectory() {
    // getcwd gives the path without symbolic links, so one directory has one name.
    char here[4096];
    return ::getcwd(here, sizeof here) ? std::string(here) : std::string();
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

bool isSymbolicLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool renameFile(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing target, as the
    // rename must; directories, and file systems without links, check first.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST)
        return false;
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0 || errno != ENOENT)
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void removeEmptyDirectories(const std::string& directory) {
    if (std::optional<std::vector<std::string>> names = listDirectory(directory))
        for (const std::string& name : *names)
            if (name != ".." && isDirectory(directory + "/" + name) &&
                !isSymbolicLink(directory + "/" + name))
                removeEmptyDirectories(directory + "/" + name);
    ::rmdir(directory.c_str());
}

bool removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

UniqueFile openForReading(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return {};
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return {};
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return {};
    }
    // O_NONBLOCK has no effect on a regular file: it may stay.
    UniqueFile file(::fdopen(fd.get(), "rb"));
    if (file)
        fd.release();
    return file;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void UniqueFd::reset() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool UniqueFd::close() {
    int fd = release();
    return fd >= 0 && ::close(fd) == 0;
}

UniqueFd createFresh(const std::string& path) {
    ::unlink(path.c_str());
    return UniqueFd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool flushToDisk(const std::string& directory) {
    UniqueFd opened(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return opened && ::syncfs(opened.get()) == 0;
}

bool writeAll(int fd, const void* bytes, std::size_t length) {
    const char* at = static_cast<const char*>(bytes);
    while (length > 0) {
        ssize_t written = ::write(fd, at, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        at += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

namespace {

// A copy of `from` at `to`, for a file system without hard links (a FAT partition shared with
// Windows): slower, but the file stays in place while its backup is made.
bool copyFile(const std::string& from, const std::string& to) {
    UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    UniqueFd target = source ? createFresh(to) : UniqueFd();
    if (!target)
        return false;
    char block[65536];
    for (;;) {
        ssize_t got = ::read(source.get(), block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (got > 0 && !writeAll(target.get(), block, static_cast<std::size_t>(got)))) {
            int error = errno; // the caller tells a full disk by it
            target.reset();
            ::unlink(to.c_str());
            errno = error;
            return false;
        }
        if (got == 0)
            break;
    }
    if (!target.close()) {
        int error = errno;
        ::unlink(to.c_str());
        errno = error;
        return false;
    }
    return true;
}

} // namespace

InstallResult keepBackup(const std::string& path, const std::string& backup) {
    std::string temporary = backup + ".new";
    ::unlink(temporary.c_str());
    if (::link(path.c_str(), temporary.c_str()) != 0) {
        if (errno == ENOSPC || errno == EDQUOT)
            return InstallResult::noRoomForBackup;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK && errno != EXDEV)
            return InstallResult::noBackup;
        if (!copyFile(path, temporary))
            return errno == ENOSPC || errno == EDQUOT ? InstallResult::noRoomForBackup
                                                      : InstallResult::noBackup;
    }
    if (::rename(temporary.c_str(), backup.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return InstallResult::noBackup;
    }
    // When the backup already was a link to the file (a pass killed between its two renames),
    // the rename did nothing and left the temporary name behind.
    ::unlink(temporary.c_str());
    return InstallResult::replaced;
}

bool linkFresh(const std::string& from, const std::string& to) {
    ::unlink(to.c_str());
    if (::link(from.c_str(), to.c_str()) == 0)
        return true;
    return (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK || errno == EXDEV) &&
           copyFile(from, to);
}

InstallResult installFile(const std::string& temporary, const std::string& path,
                          const std::string& backup) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return InstallResult::notMoved;
        // Nothing to keep: a backup left by an earlier pass stays as it is.
        return renameFile(temporary, path) ? InstallResult::installed : InstallResult::notMoved;
    }
    if (S_ISDIR(info.st_mode))
        return InstallResult::directoryInTheWay;
    if (S_ISREG(info.st_mode))
        ::chmod(temporary.c_str(), info.st_mode & 0777);
    if (InstallResult kept = keepBackup(path, backup); kept != InstallResult::replaced)
        return kept;
    return ::rename(temporary.c_str(), path.c_str()) == 0 ? InstallResult::replaced
                                                          : InstallResult::notMoved;
}

bool DirectoryLock::tryLock(const std::string& directory) {
    fd_ = UniqueFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd_ && ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0;
}

bool readPiece(std::FILE* file, std::string& piece, std::size_t longest) {
    piece.clear();
    int c;
    while (piece.size() < longest && (c = getc_unlocked(file)) != EOF) {
        piece.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    return !piece.empty();
}

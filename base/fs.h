#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// File-system operations on paths relative to the current directory (the game directory). None
// of them reports anything: each gives success or failure, and the caller decides.

// Creates every directory along `path`, which may use '/' or '\' as separator; the text after
// the last separator (a file name) is not created. Failures are ignored.
void makeDirs(const std::string& path);

// A copy of `text` with every `from` replaced by `to`.
std::string replaceChar(const std::string& text, char from, char to);
std::string replaceChar(const char* text, char from, char to);

// The entry names of a directory: ".." first, then every other entry but ".", in the order the
// game's Windows file system lists them (byte by byte, ASCII letters folded to upper case).
// Nothing when the directory cannot be searched.
std::optional<std::vector<std::string>> listDirectory(const std::string& directory);

// The absolute path of the current directory, the game directory, without symbolic links: the
// name under which the settings keep what belongs to that directory. Empty when it cannot be read.
std::string currentGameDirectory();

// True when a file or directory of that name exists.
bool fileExists(const std::string& path);
// True when the name exists and is not a regular file.
bool isDirectory(const std::string& path);
// True when the name itself is a symbolic link (whatever it points to).
bool isSymbolicLink(const std::string& path);

// Moves a file or directory; fails when `to` exists or `from` does not. Never replaces an entry.
bool renameFile(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);
// Removes `directory` and the directories in it, as far as they hold nothing else.
void removeEmptyDirectories(const std::string& directory);

// An open C file that closes itself.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Reads the next piece of a text: up to and including a line feed, or `longest` bytes, whichever
// comes first; bytes are taken as they are, NUL bytes included. False at the end of the file.
bool readPiece(std::FILE* file, std::string& piece, std::size_t longest);

// Opens an existing regular file for binary reading. Anything else gives nothing: a directory
// (errno EISDIR), as on Windows, where a directory cannot be opened as a file, and a FIFO, a
// socket or a device (errno EINVAL), which could block a pass or never end.
UniqueFile openForReading(const std::string& path);

// A file descriptor that closes itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset();
    // Closes the descriptor and tells whether the close succeeded (a write may fail only there).
    bool close();

private:
    int fd_ = -1;
};

// Creates `path` anew for writing. Whatever has that name is removed first, and the file is
// opened only if it does not exist and without following a symbolic link, so a link planted at
// that name cannot send the write elsewhere. Nothing when it cannot be made.
UniqueFd createFresh(const std::string& path);

// Writes what the file system holding `directory` keeps in memory to its disk; false when it
// cannot.
bool flushToDisk(const std::string& directory);

// Writes all of `length` bytes; false on any error, a full disk among them.
bool writeAll(int fd, const void* bytes, std::size_t length);

// Gives the file at `from` a second name, `to` (whatever had that name is removed first): a hard
// link, or a copy on a file system without them. False when it cannot be made whole.
bool linkFresh(const std::string& from, const std::string& to);

enum class InstallResult {
    installed,         // `path` did not exist and now holds the new file
    replaced,          // the previous file is kept as the backup, `path` holds the new file
    directoryInTheWay, // `path` is a directory: nothing was touched
    noBackup,          // the previous file could not be kept: nothing was installed
    noRoomForBackup,   // the same, for want of room (space or inodes) on the disk
    notMoved,          // the new file could not be moved into place
};

// Makes `backup` a copy of `path` in one step: a hard link (or, where there is none, a copy) under
// a temporary name renamed over the older backup, so that at every instant the backup is the
// older or the newer one. `replaced` when it is made, else `noBackup` or `noRoomForBackup`.
InstallResult keepBackup(const std::string& path, const std::string& backup);

// Puts `temporary` in the place of `path`, keeping a previous file as `backup` (an older backup
// is replaced in one step). The backup is a hard link made before the rename, so at every instant
// `path` holds its old or its new content and a backup, once made, survives. A backup is never
// deleted while `path` is missing. The new file takes the previous one's permissions, so a file
// the user made read-only stays read-only.
InstallResult installFile(const std::string& temporary, const std::string& path,
                          const std::string& backup);

// An exclusive lock on a directory for as long as the object lives: flock on a descriptor of the
// directory itself, so no lock file is needed and a killed holder leaves nothing behind.
class DirectoryLock {
public:
    // False when another holder has it (or the directory cannot be opened).
    bool tryLock(const std::string& directory);

private:
    UniqueFd fd_;
};

#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <sys/stat.h>

class WorkerJob;

enum class SplitResult {
    ok,
    tooBig,     // the table does not fit the area
    unreadable, // the file cannot be opened or read
    notWritten, // the copy cannot be created or written whole
};
struct SplitOutcome {
    SplitResult result = SplitResult::unreadable;
    std::size_t length = 0;   // bytes of table text in the area
    std::string readDigest;   // MD5 of the bytes read, in hex
    std::string copiedDigest; // MD5 of the bytes copied, in hex
};

// Copies the SavedVariables.lua at `path` to `copyPath` without its Mirelgan_Data tables, whose
// lines go to `area`. A table runs from a line that begins with "Mirelgan_Data = {" through the
// next line that begins with "}"; a start line that closes the table itself is the whole table.
// Only with `ok` is the copy complete and closed; otherwise it is removed.
SplitOutcome splitSavedVariables(const std::string& path, const std::string& copyPath,
                                 std::span<char> area);

// What a file was: where, how long, when last written, and its bytes' MD5 digest.
struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    std::string digest;

    bool operator==(const FileState& other) const;
};

// One account's harvested table, and the copy of its SavedVariables.lua without it, waiting as
// "SavedVariables.lua.new" until the upload that carries the table has gone out whole. Only
// commit replaces the file (keeping the previous one as ".old"); dropped without a commit, the
// harvest leaves the file byte for byte as it was, so a later pass offers the same table again.
class Harvest {
public:
    Harvest() = default;
    // `read`: the file as it was read, `copied`: the bytes of the copy.
    Harvest(std::string path, const FileState& read, std::string copiedDigest, std::size_t length);
    Harvest(Harvest&& other) noexcept;
    Harvest& operator=(Harvest&& other) noexcept;
    ~Harvest();

    std::size_t length() const { return length_; }
    // Puts the copy in place; the pass ends through fatal when it cannot. The game may write the
    // file at any time: its write is never undone. A file that changed since it was read is left
    // as the game wrote it; its table may then be offered twice, but nothing is lost.
    void commit(WorkerJob& job);

private:
    void drop();

    std::string path_;
    FileState read_;
    std::string copiedDigest_;
    std::size_t length_ = 0;
};

// Looks through the accounts of WTF/Account in listing order for the first SavedVariables.lua
// whose table holds more than `smallest` bytes, and prepares its harvest: the table in `area`,
// the file not yet touched. A table too big for `area` is passed over with a status line.
Harvest harvestSavedVariables(WorkerJob& job, std::span<char> area, std::size_t smallest = 0);

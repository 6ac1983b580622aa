#include "patcher/download.h"

#include "base/fs.h"
#include "base/md5.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "patcher/pass_record.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::size_t nameAreaSize = 4096;
// Inflated bytes travel from the worker to the writer in blocks of this size, at most
// `blocksInFlight` of them at once: the phase's memory does not grow with the files.
constexpr std::size_t blockSize = 256 * 1024;
constexpr std::size_t blocksInFlight = 24;
// Received bytes are gathered up to this many before they are inflated.
constexpr std::size_t inflateInputSize = 64 * 1024;
// Temporary files made ahead of the worker, each an open descriptor.
constexpr std::size_t temporariesAhead = 16;

struct AddonDataPattern {
    const char* text;
    bool prefix;
};
constexpr AddonDataPattern addonDataPatterns[] = {
    {"Interface/FrameXML/MData", true},        {"Interface/FrameXML/Mirelgan.xml", false},
    {"Interface/Pelvar/MData", true},          {"Interface/Pelvar/Mirelgan.xml", false},
    {"Interface/AddOns/Mirelgan/MData", true}, {"Interface/AddOns/Mirelgan/Mirelgan.xml", false},
};

void updateProgress(const WorkerJob& job) {
    if (job.bytesTotal != 0)
        job.setProgress(static_cast<int>(job.bytesDone * 100 / job.bytesTotal));
}

// Which file a descriptor or a name is: a temporary file is ours only while its name still
// leads to the file we opened.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identityOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<FileIdentity> identityAt(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

// A file's temporary name, created afresh, with the directories along its path when they are
// missing.
UniqueFd createTemporary(const std::string& path, const std::string& temporary) {
    UniqueFd output = createFresh(temporary);
    if (!output) {
        makeDirs(path);
        output = createFresh(temporary);
    }
    return output;
}

} // namespace

// Blocks of inflated bytes on their way from the worker to the writer. A block goes back to the
// pool when its handle is dropped, wherever that happens (handed over empty, written, left in a
// queue at the end of a pass), so the pool can never run dry by a block lost on the way.
class Downloader::BlockPool {
public:
    struct Return {
        BlockPool* pool;
        void operator()(unsigned char* bytes) const { pool->giveBack(bytes); }
    };
    using Block = std::unique_ptr<unsigned char[], Return>;

    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // A block to fill; waits while every block is on its way.
    Block take() {
        std::unique_lock guard(lock_);
        returned_.wait(guard, [this] { return !spare_.empty() || made_ < blocksInFlight; });
        if (spare_.empty()) {
            ++made_;
            return Block(new unsigned char[blockSize], Return{this});
        }
        unsigned char* bytes = spare_.back().release();
        spare_.pop_back();
        return Block(bytes, Return{this});
    }

private:
    void giveBack(unsigned char* bytes) {
        {
            std::lock_guard guard(lock_);
            spare_.emplace_back(bytes);
        }
        returned_.notify_one();
    }

    std::mutex lock_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<unsigned char[]>> spare_; // guarded by lock_
    std::size_t made_ = 0; // guarded by lock_; those not in spare_ are on their way
};

using Block = Downloader::BlockPool::Block;

// A file on its way to its place: its names, what it must be, and its open temporary file.
struct PendingFile {
    std::string path; // with '/'
    std::string display;
    std::string temporary;
    std::string backup;
    std::string digest;
    std::string previousDigest;
    std::uint64_t size = 0;
    bool reported = true;
    UniqueFd output;
    FileIdentity identity; // of the temporary file
};

// The writer thread: digests and writes the inflated blocks of each file, then verifies the file
// and installs it, and appends the report lines, all in the order the worker handed them over.
class Downloader::Writer {
    struct Planned {
        std::string path;
        std::string temporary;
        enum { waiting, creating, made, taken } state = waiting;
        UniqueFd output{};
    };

public:
    Writer(Settings& settings, PassRecord* record)
        : settings_(settings), record_(record), thread_([this] { run(); }) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
        // Temporary files made ahead for files the pass never reached.
        for (Planned& planned : planned_)
            if (planned.output)
                removeIfStill(planned.output, planned.temporary);
    }

    // The files the phase will download, in order: the writer creates their temporary files a
    // few files ahead of the worker when it has nothing else to do, which takes the file
    // system's work of making a file off the worker's way.
    void plan(std::vector<std::pair<std::string, std::string>> files) {
        std::lock_guard guard(lock_);
        for (auto& [path, temporary] : files)
            planned_.push_back({std::move(path), std::move(temporary)});
        changed_.notify_all();
    }

    // The temporary file of the `index`-th planned file, made ahead or now; nothing when that
    // file is not the one named, so that a call out of the plan's order never writes into
    // another file's temporary. A file made ahead is taken only while its name still leads to
    // it; otherwise it is made again.
    std::optional<UniqueFd> takeTemporary(std::size_t index, const std::string& temporary) {
        std::unique_lock guard(lock_);
        if (index >= planned_.size() || planned_[index].temporary != temporary)
            return std::nullopt;
        Planned& planned = planned_[index];
        taken_ = std::max(taken_, index + 1);
        changed_.notify_all();
        UniqueFd output;
        if (planned.state == Planned::waiting) {
            planned.state = Planned::taken;
        } else {
            changed_.wait(guard, [&] { return planned.state == Planned::made; });
            planned.state = Planned::taken;
            output = std::move(planned.output);
        }
        guard.unlock();
        if (output && identityAt(planned.temporary) != identityOf(output.get()))
            output.reset();
        if (!output)
            output = createTemporary(planned.path, planned.temporary);
        return output;
    }

    void begin(std::unique_ptr<PendingFile> file) {
        Item item{Item::Kind::begin};
        item.file = std::move(file);
        push(std::move(item));
    }
    void data(Block block, std::size_t length) {
        Item item{Item::Kind::data};
        item.block = std::move(block);
        item.length = length;
        push(std::move(item));
    }
    // The file's stream has ended: verify and install it.
    void end() { push({Item::Kind::end}); }
    // The file's data failed: its temporary file goes.
    void drop() { push({Item::Kind::drop}); }
    void report(std::string line, bool failure) {
        Item item{failure ? Item::Kind::failure : Item::Kind::report};
        item.line = std::move(line);
        push(std::move(item));
    }

    // Waits until everything handed over is done.
    void drain() {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return queue_.empty() && !busy_; });
    }
    // A write failed: the pass must end; later files are dropped unseen.
    bool writeFailed() const { return writeFailed_; }
    // Read only after drain.
    const std::vector<std::pair<std::string, std::string>>& verified() const { return verified_; }

private:
    struct Item {
        enum class Kind { begin, data, end, drop, report, failure } kind;
        std::unique_ptr<PendingFile> file{};
        Block block{nullptr, {nullptr}};
        std::size_t length = 0;
        std::string line{};
    };

    // Removes a temporary file that is still the one we opened, never one put there since.
    static void removeIfStill(const UniqueFd& output, const std::string& temporary) {
        if (std::optional<FileIdentity> ours = identityOf(output.get());
            ours && identityAt(temporary) == ours)
            ::unlink(temporary.c_str());
    }

    void push(Item item) {
        {
            std::lock_guard guard(lock_);
            queue_.push_back(std::move(item));
        }
        changed_.notify_all();
    }

    // The next planned file whose temporary file may be made ahead, or none.
    Planned* nextToMake() {
        while (made_ < planned_.size() && made_ < taken_ + temporariesAhead) {
            Planned& planned = planned_[made_++];
            if (planned.state == Planned::waiting) {
                planned.state = Planned::creating;
                return &planned;
            }
        }
        return nullptr;
    }

    void run() {
        for (;;) {
            Item item;
            {
                std::unique_lock guard(lock_);
                busy_ = false;
                changed_.notify_all();
                Planned* ahead = nullptr;
                changed_.wait(guard, [&] {
                    return !queue_.empty() || stopping_ || (ahead = nextToMake()) != nullptr;
                });
                if (ahead) {
                    guard.unlock();
                    UniqueFd output = createTemporary(ahead->path, ahead->temporary);
                    guard.lock();
                    ahead->output = std::move(output);
                    ahead->state = Planned::made;
                    changed_.notify_all();
                    continue;
                }
                if (queue_.empty())
                    break;
                item = std::move(queue_.front());
                queue_.pop_front();
                busy_ = true;
            }
            handle(item);
        }
        // A file the worker never ended (its pass was cut short) is not left half-written.
        if (current_)
            abandon(takeCurrent());
    }

    void handle(Item& item) {
        switch (item.kind) {
        case Item::Kind::begin:
            if (current_)
                abandon(takeCurrent());
            current_ = std::move(item.file);
            md5_ = MD5();
            written_ = 0;
            failedHere_ = false;
            break;
        case Item::Kind::data:
            if (!current_ || failedHere_ || writeFailed_)
                break;
            md5_.update(item.block.get(), static_cast<std::uint32_t>(item.length));
            written_ += item.length;
            if (!writeAll(current_->output.get(), item.block.get(), item.length)) {
                failedHere_ = true;
                writeFailed_ = true;
            }
            break;
        case Item::Kind::end:
            if (current_)
                install(takeCurrent());
            break;
        case Item::Kind::drop:
            if (current_)
                abandon(takeCurrent());
            break;
        case Item::Kind::report:
            settings_.reportLines.push_back(std::move(item.line));
            break;
        case Item::Kind::failure:
            failure(std::move(item.line));
            break;
        }
    }

    // The current file leaves the writer's hands whole: whatever happens to it next happens to
    // the caller's own object, which lives until the caller is done with it.
    std::unique_ptr<PendingFile> takeCurrent() { return std::exchange(current_, nullptr); }

    void failure(std::string line) {
        settings_.reportLines.push_back(std::move(line));
        ++settings_.installErrors;
    }

    // Removes the temporary file; a write that failed in it is reported.
    void abandon(std::unique_ptr<PendingFile> file) {
        if (file->output) {
            removeIfStill(file->output, file->temporary);
            file->output.reset();
        } else if (identityAt(file->temporary) == file->identity) {
            ::unlink(file->temporary.c_str());
        }
        if (failedHere_)
            failure("Error: couldn't write " + file->display);
    }

    void install(std::unique_ptr<PendingFile> file) {
        if (writeFailed_ && !failedHere_) {
            // An earlier file could not be written: the pass ends, and this one is not kept.
            abandon(std::move(file));
            return;
        }
        if (failedHere_ || !file->output.close()) {
            failedHere_ = true;
            writeFailed_ = true;
            abandon(std::move(file));
            return;
        }
        md5_.finalize();
        // What was written, and only if its name still leads to what was written, may go in.
        if (written_ != file->size || md5_.hex_digest() != file->digest ||
            identityAt(file->temporary) != file->identity) {
            std::string line = "Error: couldn't verify " + file->display;
            abandon(std::move(file));
            failure(std::move(line));
            return;
        }
        if (record_)
            record_->beforeInstall(file->path, file->previousDigest, file->digest);
        InstallResult result = installFile(file->temporary, file->path, file->backup);
        switch (result) {
        case InstallResult::installed:
        case InstallResult::replaced:
            if (record_)
                record_->installMade(file->path);
            if (file->reported)
                settings_.reportLines.push_back(
                    (result == InstallResult::installed ? "New: " : "Changed: ") + file->display);
            verified_.emplace_back(file->path, file->digest);
            return;
        case InstallResult::directoryInTheWay:
            failure("Error: couldn't replace directory " + file->display);
            break;
        case InstallResult::noRoomForBackup:
            failure("Error: no room on the disk to keep the old version of " + file->display);
            break;
        case InstallResult::noBackup:
        case InstallResult::notMoved:
            failure("Error: couldn't rename " + file->display);
            break;
        }
        // The file in place is untouched; the new content, which the next pass fetches again,
        // does not stay on a disk that may be full.
        if (identityAt(file->temporary) == file->identity)
            ::unlink(file->temporary.c_str());
    }

    Settings& settings_;
    PassRecord* record_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Planned> planned_; // guarded by lock_; a deque, so that entries never move
    std::size_t made_ = 0;        // guarded by lock_: planned files looked at for making ahead
    std::size_t taken_ = 0;       // guarded by lock_: planned files the worker has come to
    std::deque<Item> queue_;      // guarded by lock_
    bool busy_ = false;           // guarded by lock_
    bool stopping_ = false;       // guarded by lock_
    std::atomic<bool> writeFailed_{false};
    // The writer thread's own.
    std::unique_ptr<PendingFile> current_;
    MD5 md5_;
    std::uint64_t written_ = 0;
    bool failedHere_ = false;
    std::vector<std::pair<std::string, std::string>> verified_;
    std::thread thread_;
};

namespace {

// Inflates one zlib stream as its bytes arrive, straight into the pool's blocks, which go to the
// writer. Its results are those of zlib's uncompress for the same bytes: Z_DATA_ERROR for a
// corrupt or unfinished stream, Z_BUF_ERROR for one that inflates to more than the room given;
// bytes after the end of the stream are ignored.
class Inflater {
public:
    Inflater(Downloader::BlockPool& pool, Downloader::Writer& writer, std::uint64_t room)
        : pool_(pool), writer_(writer), room_(room) {
        ready_ = inflateInit(&stream_) == Z_OK;
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        if (ready_)
            inflateEnd(&stream_);
    }

    // Z_OK while the stream goes on, Z_STREAM_END once it has ended, or an error.
    int feed(std::span<const unsigned char> bytes) {
        if (!ready_)
            return Z_MEM_ERROR;
        stream_.next_in = const_cast<unsigned char*>(bytes.data());
        stream_.avail_in = static_cast<uInt>(bytes.size());
        while (stream_.avail_in > 0) {
            if (!block_) {
                block_ = pool_.take();
                stream_.next_out = block_.get();
                stream_.avail_out = blockSize;
            }
            int result = inflate(&stream_, Z_NO_FLUSH);
            if (result == Z_NEED_DICT)
                return Z_DATA_ERROR;
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                return result;
            if (stream_.total_out > room_)
                return Z_BUF_ERROR;
            if (stream_.avail_out == 0 || result == Z_STREAM_END)
                handOver();
            if (result == Z_STREAM_END)
                return Z_STREAM_END;
        }
        return Z_OK;
    }

private:
    // An empty block goes back to the pool with its handle.
    void handOver() {
        Block block = std::move(block_);
        if (std::size_t used = blockSize - stream_.avail_out; used > 0)
            writer_.data(std::move(block), used);
    }

    Downloader::BlockPool& pool_;
    Downloader::Writer& writer_;
    std::uint64_t room_;
    z_stream stream_{};
    bool ready_ = false;
    Block block_{nullptr, {nullptr}};
};

} // namespace

namespace {

// Names the game directory by the digest of its path: a value holds less than 256 bytes, a path
// may not.
constexpr char unfinishedValue[] = "unfinishedPatch";

std::string gameDirectoryKey() {
    return md5Hex(currentGameDirectory());
}

} // namespace

void rememberUnfinishedPatch(Settings& settings) {
    settings.writeString(unfinishedValue, gameDirectoryKey());
}

bool takeUnfinishedPatch(Settings& settings) {
    if (settings.readString(unfinishedValue) != gameDirectoryKey())
        return false;
    settings.deleteValue(unfinishedValue);
    return true;
}

bool isAddonDataFile(const std::string& path) {
    for (const AddonDataPattern& pattern : addonDataPatterns) {
        std::size_t length = std::char_traits<char>::length(pattern.text);
        if (pattern.prefix
                ? path.size() >= length && ::strncasecmp(path.c_str(), pattern.text, length) == 0
                : ::strcasecmp(path.c_str(), pattern.text) == 0)
            return true;
    }
    return false;
}

Downloader::Downloader(WorkerJob& job, PassRecord* record)
    : job_(job), pool_(std::make_unique<BlockPool>()),
      writer_(std::make_unique<Writer>(job.settings, record)), received_(inflateInputSize) {}

Downloader::~Downloader() = default;

void Downloader::plan(const DownloadList& files) {
    std::vector<std::pair<std::string, std::string>> temporaries;
    for (const DownloadEntry& entry : files) {
        std::string path = replaceChar(entry.path, '\\', '/');
        if (path.size() + 9 >= nameAreaSize) // its backup name would not fit
            break;
        temporaries.emplace_back(path, path + ".new");
    }
    writer_->plan(std::move(temporaries));
}

void Downloader::finish() {
    writer_->drain();
    if (writer_->writeFailed())
        job_.fatal("Write failed!");
}

const std::vector<std::pair<std::string, std::string>>& Downloader::verified() {
    writer_->drain();
    return writer_->verified();
}

bool Downloader::receive(std::uint64_t length,
                         const std::function<void(std::span<const unsigned char>)>& onData) {
    return receiveFileData(job_.connection, length, received_, onData, [this](std::size_t got) {
        job_.bytesDone += static_cast<std::int64_t>(got);
        updateProgress(job_);
        stopIfAsked();
    });
}

void Downloader::stopIfAsked() {
    if (!job_.stopRequested())
        return;
    // The file on its way is dropped with its temporary file; those before it are installed
    // whole. The temporary files made ahead go with the writer.
    settle(std::nullopt);
    rememberUnfinishedPatch(job_.settings);
    job_.stopped();
}

// Before the pass ends, the files handed over before this one are done, so that their report
// lines come first.
void Downloader::settle(std::optional<std::string> failure) {
    writer_->drop();
    if (failure)
        writer_->report(std::move(*failure), true);
    writer_->drain();
}

void Downloader::downloadFile(const DownloadEntry& entry) {
    Settings& settings = job_.settings;
    const std::string& path = entry.path;
    if (entry.size < 0 || entry.packedSize < 0)
        job_.fatal("Corrupt patch info, aborting");
    stopIfAsked();
    job_.status("Downloading %s", path.c_str());
    bool addonData = isAddonDataFile(path);
    if (addonData)
        job_.status("Updating Data Files");
    else
        job_.status("Downloading %s", replaceChar(path, '/', '\\').c_str());

    auto file = std::make_unique<PendingFile>();
    file->path = replaceChar(path, '\\', '/');
    file->display = replaceChar(file->path, '/', '\\');
    file->temporary = file->path + ".new";
    file->backup = file->path + ".prepatch";
    file->digest = entry.digest;
    file->previousDigest = entry.previousDigest;
    file->size = static_cast<std::uint64_t>(entry.size);
    file->reported = !addonData || settings.completeCheck;
    if (file->backup.size() < nameAreaSize) {
        std::optional<UniqueFd> ahead = writer_->takeTemporary(next_++, file->temporary);
        file->output = ahead ? std::move(*ahead) : createTemporary(file->path, file->temporary);
    }
    std::optional<FileIdentity> identity =
        file->output ? identityOf(file->output.get()) : std::nullopt;
    auto packedSize = static_cast<std::uint64_t>(entry.packedSize);
    if (!identity) {
        job_.status("Failed to create %s", file->temporary.c_str());
        writer_->report("Error: couldn't create " + file->display, true);
        // Its data is read and dropped, so that the next file is read from the right place.
        if (!receive(packedSize, [](std::span<const unsigned char>) {})) {
            settle(std::nullopt);
            job_.fatal("Download failed!");
        }
        return;
    }
    file->identity = *identity;
    std::string display = file->display;
    std::uint64_t size = file->size;
    writer_->begin(std::move(file));
    updateProgress(job_);

    int inflated = Z_OK;
    bool whole;
    {
        Inflater inflater(*pool_, *writer_, size);
        // A stream that failed is still read to its end, so that a short download is told as
        // such and the next file starts at the right byte.
        whole = receive(packedSize, [&](std::span<const unsigned char> bytes) {
            if (inflated == Z_OK)
                inflated = inflater.feed(bytes);
            if (writer_->writeFailed()) {
                settle(std::nullopt);
                job_.fatal("Write failed!");
            }
        });
    }
    updateProgress(job_);
    if (!whole && job_.connection.end() == LinkEnd::stopped)
        stopIfAsked();
    if (!whole) {
        settle("Error: couldn't download " + display);
        job_.fatal("Download failed!");
    }
    if (inflated != Z_STREAM_END) {
        settle(std::nullopt);
        job_.fatal("Decompression error: %d", inflated == Z_OK ? Z_DATA_ERROR : inflated);
    }
    writer_->end();
}

void downloadFile(WorkerJob& job, const DownloadEntry& entry) {
    Downloader downloader(job);
    downloader.downloadFile(entry);
    downloader.finish();
}

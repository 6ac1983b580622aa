#include "tools/server/catalog.h"

#include "base/md5.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr std::size_t blockSize = 65536;

std::int64_t modifiedOf(const struct stat& info) {
    return std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

bool deflateFile(int fd, const std::function<bool(const char*, std::size_t)>& sink,
                 const std::function<void(const char*, std::size_t)>& plain) {
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK)
        return false;
    std::unique_ptr<char[]> in(new char[blockSize]);
    std::unique_ptr<char[]> out(new char[blockSize]);
    bool ok = true;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        ssize_t got = ::read(fd, in.get(), blockSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            flush = Z_FINISH;
        plain(in.get(), static_cast<std::size_t>(got));
        stream.next_in = reinterpret_cast<Bytef*>(in.get());
        stream.avail_in = static_cast<uInt>(got);
        int result;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.get());
            stream.avail_out = blockSize;
            result = deflate(&stream, flush);
            if (result == Z_STREAM_ERROR) {
                ok = false;
                break;
            }
            if (!sink(out.get(), blockSize - stream.avail_out)) {
                ok = false;
                break;
            }
        } while (flush == Z_FINISH ? result != Z_STREAM_END : stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return ok;
}

ReferenceServer::Catalog::Catalog(std::string root, std::size_t cacheCapacity)
    : root_(std::move(root)), cacheCapacity_(cacheCapacity),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

ReferenceServer::Catalog::~Catalog() {
    if (inotify_ >= 0)
        ::close(inotify_);
}

void ReferenceServer::Catalog::readChanges() {
    alignas(inotify_event) char events[16384];
    ssize_t got;
    while (inotify_ >= 0 && (got = ::read(inotify_, events, sizeof events)) > 0) {
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (event->mask & IN_Q_OVERFLOW) {
                unchanged_.clear();
            } else {
                auto watched = watches_.find(event->wd);
                if (watched != watches_.end()) {
                    unchanged_.erase(watched->second);
                    if (event->mask & IN_IGNORED)
                        watches_.erase(watched);
                }
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
}

bool ReferenceServer::Catalog::distributions(std::vector<Distribution>& found,
                                             std::string& error) const {
    found.clear();
    std::string base = root_ + "/distributions";
    DIR* dir = ::opendir(base.c_str());
    if (!dir) {
        error = "cannot open " + base + ": " + std::strerror(errno);
        return errno == ENOENT;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        std::size_t digits = 0;
        while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits])))
            ++digits;
        if (digits == 0 || digits > 9 || digits >= name.size() || name[digits] != ' ')
            continue;
        found.push_back(
            {std::stoi(name.substr(0, digits)), name.substr(digits + 1), base + "/" + name});
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(),
              [](const Distribution& a, const Distribution& b) { return a.number < b.number; });
    return true;
}

bool ReferenceServer::Catalog::walk(const std::string& directory, const std::string& prefix,
                                    const std::string& top, std::vector<Seen>& seen,
                                    std::string& error) {
    // Watched before it is listed, so that no change after the listing goes unnoticed.
    if (watching_) {
        int watch = ::inotify_add_watch(inotify_, directory.c_str(),
                                        IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                            IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                            IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        std::lock_guard guard(lock_);
        if (watch >= 0)
            watches_[watch] = top;
        else
            watching_ = false;
    }
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) {
        error = "cannot open " + directory + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    bool listed = errno == 0;
    ::closedir(dir);
    if (!listed) {
        error = "cannot list " + directory;
        return false;
    }
    for (const std::string& name : names) {
        std::string full = directory + "/" + name;
        std::string relative = prefix.empty() ? name : prefix + "/" + name;
        struct stat info {};
        if (::lstat(full.c_str(), &info) != 0) {
            if (errno == ENOENT)
                continue; // removed while we looked
            error = "cannot look at " + full + ": " + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            if (!walk(full, relative, top, seen, error))
                return false;
        } else if (S_ISREG(info.st_mode)) {
            seen.push_back({relative, full, info.st_size, modifiedOf(info)});
        }
    }
    return true;
}

bool ReferenceServer::Catalog::unchanged(const Manifest& manifest, const std::vector<Seen>& seen) {
    if (manifest.entries.size() != seen.size())
        return false;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Entry& entry = manifest.entries[i];
        if (entry.size != seen[i].size || entry.modified != seen[i].modified ||
            entry.path != seen[i].path)
            return false;
    }
    return true;
}

std::shared_ptr<const ReferenceServer::Catalog::Manifest>
ReferenceServer::Catalog::manifest(int number, std::string& error, int& filesRead) {
    filesRead = 0;
    std::vector<Distribution> offered;
    if (!distributions(offered, error))
        return nullptr;
    std::string directory;
    for (const Distribution& distribution : offered)
        if (distribution.number == number)
            directory = distribution.directory;
    if (directory.empty()) {
        auto none = std::make_shared<Manifest>();
        none->patchList = "D\n";
        return none;
    }
    auto current = [&] {
        std::lock_guard guard(lock_);
        readChanges();
        auto found = manifests_.find(directory);
        return found != manifests_.end() && unchanged_.count(directory) &&
                       !building_.count(directory)
                   ? found->second
                   : nullptr;
    };
    if (auto kept = current())
        return kept;

    // One look at the files at a time: requests meanwhile wait for its result.
    std::lock_guard building(buildLock_);
    if (auto kept = current())
        return kept;
    std::shared_ptr<const Manifest> previous;
    {
        std::lock_guard guard(lock_);
        auto found = manifests_.find(directory);
        if (found != manifests_.end())
            previous = found->second;
        // Clean from here on, unless the kernel reports a change during or after the walk; but
        // the previous manifest is not served meanwhile.
        unchanged_[directory] = true;
        building_.insert(directory);
    }
    struct Built {
        Catalog& catalog;
        const std::string& directory;
        ~Built() {
            std::lock_guard guard(catalog.lock_);
            catalog.building_.erase(directory);
        }
    } built{*this, directory};
    watching_ = inotify_ >= 0;
    std::vector<Seen> seen;
    bool walked = walk(directory, "", directory, seen, error);
    if (!watching_ || !walked) {
        std::lock_guard guard(lock_);
        unchanged_.erase(directory);
    }
    if (!walked)
        return nullptr;
    std::sort(seen.begin(), seen.end(),
              [](const Seen& a, const Seen& b) { return a.path < b.path; });
    if (previous && unchanged(*previous, seen))
        return previous;
    auto made = build(seen, previous.get(), error, filesRead);
    std::lock_guard guard(lock_);
    if (made)
        manifests_[directory] = made;
    else
        unchanged_.erase(directory);
    return made;
}

std::shared_ptr<const ReferenceServer::Catalog::Manifest>
ReferenceServer::Catalog::build(const std::vector<Seen>& seen, const Manifest* previous,
                                std::string& error, int& filesRead) {
    auto made = std::make_shared<Manifest>();
    made->entries.reserve(seen.size());
    for (const Seen& file : seen) {
        if (previous) {
            auto old = previous->byPath.find(file.path);
            if (old != previous->byPath.end()) {
                const Entry& entry = previous->entries[old->second];
                if (entry.size == file.size && entry.modified == file.modified) {
                    made->entries.push_back(entry);
                    continue;
                }
            }
        }
        Fd fd(::open(file.full.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
            if (errno == ENOENT)
                continue; // removed while we looked
            error = "cannot read " + file.full + ": " + std::strerror(errno);
            return nullptr;
        }
        Entry entry;
        entry.path = file.path;
        entry.full = file.full;
        entry.modified = modifiedOf(info);
        MD5 md5;
        std::int64_t size = 0;
        uLong crc = crc32(0, nullptr, 0);
        std::uint64_t packedSize = 0;
        // Kept for the cache when it fits there: a first download then compresses nothing again.
        auto packed = std::make_shared<std::string>();
        bool keep = cacheCapacity_ > 0;
        bool read = deflateFile(
            fd.get(),
            [&](const char* bytes, std::size_t length) {
                crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(length));
                packedSize += length;
                keep = keep && packedSize <= cacheCapacity_;
                if (keep)
                    packed->append(bytes, length);
                else
                    std::string().swap(*packed);
                return true;
            },
            [&](const char* bytes, std::size_t length) {
                md5.update(reinterpret_cast<const unsigned char*>(bytes),
                           static_cast<std::uint32_t>(length));
                size += static_cast<std::int64_t>(length);
            });
        if (!read) {
            error = "cannot read " + file.full;
            return nullptr;
        }
        md5.finalize();
        entry.size = size;
        entry.digest = md5.hex_digest();
        entry.packedSize = packedSize;
        entry.packedCrc = static_cast<std::uint32_t>(crc);
        if (keep)
            remember(entry.full, entry.size, entry.modified, packed);
        made->entries.push_back(std::move(entry));
        ++filesRead;
    }
    for (std::size_t i = 0; i < made->entries.size(); ++i) {
        const Entry& entry = made->entries[i];
        made->byPath.emplace(entry.path, i);
        std::string path = entry.path;
        std::replace(path.begin(), path.end(), '/', '\\');
        made->patchList += path + "\n" + std::to_string(entry.size) + " " +
                           std::to_string(entry.packedSize) + "\n" + entry.digest + "\n";
    }
    made->patchList += "D\n";
    return made;
}

ReferenceServer::Catalog::Packed ReferenceServer::Catalog::cached(const Entry& entry) {
    std::lock_guard guard(lock_);
    auto found = cache_.find(entry.full);
    if (found == cache_.end() || found->second.size != entry.size ||
        found->second.modified != entry.modified)
        return nullptr;
    ages_.splice(ages_.end(), ages_, found->second.age);
    return found->second.packed;
}

ReferenceServer::Catalog::Sent ReferenceServer::Catalog::send(const Entry& entry,
                                                              const Sink& sink) {
    if (Packed packed = cached(entry))
        return sink(*packed) ? Sent::whole : Sent::stopped;

    Fd fd(::open(entry.full.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || info.st_size != entry.size ||
        modifiedOf(info) != entry.modified)
        return Sent::changed;
    // Kept for the cache when there is room for it beside the files being sent.
    // One session at a time fills the cache with a file.
    std::string copy;
    bool keep = false;
    {
        std::lock_guard guard(lock_);
        keep = entry.packedSize <= cacheCapacity_ && !fillingFiles_.count(entry.full) &&
               makeRoom(entry.packedSize);
        if (keep) {
            filling_ += entry.packedSize;
            fillingFiles_.insert(entry.full);
        }
    }
    struct Reserved {
        Catalog& catalog;
        const Entry* entry;
        void release() {
            if (!entry)
                return;
            std::lock_guard guard(catalog.lock_);
            catalog.filling_ -= entry->packedSize;
            catalog.fillingFiles_.erase(entry->full);
            entry = nullptr;
        }
        ~Reserved() { release(); }
    } reserved{*this, keep ? &entry : nullptr};
    if (keep)
        copy.reserve(entry.packedSize);

    std::uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool stopped = false;
    bool read = deflateFile(
        fd.get(),
        [&](const char* bytes, std::size_t length) {
            // A file that grew since it was listed stops here.
            produced += length;
            if (produced > entry.packedSize)
                return false;
            crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(length));
            if (keep)
                copy.append(bytes, length);
            stopped = !sink({bytes, length});
            return !stopped;
        },
        [](const char*, std::size_t) {});
    if (stopped)
        return Sent::stopped;
    if (!read || produced != entry.packedSize || crc != entry.packedCrc)
        return Sent::changed;
    reserved.release();
    if (keep)
        remember(entry.full, entry.size, entry.modified,
                 std::make_shared<const std::string>(std::move(copy)));
    return Sent::whole;
}

bool ReferenceServer::Catalog::makeRoom(std::size_t bytes) {
    // Only this cache holds a file that no session is sending: no session can take it meanwhile,
    // since they find it under the same lock.
    for (auto age = ages_.begin();
         cached_ + filling_ + bytes > cacheCapacity_ && age != ages_.end();) {
        auto found = cache_.find(*age);
        if (found->second.packed.use_count() > 1) {
            ++age;
            continue;
        }
        cached_ -= found->second.packed->size();
        cache_.erase(found);
        age = ages_.erase(age);
    }
    return cached_ + filling_ + bytes <= cacheCapacity_;
}

void ReferenceServer::Catalog::remember(const std::string& full, std::int64_t size,
                                        std::int64_t modified, const Packed& packed) {
    std::lock_guard guard(lock_);
    auto found = cache_.find(full);
    if (found != cache_.end()) {
        cached_ -= found->second.packed->size();
        ages_.erase(found->second.age);
        cache_.erase(found);
    }
    if (!makeRoom(packed->size()))
        return;
    ages_.push_back(full);
    cache_[full] = {size, modified, packed, std::prev(ages_.end())};
    cached_ += packed->size();
}

#pragma once

#include "tools/server/reference_server.h"

#include <list>
#include <map>
#include <set>
#include <unordered_map>

// The distributions under ROOT/distributions. Each distribution's manifest (paths, sizes,
// compressed sizes, digests and the patch list built from them) is kept between requests. The
// kernel tells (inotify) when anything in a distribution's directories changes: until then a
// request costs nothing; afterwards the next request looks at every file's size and modification
// time and reads again only the files where one of them changed, and requests meanwhile wait for
// the new manifest. Without inotify every request looks at them. Compressed files are kept in a
// cache bounded in bytes, files being sent from it included; a file that is not there is
// compressed again as it is sent, through small buffers.
class ReferenceServer::Catalog {
public:
    struct Distribution {
        int number;
        std::string name;
        std::string directory;
    };
    struct Entry {
        std::string path; // relative, with '/'
        std::string full;
        std::int64_t size = 0;
        std::int64_t modified = 0; // nanoseconds
        std::uint64_t packedSize = 0;
        std::uint32_t packedCrc = 0;
        std::string digest;
    };
    struct Manifest {
        std::vector<Entry> entries; // sorted by path
        std::unordered_map<std::string, std::size_t> byPath;
        std::string patchList; // the whole reply, with its end line
    };
    using Packed = std::shared_ptr<const std::string>;
    using Sink = std::function<bool(std::string_view)>; // false: no more is wanted
    enum class Sent { whole, changed, stopped };

    Catalog(std::string root, std::size_t cacheCapacity);
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;
    ~Catalog();

    // The distributions offered, by number; none when ROOT/distributions does not exist.
    bool distributions(std::vector<Distribution>& found, std::string& error) const;
    // The manifest of distribution `number` as the files are now (an empty one for a number
    // that is not offered); null with `error` when the distribution cannot be read whole.
    // `filesRead` tells how many files had to be read for it.
    std::shared_ptr<const Manifest> manifest(int number, std::string& error, int& filesRead);
    // Hands the zlib stream announced for `entry` to `sink`, in pieces: `changed` when the file is
    // no longer the one announced or cannot be read (part of it may have gone to `sink`).
    Sent send(const Entry& entry, const Sink& sink);

private:
    struct Seen {
        std::string path;
        std::string full;
        std::int64_t size;
        std::int64_t modified;
    };
    struct Cached {
        std::int64_t size;
        std::int64_t modified;
        Packed packed;
        std::list<std::string>::iterator age;
    };

    bool walk(const std::string& directory, const std::string& prefix, const std::string& top,
              std::vector<Seen>& seen, std::string& error);
    void readChanges(); // holds lock_
    static bool unchanged(const Manifest& manifest, const std::vector<Seen>& seen);
    std::shared_ptr<const Manifest> build(const std::vector<Seen>& seen, const Manifest* previous,
                                          std::string& error, int& filesRead);
    Packed cached(const Entry& entry);
    // Makes room for `bytes` more by dropping the least recently used files that no session is
    // sending; false when there is not enough. Holds lock_.
    bool makeRoom(std::size_t bytes);
    void remember(const std::string& full, std::int64_t size, std::int64_t modified,
                  const Packed& packed);

    std::string root_;
    std::size_t cacheCapacity_;
    std::mutex lock_; // guards manifests_, the watches and the cache
    std::map<std::string, std::shared_ptr<const Manifest>> manifests_; // by directory
    int inotify_ = -1;
    std::unordered_map<int, std::string> watches_; // watch → the distribution's directory
    // Distributions with no change since their manifest was built; none without inotify.
    std::map<std::string, bool> unchanged_;
    // Distributions being looked at again: their manifest is not served until that ends.
    std::set<std::string> building_;
    bool watching_ = false; // the walk in progress has watched every directory
    std::mutex buildLock_;  // one rebuild at a time; requests meanwhile wait for its result
    std::unordered_map<std::string, Cached> cache_;
    std::list<std::string> ages_; // least recently used first
    std::size_t cached_ = 0;      // bytes in the cache
    std::size_t filling_ = 0;     // bytes set aside for files being compressed for the cache
    std::set<std::string> fillingFiles_;
};

// Deflates what `fd` holds from its current position to its end exactly as zlib's compress does
// (same level, window and memory), in pieces handed to `sink`; `plain` receives the bytes read.
// False on a read or zlib error, or when `sink` returns false.
bool deflateFile(int fd, const std::function<bool(const char*, std::size_t)>& sink,
                 const std::function<void(const char*, std::size_t)>& plain);

#include "base/trash.h"

#include "base/fs.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names tried for one entry ("name", "name.2", ...): enough for any trash a person keeps, and a
// bound, so that a trash in which no name can be had ends the search.
constexpr int namesTried = 1000;
// An entry's name leaves room for ".trashinfo" and a number within the 255 bytes of a name.
constexpr std::size_t longestEntryName = 200;

std::string errorText(int error) {
    return std::strerror(error);
}

std::string parentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/')
        return path;
    char here[4096];
    if (!::getcwd(here, sizeof here))
        return {};
    return std::string(here) + "/" + path;
}

// The directory, with every link along it resolved; nothing when it cannot be.
std::optional<std::string> resolvedDirectory(const std::string& directory) {
    char* resolved = ::realpath(directory.c_str(), nullptr);
    if (!resolved)
        return std::nullopt;
    std::string path = resolved;
    std::free(resolved);
    return path;
}

std::optional<dev_t> deviceOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return info.st_dev;
}

// Makes every missing directory of `directory` with mode 0700, the way a trash is made for its
// user alone.
bool makePrivateDirectories(const std::string& directory) {
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        std::string prefix = directory.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// A trash directory that is the user's own: a directory (not a link to one somewhere else) that
// this user owns, on the file system `device`.
bool ownTrashDirectory(const std::string& directory, dev_t device) {
    struct stat info {};
    return ::lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && info.st_dev == device;
}

std::string homeTrash() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/')
        return std::string(data) + "/Trash";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.local/share/Trash";
    return {};
}

// The top directory of the file system that holds `directory` (a resolved path): the highest
// directory above it on the same device.
std::string topDirectory(std::string directory, dev_t device) {
    while (directory != "/") {
        std::string parent = parentOf(directory);
        if (deviceOf(parent) != device)
            break;
        directory = parent;
    }
    return directory;
}

struct TrashPlace {
    std::string directory; // holds files/ and info/
    std::string base;      // information files name a path relative to it; "" for absolute ones
};

bool makeTrash(const std::string& directory, dev_t device) {
    return makePrivateDirectories(directory + "/files") &&
           makePrivateDirectories(directory + "/info") &&
           deviceOf(directory + "/files") == device && deviceOf(directory + "/info") == device;
}

// The trash that takes a file of `device` whose directory is `directory`.
std::optional<TrashPlace> trashFor(const std::string& directory, dev_t device, std::string& why) {
    // Without a home, no file system can be told to be the home's: no trash is guessed.
    std::string home = homeTrash();
    if (home.empty()) {
        why = "no trash: neither XDG_DATA_HOME nor HOME names a directory";
        return std::nullopt;
    }
    // The home trash is on the file's file system when it is there, or when the nearest
    // directory that exists on its way is.
    std::string existing = home;
    while (!deviceOf(existing) && existing != "/")
        existing = parentOf(existing);
    if (deviceOf(existing) == device) {
        if (makeTrash(home, device))
            return TrashPlace{home, ""};
        why = home + ": " + errorText(errno);
        return std::nullopt;
    }
    std::string top = topDirectory(directory, device);
    std::string prefix = top == "/" ? "" : top;
    std::string uid = std::to_string(::getuid());
    // A shared .Trash that the administrator made: a directory, not a link, with the sticky bit
    // so that no user can take another's entries.
    struct stat shared {};
    std::string sharedTrash = prefix + "/.Trash";
    if (::lstat(sharedTrash.c_str(), &shared) == 0 && S_ISDIR(shared.st_mode) &&
        (shared.st_mode & S_ISVTX) && shared.st_dev == device) {
        std::string own = sharedTrash + "/" + uid;
        if ((::mkdir(own.c_str(), 0700) == 0 || errno == EEXIST) &&
            ownTrashDirectory(own, device) && makeTrash(own, device))
            return TrashPlace{own, top};
    }
    std::string own = prefix + "/.Trash-" + uid;
    if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
        why = own + ": " + errorText(errno);
        return std::nullopt;
    }
    if (!ownTrashDirectory(own, device)) {
        why = own + ": not a trash of this user's";
        return std::nullopt;
    }
    if (!makeTrash(own, device)) {
        why = own + ": " + errorText(errno);
        return std::nullopt;
    }
    return TrashPlace{own, top};
}

std::string entryName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > longestEntryName) {
        std::size_t cut = longestEntryName;
        // Not inside a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name;
}

std::string infoOf(const std::string& entryPath) {
    std::string files = parentOf(entryPath);
    return parentOf(files) + "/info" + entryPath.substr(files.size()) + ".trashinfo";
}

} // namespace

std::string trashInfoText(const std::string& originalPath, long long deletionTime) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (char c : originalPath) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || std::strchr("-_.!~*'()/", c)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 15];
        }
    }
    std::time_t when = static_cast<std::time_t>(deletionTime);
    std::tm local{};
    char date[32] = "";
    if (::localtime_r(&when, &local))
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    return "[Trash Info]\nPath=" + encoded + "\nDeletionDate=" + date + "\n";
}

bool reserveTrashEntry(const std::string& path, TrashEntry& entry, std::string& why) {
    std::string absolute = absolutePath(path);
    std::string name = entryName(absolute);
    struct stat info {};
    if (absolute.empty() || name.empty() || name == "." || name == "..") {
        why = path + ": no such entry";
        return false;
    }
    if (::lstat(absolute.c_str(), &info) != 0) {
        why = path + ": " + errorText(errno);
        return false;
    }
    std::optional<std::string> directory = resolvedDirectory(parentOf(absolute));
    if (!directory) {
        why = path + ": " + errorText(errno);
        return false;
    }
    std::optional<TrashPlace> trash = trashFor(*directory, info.st_dev, why);
    if (!trash)
        return false;
    std::string original = *directory + "/" + absolute.substr(absolute.rfind('/') + 1);
    if (!trash->base.empty()) {
        // A trash at the top of a file system names its files relative to that top, so that
        // the disk may be mounted elsewhere.
        std::string top = trash->base == "/" ? "/" : trash->base + "/";
        if (original.compare(0, top.size(), top) == 0)
            original = original.substr(top.size());
    }
    std::string text = trashInfoText(original, std::time(nullptr));
    for (int attempt = 1; attempt <= namesTried; ++attempt) {
        std::string candidate = attempt == 1 ? name : name + "." + std::to_string(attempt);
        entry.path = trash->directory + "/files/" + candidate;
        entry.info = trash->directory + "/info/" + candidate + ".trashinfo";
        UniqueFd fd(
            ::open(entry.info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST)
                continue;
            why = entry.info + ": " + errorText(errno);
            return false;
        }
        // An entry in files/ without its information file (another program cut short) keeps
        // its name.
        struct stat taken {};
        if (::lstat(entry.path.c_str(), &taken) == 0 || errno != ENOENT) {
            fd.reset();
            ::unlink(entry.info.c_str());
            continue;
        }
        if (!writeAll(fd.get(), text.data(), text.size()) || !fd.close()) {
            why = entry.info + ": " + errorText(errno);
            ::unlink(entry.info.c_str());
            return false;
        }
        return true;
    }
    why = trash->directory + ": no free name for " + name;
    return false;
}

bool moveIntoTrash(const std::string& path, const TrashEntry& entry, std::string& why) {
    if (renameFile(path, entry.path))
        return true;
    why = entry.path + ": " + errorText(errno);
    releaseTrashEntry(entry);
    return false;
}

TrashEntry trashEntryAt(const std::string& path) {
    return {path, infoOf(path)};
}

void releaseTrashEntry(const TrashEntry& entry) {
    ::unlink(entry.info.c_str());
}

bool restoreFromTrash(const std::string& trashed, const std::string& entryPath,
                      const std::string& to) {
    makeDirs(to);
    if (!renameFile(trashed, to))
        return false;
    // The directories of the entry that held nothing but the file go, up to the entry itself.
    if (trashed.size() > entryPath.size() && trashed.compare(0, entryPath.size(), entryPath) == 0)
        for (std::string directory = parentOf(trashed);
             directory.size() >= entryPath.size() && ::rmdir(directory.c_str()) == 0;
             directory = parentOf(directory)) {
        }
    struct stat info {};
    if (::lstat(entryPath.c_str(), &info) != 0 && errno == ENOENT)
        ::unlink(infoOf(entryPath).c_str());
    return true;
}

int recycle(const std::string& name, std::string* trashedPath, std::string* why) {
    TrashEntry entry;
    std::string reason;
    if (!reserveTrashEntry(name, entry, reason) || !moveIntoTrash(name, entry, reason)) {
        if (why)
            *why = reason;
        return 1;
    }
    if (trashedPath)
        *trashedPath = entry.path;
    return 0;
}

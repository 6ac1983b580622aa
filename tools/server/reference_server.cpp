#include "tools/server/reference_server.h"

#include "patcher/md5.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

constexpr std::size_t maxRequestLine = 8192;
constexpr std::size_t maxUpload = 1 << 20;   // the client's compressed area
constexpr std::size_t maxZeppelin = 1 << 20; // the client's Zeppelin area
constexpr int idleTimeoutMs = 120000;

bool readWholeFile(const std::string& path, std::string& content) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content.clear();
    char block[65536];
    ssize_t got;
    while ((got = ::read(fd, block, sizeof block)) > 0)
        content.append(block, static_cast<std::size_t>(got));
    ::close(fd);
    return got == 0;
}

bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string sanitizedAccount(const std::string& name) {
    std::string safe;
    for (char c : name.substr(0, 64))
        safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    return safe.empty() ? "_" : safe;
}

// Checks an inflated upload record by record: the saved table first, then at most one item cache
// and one quest cache record, each header announcing exactly the bytes that follow it.
bool validZeppelin(std::string_view zeppelin, std::string& summary) {
    const char* headers[] = {"Mirelgan_Data ", "itemcache.wdb ", "questcache.wdb "};
    std::size_t at = 0;
    int record = 0;
    while (at < zeppelin.size()) {
        while (record < 3 && zeppelin.substr(at, std::strlen(headers[record])) != headers[record])
            ++record;
        if (record == 3 || (record > 0 && summary.empty()))
            return false;
        std::size_t numberAt = at + std::strlen(headers[record]);
        std::size_t feed = zeppelin.find('\n', numberAt);
        if (feed == std::string_view::npos || feed - numberAt > 9 ||
            !isDigits(zeppelin.substr(numberAt, feed - numberAt)))
            return false;
        std::size_t length = std::stoul(std::string(zeppelin.substr(numberAt, feed - numberAt)));
        if (length > zeppelin.size() - (feed + 1))
            return false;
        summary += std::string(summary.empty() ? "" : ", ") +
                   std::string(headers[record], std::strlen(headers[record]) - 1) + " " +
                   std::to_string(length);
        at = feed + 1 + length;
        ++record;
    }
    return !summary.empty();
}

} // namespace

// The distributions under the root, rescanned at every request so that a test or a user may
// change files while the server runs; a file is compressed and digested again only when its
// size or modification time changed.
class ReferenceServer::Catalog {
public:
    struct Distribution {
        int number;
        std::string name;
        std::string directory;
    };
    struct File {
        std::string path; // relative, with '/'
        std::string packed;
        std::size_t size = 0;
        std::string digest;
    };

    explicit Catalog(std::string root) : root_(std::move(root)) {}

    std::vector<Distribution> distributions() {
        std::vector<Distribution> found;
        std::string base = root_ + "/distributions";
        DIR* dir = ::opendir(base.c_str());
        if (!dir)
            return found;
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
        return found;
    }

    std::vector<std::shared_ptr<const File>> files(int number, const std::string& corruptPath) {
        std::vector<std::shared_ptr<const File>> list;
        for (const Distribution& distribution : distributions())
            if (distribution.number == number) {
                collect(distribution.directory, "", list);
                break;
            }
        std::sort(list.begin(), list.end(),
                  [](const auto& a, const auto& b) { return a->path < b->path; });
        if (!corruptPath.empty())
            for (auto& file : list)
                if (file->path == corruptPath && !file->packed.empty()) {
                    auto spoiled = std::make_shared<File>(*file);
                    spoiled->packed[0] = 0; // fails zlib's header check
                    file = spoiled;
                }
        return list;
    }

private:
    struct Cached {
        std::int64_t modified;
        std::int64_t size;
        std::shared_ptr<const File> file;
    };

    void collect(const std::string& directory, const std::string& prefix,
                 std::vector<std::shared_ptr<const File>>& list) {
        DIR* dir = ::opendir(directory.c_str());
        if (!dir)
            return;
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        ::closedir(dir);
        for (const std::string& name : names) {
            std::string full = directory + "/" + name;
            std::string relative = prefix.empty() ? name : prefix + "/" + name;
            struct stat info {};
            if (::lstat(full.c_str(), &info) != 0)
                continue;
            if (S_ISDIR(info.st_mode))
                collect(full, relative, list);
            else if (S_ISREG(info.st_mode))
                if (auto file = load(full, relative, info))
                    list.push_back(std::move(file));
        }
    }

    std::shared_ptr<const File> load(const std::string& full, const std::string& relative,
                                     const struct stat& info) {
        std::int64_t modified =
            std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        {
            std::lock_guard guard(lock_);
            auto cached = cache_.find(full);
            if (cached != cache_.end() && cached->second.modified == modified &&
                cached->second.size == info.st_size)
                return cached->second.file;
        }
        std::string content;
        if (!readWholeFile(full, content))
            return nullptr;
        auto file = std::make_shared<File>();
        file->path = relative;
        file->size = content.size();
        uLongf packedLength = compressBound(content.size());
        file->packed.resize(packedLength);
        if (compress(reinterpret_cast<Bytef*>(file->packed.data()), &packedLength,
                     reinterpret_cast<const Bytef*>(content.data()), content.size()) != Z_OK)
            return nullptr;
        file->packed.resize(packedLength);
        MD5 md5;
        md5.update(reinterpret_cast<const unsigned char*>(content.data()),
                   static_cast<std::uint32_t>(content.size()));
        md5.finalize();
        file->digest = md5.hex_digest();
        std::lock_guard guard(lock_);
        cache_[full] = {modified, static_cast<std::int64_t>(content.size()), file};
        return file;
    }

    std::string root_;
    std::mutex lock_;
    std::map<std::string, Cached> cache_;
};

// One client connection.
class ReferenceServer::Session {
public:
    Session(ReferenceServer& server, int socket, ServerOptions options, std::string peer)
        : server_(server), socket_(socket), options_(std::move(options)), peer_(std::move(peer)) {}

    void run() {
        std::string line;
        while (!server_.stopping_ && readLine(line)) {
            if (line == "L") {
                if (!login())
                    break;
            } else if (line == "D") {
                if (!distributionList())
                    break;
            } else if (line.size() > 2 && line.compare(0, 2, "P ") == 0 &&
                       isDigits(line.substr(2)) && line.size() <= 11) {
                if (!patchList(std::stoi(line.substr(2))))
                    break;
            } else if (line == "c") {
                if (!fileRequest())
                    break;
            } else if (line == "C") {
                if (!sendFiles())
                    break;
            } else if (line == "Z") {
                if (!upload())
                    break;
            } else {
                log("unknown request '" + printable(line) + "', closing");
                break;
            }
        }
        log("closed");
    }

private:
    static std::string printable(const std::string& text) {
        std::string shown;
        for (char c : text.substr(0, 40))
            shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
        return shown;
    }

    void log(const std::string& text) { server_.log(peer_ + " " + text); }

    bool fill() {
        pollfd waiting{socket_, POLLIN, 0};
        if (::poll(&waiting, 1, idleTimeoutMs) <= 0)
            return false;
        char block[65536];
        ssize_t got = ::recv(socket_, block, sizeof block, 0);
        if (got <= 0)
            return false;
        input_.append(block, static_cast<std::size_t>(got));
        return true;
    }

    bool readLine(std::string& line) {
        std::size_t feed;
        while ((feed = input_.find('\n')) == std::string::npos) {
            if (input_.size() > maxRequestLine) {
                log("request line too long, closing");
                return false;
            }
            if (!fill())
                return false;
        }
        line = input_.substr(0, feed);
        input_.erase(0, feed + 1);
        return true;
    }

    bool readExactly(std::size_t length, std::string& bytes) {
        while (input_.size() < length)
            if (!fill())
                return false;
        bytes = input_.substr(0, length);
        input_.erase(0, length);
        return true;
    }

    bool write(const char* bytes, std::size_t length) {
        while (length > 0) {
            ssize_t sent = ::send(socket_, bytes, length, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            bytes += sent;
            length -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    // Sends one reply, honouring the fault-injection options. False when the connection ended.
    bool reply(char command, std::string_view bytes) {
        std::size_t limit = bytes.size();
        bool closeAfterwards = false;
        if (options_.closeAfter >= 0 && command == options_.closeOn &&
            static_cast<unsigned long long>(options_.closeAfter) < bytes.size()) {
            limit = static_cast<std::size_t>(options_.closeAfter);
            closeAfterwards = true;
        }
        std::vector<std::size_t> cuts;
        if (options_.chunkSize > 0)
            for (std::size_t at = options_.chunkSize; at < limit; at += options_.chunkSize)
                cuts.push_back(at);
        if (options_.splitAt > 0 && options_.splitAt < limit)
            cuts.push_back(options_.splitAt);
        std::sort(cuts.begin(), cuts.end());
        cuts.push_back(limit);
        std::size_t at = 0;
        for (std::size_t cut : cuts) {
            if (cut <= at)
                continue;
            if (at > 0 && options_.pause.count() > 0)
                std::this_thread::sleep_for(options_.pause);
            if (!write(bytes.data() + at, cut - at))
                return false;
            at = cut;
        }
        if (closeAfterwards) {
            log("closing after " + std::to_string(limit) + " bytes, as asked");
            return false;
        }
        return true;
    }

    bool login() {
        std::string user, password;
        if (!readLine(user) || !readLine(password))
            return false;
        bool accepted = false;
        std::string why;
        if (user.empty()) {
            why = "no user name";
        } else if (user == "anonymous" && password.empty()) {
            accepted = true;
        } else {
            std::lock_guard guard(server_.accountsLock_);
            std::map<std::string, std::string> accounts = loadAccounts();
            auto known = accounts.find(user);
            if (known == accounts.end()) {
                accepted = appendAccount(user, password);
                why = accepted ? "new account" : "cannot store the account";
            } else {
                accepted = known->second == password;
                why = accepted ? "" : "wrong password";
            }
        }
        if (accepted)
            account_ = user;
        log("L " + printable(user) + (accepted ? ": accepted" : ": refused") +
            (why.empty() ? "" : " (" + why + ")"));
        return reply('L', accepted ? "OK\n" : "Login failed\n");
    }

    std::map<std::string, std::string> loadAccounts() {
        std::map<std::string, std::string> accounts;
        std::string content;
        if (!readWholeFile(server_.options_.root + "/accounts", content))
            return accounts;
        std::size_t at = 0;
        for (;;) {
            std::size_t first = content.find('\n', at);
            if (first == std::string::npos)
                break;
            std::size_t second = content.find('\n', first + 1);
            if (second == std::string::npos)
                break;
            accounts.emplace(content.substr(at, first - at),
                             content.substr(first + 1, second - first - 1));
            at = second + 1;
        }
        return accounts;
    }

    bool appendAccount(const std::string& user, const std::string& password) {
        std::string path = server_.options_.root + "/accounts";
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        std::string record = user + "\n" + password + "\n";
        bool ok = ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
        ::close(fd);
        return ok;
    }

    bool distributionList() {
        std::string text;
        auto distributions = server_.catalog_->distributions();
        for (const auto& distribution : distributions)
            text += std::to_string(distribution.number) + " " + distribution.name + "\n";
        text += "D\n";
        std::string version = std::to_string(options_.wdbVersion) + "\n";
        log("D: " + std::to_string(distributions.size()) + " distributions, WDB version " +
            std::to_string(options_.wdbVersion));
        if (!options_.splitVersion)
            return reply('D', text + version);
        if (!reply('D', text))
            return false;
        // The version follows only once the client has moved on, so it never arrives with "D".
        pollfd waiting{socket_, POLLIN, 0};
        ::poll(&waiting, 1, 5000);
        return write(version.data(), version.size());
    }

    bool patchList(int number) {
        files_ = server_.catalog_->files(number, options_.corruptPath);
        std::string text;
        for (const auto& file : files_) {
            std::string path = file->path;
            std::replace(path.begin(), path.end(), '/', '\\');
            text += path + "\n" + std::to_string(file->size) + " " +
                    std::to_string(file->packed.size()) + "\n" + file->digest + "\n";
        }
        text += "D\n";
        log("P " + std::to_string(number) + ": " + std::to_string(files_.size()) + " files, " +
            std::to_string(text.size()) + " bytes");
        return reply('P', text);
    }

    bool fileRequest() {
        std::string path;
        if (!readLine(path))
            return false;
        std::string normal = path;
        std::replace(normal.begin(), normal.end(), '\\', '/');
        auto found = std::find_if(files_.begin(), files_.end(),
                                  [&](const auto& file) { return file->path == normal; });
        if (found == files_.end()) {
            log("c " + printable(path) + ": not in the patch list, closing");
            return false;
        }
        requested_.push_back(*found);
        return true;
    }

    bool sendFiles() {
        std::string data;
        for (const auto& file : requested_)
            data += file->packed;
        log("C: " + std::to_string(requested_.size()) + " files, " + std::to_string(data.size()) +
            " bytes");
        requested_.clear();
        return reply('C', data);
    }

    bool upload() {
        std::string countLine, packed;
        if (!readLine(countLine))
            return false;
        if (!isDigits(countLine) || countLine.size() > 9 || std::stoul(countLine) > maxUpload) {
            log("Z " + printable(countLine) + ": bad length, closing");
            return false;
        }
        if (!readExactly(std::stoul(countLine), packed)) {
            log("Z: upload cut short");
            return false;
        }
        std::string zeppelin(maxZeppelin + 1, '\0');
        uLongf length = zeppelin.size();
        int inflated = uncompress(reinterpret_cast<Bytef*>(zeppelin.data()), &length,
                                  reinterpret_cast<const Bytef*>(packed.data()), packed.size());
        std::string summary;
        if (inflated != Z_OK || length > maxZeppelin ||
            !validZeppelin(std::string_view(zeppelin.data(), length), summary)) {
            log("Z " + countLine + ": malformed upload dropped");
            return true;
        }
        if (account_.empty()) {
            log("Z " + countLine + ": no login, upload dropped");
            return true;
        }
        zeppelin.resize(length);
        char name[32];
        std::snprintf(name, sizeof name, "%06d", ++server_.uploadSequence_);
        std::string directory = server_.options_.root + "/uploads";
        ::mkdir(directory.c_str(), 0755);
        std::string path = directory + "/" + name + "-" + sanitizedAccount(account_) + ".zeppelin";
        std::string temporary = path + ".part";
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool stored = fd >= 0 && ::write(fd, zeppelin.data(), zeppelin.size()) ==
                                     static_cast<ssize_t>(zeppelin.size());
        if (fd >= 0)
            ::close(fd);
        stored = stored && ::rename(temporary.c_str(), path.c_str()) == 0;
        log("Z " + countLine + " from " + printable(account_) + ": " + summary +
            (stored ? " -> " + path : " (could not be stored)"));
        return true;
    }

    ReferenceServer& server_;
    int socket_;
    ServerOptions options_;
    std::string peer_;
    std::string input_;
    std::string account_;
    std::vector<std::shared_ptr<const Catalog::File>> files_;
    std::vector<std::shared_ptr<const Catalog::File>> requested_;
};

ReferenceServer::ReferenceServer(ServerOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)),
      catalog_(std::make_unique<Catalog>(options_.root)) {}

ReferenceServer::~ReferenceServer() {
    stop();
}

void ReferenceServer::log(const std::string& line) {
    std::lock_guard guard(logLock_);
    if (log_)
        log_(line);
}

bool ReferenceServer::start(std::string& error) {
    // Go on numbering the uploads that an earlier run stored.
    if (DIR* dir = ::opendir((options_.root + "/uploads").c_str())) {
        while (dirent* entry = ::readdir(dir))
            uploadSequence_ = std::max(uploadSequence_.load(), std::atoi(entry->d_name));
        ::closedir(dir);
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + options_.address;
        return false;
    }
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        error = std::string("cannot listen: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread(&ReferenceServer::acceptLoop, this);
    return true;
}

void ReferenceServer::acceptLoop() {
    while (!stopping_) {
        pollfd waiting[2] = {{listener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0 && errno != EINTR)
            break;
        if (stopping_ || waiting[1].revents)
            break;
        if (!(waiting[0].revents & POLLIN))
            continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int socket =
            ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        int one = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));

        std::lock_guard guard(sessionsLock_);
        // Reap the sessions that have ended.
        for (auto it = sessions_.begin(); it != sessions_.end();)
            if (it->finished) {
                it->thread.join();
                ::close(it->socket);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        Running& running = sessions_.emplace_back();
        running.socket = socket;
        ++activeSessions_;
        ServerOptions options;
        {
            std::lock_guard optionsGuard(optionsLock_);
            options = options_;
        }
        running.thread = std::thread([this, &running, socket, name, options] {
            Session(*this, socket, options, name).run();
            ::shutdown(socket, SHUT_RDWR);
            running.finished = true;
            --activeSessions_;
        });
    }
}

bool ReferenceServer::waitUntilIdle(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (activeSessions_ > 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void ReferenceServer::stop() {
    if (stopping_.exchange(true) || listener_ < 0)
        return;
    if (wakePipe_[1] >= 0 && ::write(wakePipe_[1], "x", 1) < 0) {
        // The accept loop also ends when the listener is shut down below.
    }
    ::shutdown(listener_, SHUT_RDWR);
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        std::lock_guard guard(sessionsLock_);
        for (Running& running : sessions_)
            ::shutdown(running.socket, SHUT_RDWR);
    }
    for (Running& running : sessions_) {
        running.thread.join();
        ::close(running.socket);
    }
    sessions_.clear();
    ::close(listener_);
    for (int fd : wakePipe_)
        if (fd >= 0)
            ::close(fd);
    listener_ = -1;
}

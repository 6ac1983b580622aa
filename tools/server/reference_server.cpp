#include "tools/server/reference_server.h"

#include "tools/server/catalog.h"
#include "tools/server/store.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <zlib.h>

namespace {

constexpr std::size_t maxRequestLine = 8192;
constexpr std::size_t maxUpload = largestUpload;
constexpr std::size_t ioBlock = 65536;
// At the cap, a session is dropped for a waiting connection only once its client has been
// behind this long: a client that is merely between two requests keeps its session.
constexpr std::int64_t evictionGraceMs = 1000;
// How often a full server looks again for a session to drop while a connection waits.
constexpr int roomCheckMs = 100;

std::int64_t steadyMs(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
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

std::string printable(const std::string& text) {
    std::string shown;
    for (char c : text.substr(0, 40))
        shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return shown;
}

} // namespace

// One client connection, on a thread of its own. Everything it holds is bounded: a request line,
// one block of input, the manifest it announced (shared with other sessions), one flag per file
// of it, one block of a reply and one inflated upload. A file it sends comes from the shared
// cache or is compressed again through small buffers.
class ReferenceServer::Session {
public:
    Session(ReferenceServer& server, Running& running, int socket, ServerOptions options)
        : server_(server), running_(running), socket_(socket), options_(std::move(options)),
          address_(running.address), peer_(running.peer) {}

    void run() {
        std::string line;
        while (!server_.stopping_) {
            // Between requests only silence counts; a request, once begun, must arrive in time.
            request_.reset();
            if (input_.empty() && !fill()) {
                // Ended here, between two requests, every request had its answer.
                clientEnded_ = peerClosed_;
                break;
            }
            request_ = {std::chrono::steady_clock::now(), 0};
            if (!readLine(line))
                break;
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

    // True when the connection may end with an orderly close: a client that shut down its side
    // after an upload takes that close as the sign that the upload was stored. So a session that
    // began an upload it did not store ends with a reset, and so does one that stored an upload
    // and then ended for any cause but its client's end between two requests (a request it could
    // not serve, a time-out, making room for another): the client keeps its table, and when it
    // sends it again it is recognised.
    bool endsInOrder() const {
        return !uploadPending_ && !evicted_ && (!uploadStored_ || clientEnded_);
    }

private:
    // A request being read or a reply being written.
    struct Transfer {
        std::chrono::steady_clock::time_point started;
        std::size_t bytes; // moved since
    };

    // One reply of a known length, written as it is produced, with the write boundaries, pauses
    // and early close that the fault-injection options ask for.
    class Reply {
    public:
        Reply(Session& session, char command, std::uint64_t total)
            : session_(session), options_(session.options_), limit_(total) {
            session_.reply_ = {std::chrono::steady_clock::now(), 0};
            if (options_.closeAfter >= 0 && command == options_.closeOn &&
                static_cast<std::uint64_t>(options_.closeAfter) < total) {
                limit_ = static_cast<std::uint64_t>(options_.closeAfter);
                cut_ = true;
            }
        }
        // False once nothing more of the reply can go: the connection ended or the reply is cut
        // here. Bytes past its announced length are not sent.
        bool put(std::string_view bytes) {
            while (!bytes.empty() && !failed_ && at_ < limit_) {
                std::uint64_t boundary = nextCut();
                std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), boundary - at_));
                // At most one block is held: a large piece goes out from where it is (the shared
                // cache or manifest), small ones are gathered.
                if (buffer_.empty() && take >= ioBlock) {
                    emit(bytes.substr(0, take));
                } else {
                    take = std::min(take, ioBlock - buffer_.size());
                    buffer_.append(bytes.substr(0, take));
                }
                bytes.remove_prefix(take);
                at_ += take;
                if (at_ == boundary) {
                    flush();
                    pauseDue_ = true; // a write of the reply ends here
                } else if (buffer_.size() >= ioBlock) {
                    flush();
                }
            }
            return !failed_ && (at_ < limit_ || !cut_);
        }
        Reply(const Reply&) = delete;
        Reply& operator=(const Reply&) = delete;
        ~Reply() { session_.reply_.reset(); }
        // True when the connection goes on after the reply.
        bool finish() {
            flush();
            if (failed_)
                return false;
            if (cut_) {
                session_.log("closing after " + std::to_string(limit_) + " bytes, as asked");
                return false;
            }
            return true;
        }

    private:
        std::uint64_t nextCut() const {
            std::uint64_t next = limit_;
            if (options_.chunkSize > 0)
                next = std::min<std::uint64_t>(next,
                                               (at_ / options_.chunkSize + 1) * options_.chunkSize);
            if (options_.splitAt > at_)
                next = std::min<std::uint64_t>(next, options_.splitAt);
            return next;
        }
        void emit(std::string_view bytes) {
            if (failed_)
                return;
            if (pauseDue_ && options_.pause.count() > 0)
                std::this_thread::sleep_for(options_.pause);
            pauseDue_ = false;
            failed_ = !session_.write(bytes.data(), bytes.size());
        }
        void flush() {
            if (!buffer_.empty())
                emit(buffer_);
            buffer_.clear();
        }

        Session& session_;
        const ServerOptions& options_;
        std::uint64_t limit_;
        bool cut_ = false;
        std::uint64_t at_ = 0;
        std::string buffer_;
        bool pauseDue_ = false;
        bool failed_ = false;
    };

    void log(const std::string& text) { server_.log(peer_ + " " + text); }

    enum class Wait { ready, timedOut, ended };
    // Waits until the socket is ready for `events`, `limit` passes, the server stops or the
    // session is dropped to make room. Meanwhile the accept loop sees the session as waiting on
    // a client that is behind since `behind`.
    Wait waitFor(short events, std::chrono::milliseconds limit,
                 std::chrono::steady_clock::time_point behind) {
        running_.behindSince = steadyMs(behind);
        struct Busy {
            std::atomic<std::int64_t>& since;
            ~Busy() { since = notWaiting; }
        } busy{running_.behindSince};
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            pollfd waiting[3] = {{socket_, events, 0},
                                 {server_.stopPipe_[0], POLLIN, 0},
                                 {running_.evict.get(), POLLIN, 0}};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            int ready = ::poll(waiting, 3, static_cast<int>(std::max<long long>(0, left.count())));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || waiting[1].revents)
                return Wait::ended;
            if (waiting[2].revents) {
                evicted_ = true;
                return Wait::ended;
            }
            return ready == 0 ? Wait::timedOut : Wait::ready;
        }
    }

    // Since when the client of `transfer` is behind: its start plus its bytes at the lowest rate.
    // A client awaited for a new request is behind from now on.
    std::chrono::steady_clock::time_point
    behindFrom(const std::optional<Transfer>& transfer) const {
        using namespace std::chrono;
        if (!transfer)
            return steady_clock::now();
        return transfer->started +
               milliseconds(transfer->bytes * 1000 / std::max<std::size_t>(1, options_.minRate));
    }

    // How long the next wait may last: the idle time-out, or less when `transfer` must end
    // sooner (`late`). A request or a reply, once begun, must go within the request time-out plus
    // its bytes at the lowest rate, so that a client trickling its bytes or reading a reply a
    // little at a time is dropped like a silent one.
    std::chrono::milliseconds waitLimit(const std::optional<Transfer>& transfer, bool& late) const {
        using namespace std::chrono;
        late = false;
        if (!transfer)
            return options_.idleTimeout;
        auto allowed =
            options_.requestTimeout +
            milliseconds(transfer->bytes * 1000 / std::max<std::size_t>(1, options_.minRate));
        auto left = duration_cast<milliseconds>(transfer->started + allowed - steady_clock::now());
        if (left >= options_.idleTimeout)
            return options_.idleTimeout;
        late = true;
        return std::max(left, milliseconds(0));
    }

    void logTooSlow(const char* what, const Transfer& transfer) {
        using namespace std::chrono;
        log(std::string(what) + " too slow (" + std::to_string(transfer.bytes) + " bytes in " +
            std::to_string(
                duration_cast<milliseconds>(steady_clock::now() - transfer.started).count()) +
            " ms), closing");
    }

    bool fill() {
        bool late;
        switch (waitFor(POLLIN, waitLimit(request_, late), behindFrom(request_))) {
        case Wait::ready:
            break;
        case Wait::timedOut:
            if (late)
                logTooSlow("request", *request_);
            else
                log("idle for " + std::to_string(options_.idleTimeout.count()) + " ms, closing");
            return false;
        case Wait::ended:
            return false;
        }
        char block[ioBlock];
        ssize_t got = ::recv(socket_, block, sizeof block, 0);
        peerClosed_ = got == 0;
        if (got <= 0)
            return false;
        input_.append(block, static_cast<std::size_t>(got));
        if (request_)
            request_->bytes += static_cast<std::size_t>(got);
        return true;
    }

    bool readLine(std::string& line) {
        // A line is measured whether it arrives in pieces or whole, with its line feed.
        std::size_t feed;
        while ((feed = input_.find('\n')) == std::string::npos && input_.size() <= maxRequestLine)
            if (!fill())
                return false;
        if (feed == std::string::npos || feed > maxRequestLine) {
            log("request line too long, closing");
            return false;
        }
        line = input_.substr(0, feed);
        input_.erase(0, feed + 1);
        return true;
    }

    bool write(const char* bytes, std::size_t length) {
        while (length > 0) {
            ssize_t sent = ::send(socket_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                bytes += sent;
                length -= static_cast<std::size_t>(sent);
                if (reply_)
                    reply_->bytes += static_cast<std::size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return false;
            bool late;
            Wait wait = waitFor(POLLOUT, waitLimit(reply_, late), behindFrom(reply_));
            if (wait == Wait::timedOut && late)
                logTooSlow("reply", *reply_);
            else if (wait == Wait::timedOut)
                log("not reading for " + std::to_string(options_.idleTimeout.count()) +
                    " ms, closing");
            if (wait != Wait::ready)
                return false;
        }
        return true;
    }

    bool send(char command, std::string_view bytes) {
        Reply reply(*this, command, bytes.size());
        reply.put(bytes);
        return reply.finish();
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
            switch (server_.store_->login(user, password, server_.stopping_)) {
            case Store::Login::accepted:
                accepted = true;
                break;
            case Store::Login::created:
                accepted = true;
                why = "new account";
                break;
            case Store::Login::refused:
                why = "wrong password";
                break;
            case Store::Login::failed:
                why = "cannot check the password now";
                break;
            }
        }
        std::fill(password.begin(), password.end(), '\0');
        if (accepted)
            account_ = user;
        log("L " + printable(user) + (accepted ? ": accepted" : ": refused") +
            (why.empty() ? "" : " (" + why + ")"));
        return send('L', accepted ? "OK\n" : "Login failed\n");
    }

    bool distributionList() {
        std::string text, error;
        std::vector<Catalog::Distribution> distributions;
        if (!server_.catalog_->distributions(distributions, error)) {
            log("D: " + error + ", closing");
            return false;
        }
        for (const auto& distribution : distributions)
            text += std::to_string(distribution.number) + " " + distribution.name + "\n";
        text += "D\n";
        std::string version = std::to_string(options_.wdbVersion) + "\n";
        log("D: " + std::to_string(distributions.size()) + " distributions, WDB version " +
            std::to_string(options_.wdbVersion));
        if (!options_.splitVersion)
            return send('D', text + version);
        if (!send('D', text))
            return false;
        // The version follows only once the client has moved on, so it never arrives with "D".
        if (waitFor(POLLIN, std::chrono::milliseconds(5000), std::chrono::steady_clock::now()) ==
            Wait::ended)
            return false;
        return write(version.data(), version.size());
    }

    bool patchList(int number) {
        if (!requested_.empty()) {
            log("P " + std::to_string(number) + " with file requests pending, closing");
            return false;
        }
        std::string error;
        int filesRead = 0;
        manifest_ = server_.catalog_->manifest(number, error, filesRead);
        if (!manifest_) {
            log("P " + std::to_string(number) + ": " + error + ", closing");
            return false;
        }
        asked_.assign(manifest_->entries.size(), false);
        log("P " + std::to_string(number) + ": " + std::to_string(manifest_->entries.size()) +
            " files, " + std::to_string(manifest_->patchList.size()) + " bytes" +
            (filesRead ? ", " + std::to_string(filesRead) + " files read" : ""));
        return send('P', manifest_->patchList);
    }

    bool fileRequest() {
        std::string path;
        if (!readLine(path))
            return false;
        std::string normal = path;
        std::replace(normal.begin(), normal.end(), '\\', '/');
        auto found = manifest_ ? manifest_->byPath.find(normal)
                               : std::unordered_map<std::string, std::size_t>::const_iterator();
        if (!manifest_ || found == manifest_->byPath.end()) {
            log("c " + printable(path) + ": not in the patch list, closing");
            return false;
        }
        // Each file at most once per batch: the pending requests stay within the patch list.
        if (asked_[found->second]) {
            log("c " + printable(path) + ": asked twice, closing");
            return false;
        }
        asked_[found->second] = true;
        requested_.push_back(found->second);
        return true;
    }

    bool sendFiles() {
        std::uint64_t total = 0;
        for (std::size_t index : requested_)
            total += manifest_->entries[index].packedSize;
        log("C: " + std::to_string(requested_.size()) + " files, " + std::to_string(total) +
            " bytes");
        std::vector<std::size_t> requests;
        requests.swap(requested_);
        if (manifest_)
            asked_.assign(manifest_->entries.size(), false);
        Reply reply(*this, 'C', total);
        for (std::size_t index : requests) {
            const Catalog::Entry& entry = manifest_->entries[index];
            bool corrupt = entry.path == options_.corruptPath;
            auto sent = server_.catalog_->send(entry, [&](std::string_view bytes) {
                if (corrupt && !bytes.empty()) {
                    corrupt = false;
                    if (!reply.put(std::string_view("\0", 1))) // fails zlib's header check
                        return false;
                    bytes.remove_prefix(1);
                }
                return reply.put(bytes);
            });
            if (sent == Catalog::Sent::changed) {
                log("C: " + printable(entry.path) + " changed since the patch list, closing");
                reply.finish();
                return false;
            }
            if (sent == Catalog::Sent::stopped)
                break;
        }
        return reply.finish();
    }

    // Inflates the upload as it arrives, into at most `uploadMax` bytes. It is read whole before
    // the next request; one that is not stored ends the connection, so that the client keeps
    // what it sent.
    bool upload() {
        uploadPending_ = true;
        // From here on an end of the server, even a kill, resets the connection: the kernel
        // closes an abortive socket so.
        linger abort{1, 0};
        ::setsockopt(socket_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        std::string countLine;
        if (!readLine(countLine))
            return false;
        if (!isDigits(countLine) || countLine.size() > 9 || std::stoul(countLine) > maxUpload) {
            log("Z " + printable(countLine) + ": bad length, closing");
            return false;
        }
        std::size_t remaining = std::stoul(countLine);
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) {
            log("Z: cannot inflate, closing");
            return false;
        }
        std::string zeppelin, out(ioBlock, '\0');
        bool ended = false, broken = false, tooLarge = false;
        while (remaining > 0) {
            if (input_.empty() && !fill()) {
                inflateEnd(&stream);
                log("Z: upload cut short");
                return false;
            }
            std::size_t take = std::min(remaining, input_.size());
            if (!ended && !broken && !tooLarge) {
                stream.next_in = reinterpret_cast<Bytef*>(input_.data());
                stream.avail_in = static_cast<uInt>(take);
                do {
                    stream.next_out = reinterpret_cast<Bytef*>(out.data());
                    stream.avail_out = static_cast<uInt>(out.size());
                    int result = inflate(&stream, Z_NO_FLUSH);
                    std::size_t produced = out.size() - stream.avail_out;
                    if (zeppelin.size() + produced > options_.uploadMax) {
                        tooLarge = true;
                        std::string().swap(zeppelin);
                        break;
                    }
                    zeppelin.append(out.data(), produced);
                    if (result == Z_STREAM_END) {
                        ended = true;
                        break;
                    }
                    if (result != Z_OK && result != Z_BUF_ERROR) {
                        broken = true;
                        break;
                    }
                } while (stream.avail_out == 0);
            }
            input_.erase(0, take);
            remaining -= take;
        }
        inflateEnd(&stream);
        std::string summary;
        std::string refused;
        if (tooLarge)
            refused = "more than " + std::to_string(options_.uploadMax) + " bytes inflated";
        else if (!ended || broken || !validZeppelin(zeppelin, summary))
            refused = "malformed";
        else if (account_.empty())
            refused = "no login";
        if (!refused.empty()) {
            log("Z " + countLine + ": " + refused + ", upload refused, closing");
            return false;
        }
        std::string path;
        std::string from = "Z " + countLine + " from " + printable(account_) + " at " + address_;
        Store::Quotas quotas{options_.dailyQuota, options_.anonymousQuota,
                             options_.anonymousCeiling};
        Store::Stored stored = server_.store_->storeUpload(
            {account_, address_, zeppelin, std::stoul(countLine)}, quotas, path);
        switch (stored) {
        case Store::Stored::stored:
        case Store::Stored::duplicate:
            log(from + ": " + summary +
                (stored == Store::Stored::stored ? " -> " : ", already stored as ") + path);
            uploadPending_ = false;
            uploadStored_ = true;
            return true;
        case Store::Stored::overQuota:
            refused = "over the daily quota of " + std::to_string(quotas.perAccount) + " bytes";
            break;
        case Store::Stored::overAddressQuota:
            refused = "over the anonymous quota of " + std::to_string(quotas.anonymousPerAddress) +
                      " bytes for " + address_;
            break;
        case Store::Stored::overCeiling:
            refused = "over the ceiling of " + std::to_string(quotas.anonymousCeiling) +
                      " bytes for all anonymous uploads";
            break;
        case Store::Stored::failed:
            refused = summary + " could not be stored";
            break;
        }
        log(from + ": " + refused + ", upload refused, closing");
        return false;
    }

    ReferenceServer& server_;
    Running& running_;
    int socket_;
    ServerOptions options_;
    std::string address_; // the client's IPv4 address
    std::string peer_;    // with its port, for the log
    std::string input_;
    std::optional<Transfer> request_; // the request being read, if any
    std::optional<Transfer> reply_;   // the reply being written, if any
    bool uploadPending_ = false;      // an upload was begun and not stored
    bool uploadStored_ = false;       // an upload was stored (or known already)
    bool peerClosed_ = false;         // the last receive found the client's end
    bool clientEnded_ = false;        // the client ended its side between two requests
    bool evicted_ = false;            // dropped to make room for another connection
    std::string account_;
    std::shared_ptr<const Catalog::Manifest> manifest_; // of the last patch list sent
    std::vector<bool> asked_;                           // per file of it, in this batch
    std::vector<std::size_t> requested_;                // in request order
};

ReferenceServer::ReferenceServer(ServerOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)),
      catalog_(std::make_unique<Catalog>(options_.root, options_.fileCache)) {}

ReferenceServer::~ReferenceServer() {
    stop();
}

void ReferenceServer::log(const std::string& line) {
    std::lock_guard guard(logLock_);
    if (log_)
        log_(line);
}

std::vector<std::string> ReferenceServer::accounts() {
    return store_ ? store_->accounts() : std::vector<std::string>{};
}

bool ReferenceServer::start(std::string& error) {
    store_ = std::make_unique<Store>(options_.root, options_.maxHashing);
    Store::Opened opened;
    if (!store_->open(error, opened))
        return false;
    if (opened.converted > 0)
        log("converted " + std::to_string(opened.converted) + " accounts of " + options_.root +
            "/accounts into the database and removed the file");
    if (opened.adopted > 0)
        log("indexed " + std::to_string(opened.adopted) +
            " upload files of an earlier version that had no row");
    if (opened.swept > 0)
        log("removed " + std::to_string(opened.swept) +
            " upload files without a row (their clients were not told they were stored)");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + options_.address;
        return false;
    }
    // Non-blocking, so that the accept loop can try again after a shortage without blocking.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0 ||
        ::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot listen: ") + std::strerror(errno);
        for (int* fd : {&listener_, &wakePipe_[0], &wakePipe_[1], &stopPipe_[0], &stopPipe_[1]})
            if (*fd >= 0)
                ::close(std::exchange(*fd, -1));
        return false;
    }
    port_ = ntohs(address.sin_port);
    try {
        acceptThread_ = std::thread(&ReferenceServer::acceptLoop, this);
    } catch (const std::exception& failure) {
        error = std::string("cannot start: ") + failure.what();
        return false;
    }
    return true;
}

void ReferenceServer::wake() {
    char byte = 'w';
    // A full pipe already wakes the loop.
    [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &byte, 1);
}

void ReferenceServer::reapSessions(bool all) {
    std::lock_guard guard(sessionsLock_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        if (all || it->finished) {
            it->thread.join();
            it = sessions_.erase(it);
        } else {
            ++it;
        }
}

void ReferenceServer::acceptLoop() {
    // While descriptors (or memory) are short, or the server is full and a connection waits, the
    // listener stays readable: the loop then waits for a session to end or for a while instead of
    // spinning on it.
    int backoffMs = 0;
    bool short_ = false;
    bool full = false;
    while (!stopping_) {
        pollfd waiting[2] = {{wakePipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        int timeout = backoffMs > 0 ? backoffMs : full ? roomCheckMs : -1;
        int ready = ::poll(waiting, timeout >= 0 ? 1 : 2, timeout);
        if (ready < 0 && errno != EINTR) {
            log(std::string("poll: ") + std::strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (ready > 0 && (waiting[0].revents & POLLIN)) {
            char drain[256];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        reapSessions(false);
        if (stopping_)
            break;
        int maxSessions;
        {
            std::lock_guard guard(optionsLock_);
            maxSessions = options_.maxSessions;
        }
        if (activeSessions_ >= maxSessions && activeSessions_ - leavingSessions() >= maxSessions) {
            // At the cap a connection waits in the backlog, and while one waits a session that
            // keeps it waiting is dropped to make room.
            pollfd listener{listener_, POLLIN, 0};
            full = ::poll(&listener, 1, 0) > 0 && (listener.revents & POLLIN);
            if (full)
                makeRoom(maxSessions);
            continue;
        }
        full = false;
        if (backoffMs == 0 && !(ready > 0 && (waiting[1].revents & POLLIN)))
            continue;

        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        // A session needs a descriptor besides its socket: both or neither.
        UniqueFd evict(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        int socket =
            evict ? ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC)
                  : -1;
        if (socket < 0) {
            int error = errno;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                if (!short_)
                    log(std::string("cannot accept: ") + std::strerror(error) +
                        "; waiting for sessions to end");
                short_ = true;
                backoffMs = std::min(backoffMs > 0 ? backoffMs * 2 : 10, 1000);
            } else if (error == EAGAIN || error == EWOULDBLOCK) {
                backoffMs = 0; // nothing pending: the listener may be watched again
            } else if (error != EINTR && error != ECONNABORTED && error != EPROTO &&
                       error != EPERM) {
                log(std::string("cannot accept: ") + std::strerror(error));
                backoffMs = 100;
            }
            continue;
        }
        backoffMs = 0;
        if (short_)
            log("accepting again");
        short_ = false;
        try {
            char text[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            startSession(socket, std::move(evict), text,
                         std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
        } catch (const std::exception& failure) {
            ::close(socket);
            try {
                log(std::string("cannot take a connection: ") + failure.what());
            } catch (...) {
            }
        }
    }
}

void ReferenceServer::startSession(int socket, UniqueFd evict, const std::string& address,
                                   const std::string& peer) {
    ServerOptions options;
    {
        std::lock_guard guard(optionsLock_);
        options = options_;
    }
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::lock_guard guard(sessionsLock_);
    Running& running = sessions_.emplace_back();
    running.socket = socket;
    running.address = address;
    running.peer = peer;
    running.evict = std::move(evict);
    ++activeSessions_;
    try {
        running.thread = std::thread([this, &running, socket, options] {
            bool orderly = false;
            try {
                Session session(*this, running, socket, options);
                session.run();
                orderly = session.endsInOrder() && !stopping_;
            } catch (const std::exception& failure) {
                // A resource it could not have ends this session only.
                try {
                    log(running.peer + " ended: " + failure.what());
                } catch (...) {
                }
            }
            {
                std::lock_guard closing(sessionsLock_);
                if (orderly) {
                    linger keep{0, 0};
                    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &keep, sizeof keep);
                    ::shutdown(socket, SHUT_RDWR);
                } else {
                    // A reset, never the orderly close that tells a client all was read.
                    linger abort{1, 0};
                    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                }
                ::close(socket);
                running.socket = -1;
            }
            running.finished = true;
            --activeSessions_;
            wake();
        });
    } catch (const std::exception& failure) {
        sessions_.pop_back();
        --activeSessions_;
        ::close(socket);
        log(peer + " refused: cannot start a session (" + failure.what() + ")");
    }
}

// Sessions whose client has hung up, or that were told to make room: they end as soon as their
// thread runs, and so do not count against the cap (under load that may take a while after a
// client's last pass).
int ReferenceServer::leavingSessions() {
    std::vector<pollfd> sockets;
    int evicted = 0;
    {
        std::lock_guard guard(sessionsLock_);
        for (const Running& running : sessions_)
            if (running.socket >= 0 && !running.finished) {
                if (running.evicted)
                    ++evicted;
                else
                    sockets.push_back({running.socket, POLLRDHUP, 0});
            }
    }
    // A socket closed meanwhile reports POLLNVAL, and its session is leaving too.
    if (::poll(sockets.data(), sockets.size(), 0) <= 0)
        return evicted;
    return evicted +
           static_cast<int>(std::count_if(sockets.begin(), sockets.end(), [](const pollfd& p) {
               return p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL);
           }));
}

// Drops the session whose client has kept it waiting longest, once that is past the grace time,
// so that a connection waiting at the cap is served: a few clients that trickle their bytes or
// say nothing cannot hold every session. A source address that holds more than its share (an
// eighth of the cap) counts as waiting a grace time longer, so that a few addresses cannot take
// every session with requests that are merely quick. Nothing when no session may be dropped yet.
void ReferenceServer::makeRoom(int maxSessions) {
    std::int64_t now = steadyMs(std::chrono::steady_clock::now());
    std::size_t share = static_cast<std::size_t>(std::max(1, (maxSessions + 7) / 8));
    std::lock_guard guard(sessionsLock_);
    auto live = [](const Running& running) {
        return running.socket >= 0 && !running.finished && !running.evicted;
    };
    std::unordered_map<std::string, std::size_t> held;
    for (const Running& running : sessions_)
        if (live(running))
            ++held[running.address];
    Running* victim = nullptr;
    std::int64_t longest = 0, waited = 0;
    for (Running& running : sessions_) {
        std::int64_t since = running.behindSince;
        if (!live(running) || since == notWaiting)
            continue;
        std::int64_t behind = now - since + (held[running.address] > share ? evictionGraceMs : 0);
        if (behind >= evictionGraceMs && behind > longest) {
            victim = &running;
            longest = behind;
            waited = now - since;
        }
    }
    if (!victim)
        return;
    victim->evicted = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(victim->evict.get(), &one, sizeof one);
    log(victim->peer + " dropped to make room for a waiting connection (" +
        std::to_string(maxSessions) + " sessions, the cap): its client kept it waiting for " +
        std::to_string(std::max<std::int64_t>(0, waited)) + " ms" +
        (held[victim->address] > share
             ? ", and its address holds " + std::to_string(held[victim->address]) +
                   " sessions (its share: " + std::to_string(share) + ")"
             : ""));
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
    wake();
    // Every session wakes and ends with a reset: none sends the orderly close that would tell
    // its client an upload was taken.
    char byte = 's';
    [[maybe_unused]] ssize_t ignored = ::write(stopPipe_[1], &byte, 1);
    if (acceptThread_.joinable())
        acceptThread_.join();
    // Only the accept loop, which has ended, changes the list itself.
    for (Running& running : sessions_)
        running.thread.join();
    sessions_.clear();
    ::close(listener_);
    for (int fd : {wakePipe_[0], wakePipe_[1], stopPipe_[0], stopPipe_[1]})
        if (fd >= 0)
            ::close(fd);
    listener_ = -1;
}

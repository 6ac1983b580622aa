#pragma once

#include "base/fs.h"
#include "base/wire_format.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A server of ours that speaks the service's protocol, for tests, benchmarks, demonstrations and
// for maintainers who publish distributions. It serves the distributions found under its root:
//
//   ROOT/distributions/<number> <display name>/...   the files of each distribution
//   ROOT/server.db                                     accounts (Argon2id hashes), upload index
//   ROOT/uploads/<sequence>-<account>.zeppelin         every upload received, inflated
//
// A plain `ROOT/accounts` file of an earlier version (name and password lines) is converted into
// the database on start and then removed.
struct ServerOptions {
    std::string root;
    std::string address = "127.0.0.1";
    std::uint16_t port = defaultServerPort; // 0: any free port
    std::int32_t wdbVersion = 1;

    // Limits. A connection takes them when it starts; the accept loop reads the session cap
    // afresh for every connection.
    // Sessions at once. At the cap a new connection waits in the listen backlog, and the session
    // that has waited on its client the longest (an address over an eighth of the cap counts as
    // waiting longer) is dropped to make room.
    int maxSessions = 256;
    std::chrono::milliseconds idleTimeout{60000}; // a silent or stalled client is dropped
    // A request, once begun, must arrive whole within this time plus its bytes at `minRate`
    // bytes a second, and so must a reply be read, so that a client trickling its bytes or
    // reading a little at a time is dropped like a silent one.
    std::chrono::milliseconds requestTimeout{10000};
    std::size_t minRate = 4096;
    std::size_t uploadMax = 1 << 20;   // largest upload kept, inflated bytes
    std::size_t dailyQuota = 64 << 20; // inflated bytes one account may upload a day
    // Anonymous uploads share one account: each source address has a quota of its own, and all
    // of them together a high ceiling.
    std::size_t anonymousQuota = 64 << 20;
    std::size_t anonymousCeiling = std::size_t(1) << 30;
    std::size_t fileCache = 64 << 20; // compressed files kept in memory (fixed at start)
    int maxHashing = 2; // password hashes computed at once, 64 MiB each (fixed at start)

    // Fault injection.
    std::size_t chunkSize = 0;          // send every reply in writes of this size
    std::chrono::milliseconds pause{0}; // pause between two writes of a reply
    long long closeAfter = -1;          // close after this many bytes of a reply ...
    char closeOn = 'C';                 // ... to this command
    std::string corruptPath;            // spoil this file's zlib stream (path with '/')
    bool splitVersion = false;          // send the version line after the client's next bytes
    std::size_t splitAt = 0;            // send every reply in two writes, cut here
};

class ReferenceServer {
public:
    using Log = std::function<void(const std::string&)>;

    ReferenceServer(ServerOptions options, Log log);
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;
    ~ReferenceServer();

    // Opens the database (converting an old accounts file) and starts listening.
    bool start(std::string& error);
    // Stops listening, ends every session and waits for their threads.
    void stop();
    std::uint16_t port() const { return port_; }
    // Waits until every connection has ended and its requests are handled; false after
    // `timeout`.
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    // The names of the accounts in the database, sorted.
    std::vector<std::string> accounts();
    // Options may be changed between connections (tests do, and so does SIGHUP in the server's
    // program): server.options()->chunkSize = 10. Every connection takes a copy of them when it
    // starts. The root, the address and the port never change once started.
    class OptionsEdit {
    public:
        OptionsEdit(std::mutex& lock, ServerOptions& options) : guard_(lock), options_(options) {}
        ServerOptions* operator->() { return &options_; }

    private:
        std::lock_guard<std::mutex> guard_;
        ServerOptions& options_;
    };
    OptionsEdit options() { return {optionsLock_, options_}; }

    class Catalog;
    class Store;
    class Session;

private:
    void acceptLoop();
    void startSession(int socket, UniqueFd evict, const std::string& address,
                      const std::string& peer);
    void reapSessions(bool all);
    int leavingSessions();
    void makeRoom(int maxSessions);
    void wake();
    void log(const std::string& line);

    ServerOptions options_; // guarded by optionsLock_, but for the root, which never changes
    std::mutex optionsLock_;
    Log log_;
    std::mutex logLock_;
    std::unique_ptr<Catalog> catalog_;
    std::unique_ptr<Store> store_;
    int listener_ = -1;
    // Written to on stop and whenever a session ends, so that the accept loop reaps at once.
    int wakePipe_[2] = {-1, -1};
    // Written to once on stop and never read: readable from then on, it wakes every session.
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> activeSessions_{0};

    static constexpr std::int64_t notWaiting = INT64_MAX;
    struct Running {
        int socket; // -1 once the session has closed it; guarded by sessionsLock_
        std::string address, peer;
        std::thread thread;
        std::atomic<bool> finished{false};
        // While the session waits on its client: since when (steady clock, ms) its client is
        // behind, what its bytes at the lowest rate do not pay for. notWaiting otherwise.
        std::atomic<std::int64_t> behindSince{notWaiting};
        bool evicted = false; // guarded by sessionsLock_
        UniqueFd evict;       // an eventfd: readable once the session is to make room
    };
    std::mutex sessionsLock_;
    std::list<Running> sessions_;

    friend class Session;
};

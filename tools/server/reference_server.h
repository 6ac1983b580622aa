#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A small server of ours that speaks the service's protocol, for tests, benchmarks and
// demonstrations. It serves the distributions found under its root directory:
//
//   ROOT/distributions/<number> <display name>/...   the files of each distribution
//   ROOT/accounts                                      accounts, made on first login
//   ROOT/uploads/<sequence>-<account>.zeppelin         every upload received, inflated
struct ServerOptions {
    std::string root;
    std::string address = "127.0.0.1";
    std::uint16_t port = 8087; // 0: any free port
    std::int32_t wdbVersion = 1;

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

    bool start(std::string& error);
    // Stops listening, ends every session and waits for their threads.
    void stop();
    std::uint16_t port() const { return port_; }
    // Waits until every connection has ended and its requests are handled; false after
    // `timeout`.
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    // Options may be changed between connections (tests do): server.options()->chunkSize = 10.
    // Every connection takes a copy of them when it starts.
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
    class Session;

private:
    void acceptLoop();
    void log(const std::string& line);

    ServerOptions options_; // guarded by optionsLock_, but for the root, which never changes
    std::mutex optionsLock_;
    Log log_;
    std::mutex logLock_;
    std::unique_ptr<Catalog> catalog_;
    int listener_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> activeSessions_{0};

    struct Running {
        int socket;
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    std::mutex sessionsLock_;
    std::list<Running> sessions_;
    std::mutex accountsLock_;
    std::atomic<int> uploadSequence_{0};

    friend class Session;
};

#include "harness/content.h"
#include "harness/process_figures.h"
#include "tests/support/process.h"
#include "tests/support/test_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true; // their shadow memory and quarantine swamp the peaks measured
#else
constexpr bool sanitized = false;
#endif

// A bare client that sends raw bytes and reads what comes back until the server closes or stays
// silent for a while.
class RawClient {
public:
    // From `source`, another address of the loopback network when given.
    explicit RawClient(std::uint16_t port, const char* source = nullptr) {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        if (source) {
            ::inet_pton(AF_INET, source, &address.sin_addr);
            ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(socket_); }
    bool connected() const { return connected_; }
    int socket() const { return socket_; }
    void shutdownSending() { ::shutdown(socket_, SHUT_WR); }
    // Reads until the connection ends (bounded by 20 s) and tells how: "orderly" (the server
    // closed after reading everything), "reset" or "silent".
    std::string ending(std::string* data = nullptr) {
        for (;;) {
            pollfd waiting{socket_, POLLIN, 0};
            if (::poll(&waiting, 1, 20000) <= 0)
                return "silent";
            char block[65536];
            ssize_t got = ::recv(socket_, block, sizeof block, 0);
            if (got == 0)
                return "orderly";
            if (got < 0)
                return errno == ECONNRESET ? "reset" : std::strerror(errno);
            if (data)
                data->append(block, static_cast<std::size_t>(got));
        }
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // For requests the server may refuse half-way.
    void sendAnyway(const std::string& bytes) {
        [[maybe_unused]] ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // Everything until the server closes (closed = true) or `silence` without a byte.
    std::string read(bool& closed, std::chrono::milliseconds silence = 300ms) {
        std::string data;
        closed = false;
        for (;;) {
            pollfd waiting{socket_, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(silence.count())) <= 0)
                return data;
            char block[65536];
            ssize_t got = ::recv(socket_, block, sizeof block, 0);
            if (got <= 0) {
                closed = true;
                return data;
            }
            data.append(block, static_cast<std::size_t>(got));
        }
    }
    // Reads until `text` has arrived (or the server closed, or 10 s went by).
    std::string readUntil(const std::string& text) {
        std::string data;
        while (data.find(text) == std::string::npos) {
            pollfd waiting{socket_, POLLIN, 0};
            char block[65536];
            ssize_t got =
                ::poll(&waiting, 1, 10000) > 0 ? ::recv(socket_, block, sizeof block, 0) : 0;
            if (got <= 0)
                break;
            data.append(block, static_cast<std::size_t>(got));
        }
        return data;
    }
    // Counts the bytes that arrive until `count` did, the server closed or 20 s went by.
    std::size_t drain(std::size_t count) {
        std::size_t total = 0;
        while (total < count) {
            pollfd waiting{socket_, POLLIN, 0};
            char block[65536];
            ssize_t got =
                ::poll(&waiting, 1, 20000) > 0 ? ::recv(socket_, block, sizeof block, 0) : 0;
            if (got <= 0)
                break;
            total += static_cast<std::size_t>(got);
        }
        return total;
    }

private:
    int socket_ = -1;
    bool connected_ = false;
};

std::string uploadRequest(const std::string& zeppelin) {
    std::string packed = deflated(zeppelin);
    return "Z\n" + std::to_string(packed.size()) + "\n" + packed;
}

bool servesOn(std::uint16_t port) {
    RawClient client(port);
    if (!client.connected())
        return false;
    client.sendAnyway("D\n");
    return client.readUntil("D\n").find("D\n") != std::string::npos;
}

bool stillServes(TestServer& server) {
    return servesOn(server.port());
}

bool contains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    });
}

// How a connection ends that sends `requests` and then, with `shutdown`, shuts down its side.
std::string endingAfter(std::uint16_t port, const std::string& requests, bool shutdown = true) {
    RawClient client(port);
    client.send(requests);
    if (shutdown)
        client.shutdownSending();
    return client.ending();
}

std::string table(std::size_t length, char fill = 'x') {
    std::string text = "Mirelgan_Data = {\n";
    while (text.size() + 3 < length)
        text += fill;
    return text + "\n}\n";
}

std::string zeppelinOf(std::size_t tableLength, char fill = 'x') {
    std::string text = table(tableLength, fill);
    return "Mirelgan_Data " + std::to_string(text.size()) + "\n" + text;
}

// The pelvar-server program as a child process, with its log lines collected as they come.
class ServerChild {
public:
    // `wrapper`: a command that runs the server (strace, to attack it).
    explicit ServerChild(std::vector<std::string> arguments, rlim_t maxFiles = 0,
                         std::vector<std::string> wrapper = {}) {
        arguments.insert(arguments.begin(), PELVAR_SERVER);
        arguments.insert(arguments.begin(), wrapper.begin(), wrapper.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // A group of its own, so that a wrapper and the server stop together.
            ::setpgid(0, 0);
            ::dup2(err[1], 2);
            rlimit limit{maxFiles, maxFiles};
            if (maxFiles > 0)
                ::setrlimit(RLIMIT_NOFILE, &limit);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::setpgid(pid_, pid_); // as the child does, whichever comes first
        ::close(err[1]);
        reader_ = std::thread([this, fd = err[0]] {
            std::string pending;
            char block[4096];
            ssize_t got;
            while ((got = ::read(fd, block, sizeof block)) > 0) {
                pending.append(block, static_cast<std::size_t>(got));
                std::lock_guard guard(lock_);
                for (std::size_t feed; (feed = pending.find('\n')) != std::string::npos;) {
                    log_.push_back(pending.substr(0, feed));
                    pending.erase(0, feed + 1);
                }
                arrived_.notify_all();
            }
            ::close(fd);
        });
        std::string line;
        if (waitFor(" serving ", &line))
            port_ = static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }
    ~ServerChild() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            auto deadline = std::chrono::steady_clock::now() + 10s;
            while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ADD_FAILURE() << "pelvar-server did not stop on SIGTERM";
                    ::kill(-pid_, SIGKILL);
                    ::waitpid(pid_, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
        }
        if (reader_.joinable())
            reader_.join();
    }
    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Waits up to 10 s for a log line holding `text`.
    bool waitFor(const std::string& text, std::string* found = nullptr) {
        std::unique_lock guard(lock_);
        return arrived_.wait_for(guard, 10s, [&] {
            for (const std::string& line : log_)
                if (line.find(text) != std::string::npos) {
                    if (found)
                        *found = line;
                    return true;
                }
            return false;
        });
    }
    // A value of /proc/PID/status in KiB, e.g. VmHWM (the peak resident memory).
    long statusKiB(const std::string& name) const { return processStatusKiB(pid_, name); }
    // CPU time used so far, in seconds.
    double cpuSeconds() const { return processCpuSeconds(pid_); }

private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<std::string> log_;
};

// Rows of a query on the server's database, columns joined by '|'.
std::vector<std::string> query(const std::string& database, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i)
                row.append(i ? "|" : "")
                    .append(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
            rows.push_back(row);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

// The server in this process on `root`, started on a port of its own choosing; null (with a
// failure) when it cannot start.
std::unique_ptr<ReferenceServer> startedOn(const std::string& root, ServerOptions options = {}) {
    options.root = root;
    options.port = 0;
    auto server = std::make_unique<ReferenceServer>(options, nullptr);
    std::string error;
    if (!server->start(error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return server;
}

} // namespace

TEST(ReferenceServer, AccountsKeepOnlyPasswordHashes) {
    {
        // An accounts file of an earlier version is converted on start.
        TempDir root("pelvar-server");
        writeFile(root / "accounts", "old\nplain-secret-1\nold\nsecond-record\n");
        auto server = startedOn(root.path());
        ASSERT_TRUE(server);
        EXPECT_FALSE(exists(root / "accounts"));
        EXPECT_EQ(server->accounts(), std::vector<std::string>{"old"});
        RawClient client(server->port());
        client.send("L\nold\nplain-secret-1\nL\nold\nsecond-record\n");
        EXPECT_EQ(client.readUntil("OK\nLogin failed\n"), "OK\nLogin failed\n");
    }
    TestServer server;
    // One written while the server runs is taken in at the next login.
    writeFile(server.root() + "/accounts", "thrall\nhorde-secret\n");
    {
        RawClient client(server.port());
        client.send("L\nthrall\nalliance\nL\nanonymous\n\nL\n\nx\nL\nthrall\nhorde-secret\n"
                    "L\njaina\nproudmoore-secret\nL\njaina\nproudmoore-secret\n");
        std::string replies = "Login failed\nOK\nLogin failed\nOK\nOK\nOK\n";
        EXPECT_EQ(client.readUntil(replies), replies);
    }
    EXPECT_EQ(server.accounts(), (std::vector<std::string>{"jaina", "thrall"}));
    EXPECT_FALSE(exists(server.root() + "/accounts"));
    server.log();
    int hashes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(server.root()))
        if (entry.is_regular_file()) {
            std::string content = readFile(entry.path());
            for (const char* secret : {"horde-secret", "proudmoore-secret"})
                EXPECT_EQ(content.find(secret), std::string::npos) << secret << " in " << entry;
            for (std::size_t at = 0; (at = content.find("$argon2id$", at)) != std::string::npos;
                 ++at)
                ++hashes;
        }
    EXPECT_GE(hashes, 2);
}

TEST(ReferenceServer, ServesPatchListsAndFileDataFromACachedManifest) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.lua", "hello\n");
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.toc", "## Title: Foo\n");
    // Several blocks of input and output: streamed, it must still be what compress makes.
    std::mt19937 random(7);
    std::string big;
    while (big.size() < 300000)
        big += "local x" + std::to_string(random() % 5000) + " = " +
               (random() % 3 ? std::string(1, char('a' + random() % 26)) : "nil") + "\n";
    server.addFile("1 Standard", "Interface/AddOns/日本語/設定.lua", big);
    bool closed;
    std::string reply;
    {
        RawClient client(server.port());
        client.send("P 1\nc\nInterface\\AddOns\\Foo\\Foo.lua\n"
                    "c\nInterface\\AddOns\\日本語\\設定.lua\nC\nP 9\n");
        reply = client.read(closed);
    }
    std::string expectedList = "Interface\\AddOns\\Foo\\Foo.lua\n6 " +
                               std::to_string(deflated("hello\n").size()) +
                               "\nb1946ac92492d2347c6235b4d2611184\n"
                               "Interface\\AddOns\\Foo\\Foo.toc\n14 " +
                               std::to_string(deflated("## Title: Foo\n").size()) + "\n";
    ASSERT_EQ(reply.compare(0, expectedList.size(), expectedList), 0) << reply;
    std::size_t end = reply.find("\nD\n") + 3;
    EXPECT_TRUE(reply.substr(end) == deflated("hello\n") + deflated(big) + "D\n")
        << "file data, then an empty list";

    // Unchanged, the distribution is not read again; a changed file is, alone.
    {
        RawClient again(server.port());
        again.send("P 1\n");
        EXPECT_EQ(again.read(closed), reply.substr(0, end));
        server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.lua", "hello again\n");
        again.send("P 1\n");
        EXPECT_NE(again.read(closed).find("Foo.lua\n12 "), std::string::npos);
    }
    auto log = server.log();
    std::vector<std::string> lists;
    for (const std::string& line : log)
        if (line.find(" P 1: ") != std::string::npos)
            lists.push_back(line.substr(line.find(" P 1: ") + 6));
    ASSERT_EQ(lists.size(), 3u);
    EXPECT_NE(lists[0].find(", 3 files read"), std::string::npos) << lists[0];
    EXPECT_EQ(lists[1].find("files read"), std::string::npos) << lists[1];
    EXPECT_NE(lists[2].find(", 1 files read"), std::string::npos) << lists[2];
}

// An upload is read whole before the next request. One that is stored lets the connection go on
// and end in order; one that is refused is logged and the connection reset, so that a client which
// waits for the server's close before it lets go of its data keeps it. One its account sent before
// is known: taken, but neither stored nor counted again, whatever the quotas.
TEST(ReferenceServer, StoresValidUploadsAndResetsTheConnectionOnOthers) {
    ServerOptions options;
    options.uploadMax = 2000;
    options.dailyQuota = 3000;
    options.anonymousQuota = 3000;
    options.anonymousCeiling = 4000;
    TestServer server(options);
    std::string saved = "Mirelgan_Data = {\n}\n";
    std::string zeppelin = "Mirelgan_Data " + std::to_string(saved.size()) + "\n" + saved +
                           "itemcache.wdb 3\nabcquestcache.wdb 2\nxy";
    std::string bomb = "Mirelgan_Data 1048576\n" + std::string(1 << 20, '{');
    struct Case {
        const char* source;
        std::string login; // nothing: no login before the upload
        std::string upload;
        std::string logged; // the refusal, or the upload it is known as; empty: stored
    };
    const std::string anonymous = "L\nanonymous\n\n", thrall = "L\nthrall\nhorde\n";
    const std::string as = "already stored as " + server.root() + "/uploads/";
    const Case cases[] = {
        {"127.0.0.1", "", uploadRequest(zeppelin), ": no login, upload refused, closing"},
        {"127.0.0.1", anonymous, uploadRequest("itemcache.wdb 3\nabc"), ": malformed"},
        {"127.0.0.1", anonymous, uploadRequest("Mirelgan_Data 99\nshort"), ": malformed"},
        {"127.0.0.1", anonymous, uploadRequest(zeppelin + "trailing"), ": malformed"},
        {"127.0.0.1", anonymous, "Z\n5\nnope!", ": malformed"},
        {"127.0.0.1", anonymous, "Z\n99999999999\n", ": bad length, closing"},
        {"127.0.0.1", anonymous, uploadRequest(bomb), ": more than 2000 bytes inflated"},
        {"127.0.0.1", anonymous, uploadRequest(zeppelin), ""},
        {"127.0.0.1", anonymous, uploadRequest(zeppelinOf(1500)), ""},
        {"127.0.0.1", anonymous, uploadRequest(zeppelinOf(1500, 'y')),
         "over the anonymous quota of 3000 bytes for 127.0.0.1"},
        {"127.0.0.1", anonymous, uploadRequest(zeppelinOf(1500)), as + "000002"},
        {"127.0.0.1", anonymous, uploadRequest(zeppelinOf(300)), ""},
        // Another address has a quota of its own, up to the anonymous uploads' ceiling.
        {"127.0.0.2", anonymous, uploadRequest(zeppelinOf(1500, 'y')), ""},
        {"127.0.0.2", anonymous, uploadRequest(zeppelinOf(1000)),
         "over the ceiling of 4000 bytes for all anonymous uploads"},
        {"127.0.0.2", anonymous, uploadRequest(zeppelin), as + "000001"},
        {"127.0.0.2", thrall, uploadRequest(zeppelinOf(1000)), ""},
        {"127.0.0.1", thrall, uploadRequest(zeppelinOf(1000, 'y')), ""},
        {"127.0.0.1", thrall, uploadRequest(zeppelinOf(1000, 'z')),
         "over the daily quota of 3000 bytes"},
        {"127.0.0.1", thrall, uploadRequest(zeppelinOf(1000, 'y')), as + "000006"},
        // The same bytes from another account are its own upload.
        {"127.0.0.1", "L\njaina\nproudmoore\n", uploadRequest(zeppelinOf(1000, 'y')), ""},
    };
    std::size_t rows = 0;
    for (const Case& c : cases) {
        std::string what = "case " + std::to_string(&c - cases) + " " + c.logged;
        RawClient client(server.port(), c.source);
        if (!c.login.empty()) {
            client.send(c.login);
            ASSERT_EQ(client.readUntil("OK\n"), "OK\n") << what;
        }
        client.send(c.upload + "D\n");
        std::string data;
        if (c.logged.empty() || c.logged.starts_with(as)) {
            // The reply to the next request shows the upload taken.
            EXPECT_EQ(client.readUntil("D\n1\n"), "D\n1\n") << what;
            rows += c.logged.empty();
            EXPECT_EQ(query(server.root() + "/server.db", "SELECT COUNT(*) FROM uploads"),
                      std::vector<std::string>{std::to_string(rows)})
                << what;
            client.shutdownSending();
            EXPECT_EQ(client.ending(&data), "orderly") << what;
        } else {
            client.shutdownSending();
            EXPECT_EQ(client.ending(&data), "reset") << what;
        }
        EXPECT_TRUE(c.logged.empty() || contains(server.log(false), c.logged)) << what;
        EXPECT_EQ(data, "") << what;
    }
    EXPECT_EQ(server.uploads()[0], zeppelin);
    EXPECT_EQ(server.uploadNames().size(), rows);
    EXPECT_EQ(
        query(server.root() + "/server.db",
              "SELECT id, account, size, address, file FROM uploads ORDER BY id"),
        (std::vector<std::string>{"1|anonymous|75|127.0.0.1|uploads/000001-anonymous.zeppelin",
                                  "2|anonymous|1519|127.0.0.1|uploads/000002-anonymous.zeppelin",
                                  "3|anonymous|318|127.0.0.1|uploads/000003-anonymous.zeppelin",
                                  "4|anonymous|1519|127.0.0.2|uploads/000004-anonymous.zeppelin",
                                  "5|thrall|1019|127.0.0.2|uploads/000005-thrall.zeppelin",
                                  "6|thrall|1019|127.0.0.1|uploads/000006-thrall.zeppelin",
                                  "7|jaina|1019|127.0.0.1|uploads/000007-jaina.zeppelin"}));
    EXPECT_TRUE(stillServes(server));
}

// An upload whose file or name the disk did not take (its flush failed) is not stored, and the
// client learns it from a reset: it keeps its table.
TEST(ReferenceServer, ProgramRefusesAnUploadTheDiskDidNotTake) {
    for (const char* failing : {"uploads/000001-anonymous.zeppelin.part", "uploads"}) {
        TempDir root("pelvar-server");
        writeFile(root / "distributions/1 Standard/Interface/AddOns/Ä/Ä.lua", "a");
        ServerChild child({"--port", "0", root.path()}, 0,
                          {"strace", "-f", "-qq", "-o", "/dev/null", "-P", root / failing, "-e",
                           "trace=fsync", "-e", "inject=fsync:error=EIO"});
        ASSERT_NE(child.port(), 0) << failing;
        RawClient client(child.port());
        client.send("L\nanonymous\n\n");
        ASSERT_EQ(client.readUntil("OK\n"), "OK\n") << failing;
        client.send(uploadRequest(zeppelinOf(300)) + "D\n");
        std::string data;
        EXPECT_EQ(client.ending(&data), "reset") << failing;
        EXPECT_EQ(data, "") << failing;
        EXPECT_TRUE(child.waitFor("could not be stored")) << failing;
        EXPECT_FALSE(std::filesystem::exists(root / "uploads/000001-anonymous.zeppelin"))
            << failing;
    }
}

// The server killed at each step of storing an upload: its client sees a reset, not the orderly
// close that tells it the upload was read; after a restart the upload has its file and its row or
// neither, and sent again it is stored once (killed after the commit, the server knows it).
TEST(ReferenceServer, ProgramKilledWhileStoringAnUploadStoresItOnce) {
    const std::string zeppelin = zeppelinOf(5000, 'q');
    const std::string upload = "L\nanonymous\n\n" + uploadRequest(zeppelin);
    // The write-ahead log is made afresh: its header is flushed first, the commit second.
    for (auto [call, path, when] :
         {std::tuple{"rename", "uploads/000001-anonymous.zeppelin.part", "1"},
          {"fsync", "uploads", "1"},
          {"fdatasync", "server.db-wal", "2"}}) {
        TempDir root("pelvar-server");
        ServerChild({"--port", "0", root.path()}); // the database, before the attack
        {
            ServerChild child({"--port", "0", root.path()}, 0,
                              {"strace", "-f", "-qq", "-o", "/dev/null", "-P", root / path, "-e",
                               std::string("trace=") + call, "-e",
                               std::string("inject=") + call + ":signal=SIGKILL:when=" + when});
            ASSERT_NE(child.port(), 0) << call;
            EXPECT_EQ(endingAfter(child.port(), upload), "reset") << call;
        }
        ServerChild child({"--port", "0", root.path()});
        EXPECT_EQ(endingAfter(child.port(), upload), "orderly") << call;
        const std::vector<std::string> files = {"uploads/000001-anonymous.zeppelin"};
        EXPECT_EQ(query(root / "server.db", "SELECT file FROM uploads"), files) << call;
        for (const auto& entry : fs::directory_iterator(root / "uploads"))
            EXPECT_EQ("uploads/" + entry.path().filename().string(), files[0]) << call;
        EXPECT_EQ(readFile(root / files[0]), zeppelin) << call;
    }
}

// A server that stops resets its connections: none may look as if it had read an upload whole.
TEST(ReferenceServer, StopResetsTheConnections) {
    TempDir root("pelvar-server");
    auto server = startedOn(root.path());
    ASSERT_TRUE(server);
    RawClient uploading(server->port()), idle(server->port());
    uploading.send("L\nanonymous\n\n");
    EXPECT_EQ(uploading.readUntil("OK\n"), "OK\n");
    uploading.send("Z\n1000\nabc");
    idle.send("D\n");
    EXPECT_EQ(idle.readUntil("D\n1\n"), "D\n1\n");
    uploading.shutdownSending();
    std::thread stopping([&] { server->stop(); });
    EXPECT_EQ(uploading.ending(), "reset");
    EXPECT_EQ(idle.ending(), "reset");
    stopping.join();
}

// Once a session stored an upload, only its client's end between two requests closes it in order
// (the sign to a client that shut down its side that its upload was read): any other end is a
// reset, so that the client keeps its table and sends it again. Without an upload, as before.
TEST(ReferenceServer, AfterAStoredUploadOnlyTheClientsEndClosesInOrder) {
    ServerOptions options;
    options.idleTimeout = options.requestTimeout = 300ms;
    TestServer server(options);
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    // Offered, but its manifest cannot be made.
    writeFile(server.root() + "/distributions/7 Kaputt", "not a directory");
    // After an upload: requests, whether the client then shuts down its side, the end.
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"", true, "orderly"},          {"D\nP 1\n", true, "orderly"},
        {"P 7\n", true, "reset"}, // a manifest that cannot be made
        {"X\n", true, "reset"},   // no such request
        {"P 1", true, "reset"},   // its end in the middle of a request
        {"P 1", false, "reset"},  // a request not arriving in time
        {"D\n", false, "reset"},  // silent for the idle time-out
        {"Z\n5\nnope!", true, "reset"},
    };
    std::size_t uploads = 0; // each of its own, so that none is known
    for (const auto& [then, shutdown, ending] : cases) {
        std::string upload = uploadRequest(zeppelinOf(300 + uploads++));
        EXPECT_EQ(endingAfter(server.port(), "L\nanonymous\n\n" + upload + then, shutdown), ending)
            << then << shutdown;
    }
    EXPECT_EQ(endingAfter(server.port(), "L\nanonymous\n\nX\n"), "orderly") << "no upload";
    EXPECT_EQ(server.uploadNames().size(), uploads);
}

// An index of an earlier version, without the uploads' addresses or digests, is brought up to
// date in place: its rows get the digests of their files, an upload file without a row gets one
// (its client may have been told), and its uploads are known when they come again, even over a
// quota.
TEST(ReferenceServer, KeepsTheUploadIndexOfAnEarlierVersion) {
    TempDir root("pelvar-server");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root / "server.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE uploads (id INTEGER PRIMARY KEY, account TEXT NOT "
                           "NULL, time INTEGER NOT NULL, size INTEGER NOT NULL, packed INTEGER "
                           "NOT NULL, file TEXT NOT NULL); INSERT INTO uploads VALUES (1, "
                           "'anonymous', strftime('%s', 'now'), 3000, 100, "
                           "'uploads/000001-anonymous.zeppelin'), (2, 'anonymous', 0, 10, 5, "
                           "'uploads/gone')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string old = zeppelinOf(2900), orphan = zeppelinOf(400, 'y');
    writeFile(root / "uploads/000001-anonymous.zeppelin", old);
    writeFile(root / "uploads/000007-thrall.zeppelin", orphan);
    writeFile(root / "uploads/Notizen zur Sicherung.txt", "not ours");
    ServerOptions options;
    options.anonymousCeiling = 4000;
    auto server = startedOn(root.path(), options);
    ASSERT_TRUE(server);
    EXPECT_EQ(query(root / "server.db", "SELECT id, account, size, address, file, "
                                        "IFNULL(length(digest), 'none') FROM uploads"),
              (std::vector<std::string>{"1|anonymous|3000||uploads/000001-anonymous.zeppelin|64",
                                        "2|anonymous|10||uploads/gone|none",
                                        "7|thrall|418||uploads/000007-thrall.zeppelin|64"}));
    EXPECT_TRUE(exists(root / "uploads/Notizen zur Sicherung.txt"));

    // Over the ceiling with the old upload, but for the old upload itself; none stored again.
    const std::string anonymous = "L\nanonymous\n\n";
    EXPECT_EQ(endingAfter(server->port(), anonymous + uploadRequest(zeppelinOf(1500))), "reset");
    EXPECT_EQ(endingAfter(server->port(), anonymous + uploadRequest(old)), "orderly");
    EXPECT_EQ(endingAfter(server->port(), "L\nthrall\nhorde\n" + uploadRequest(orphan)), "orderly");
    EXPECT_EQ(query(root / "server.db", "SELECT COUNT(*) FROM uploads"),
              std::vector<std::string>{"3"});
}

TEST(ReferenceServer, SurvivesHostileClients) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    server.addFile("1 Standard", "Interface/AddOns/Clique/Clique.lua", "b");
    const std::string a = "c\nInterface\\AddOns\\Bagnon\\Bagnon.lua\n";
    const std::string b = "c\nInterface\\AddOns\\Clique\\Clique.lua\n";
    bool closed;
    for (std::string hostile :
         {std::string("X\n"), std::string("Z\n99999999999\n"), std::string("Z\n-1\n"),
          std::string("P 1\nc\nInterface\\AddOns\\Nicht\\gelistet.lua\n"),
          std::string("P 99999999999999\n"), std::string(20000, 'L'), std::string("L\nonly-a-user"),
          a, "P 1\n" + a + b + a + "C\n", "P 1\n" + a + "P 1\n"}) {
        RawClient client(server.port());
        client.send(hostile);
        client.read(closed);
    }
    {
        // A client that announces an upload and vanishes.
        RawClient client(server.port());
        client.send("L\nanonymous\n\nZ\n1000\nabc");
    }
    // A line past the limit is refused however it arrives, also whole and with its line feed.
    for (std::size_t length : {8193u, 20000u, 60000u}) {
        RawClient client(server.port());
        client.send("L\n" + std::string(length, 'u') + "\n\n");
        EXPECT_EQ(client.read(closed, 2000ms), "") << length;
        EXPECT_TRUE(closed) << length;
    }
    EXPECT_TRUE(stillServes(server));
    auto log = server.log();
    EXPECT_TRUE(contains(log, "unknown request 'X'"));
    EXPECT_TRUE(contains(log, "c Interface\\AddOns\\Bagnon\\Bagnon.lua: asked twice, closing"));
    EXPECT_TRUE(contains(log, "P 1 with file requests pending, closing"));
}

TEST(ReferenceServer, FaultInjectionShapesTheReplies) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", std::string(5000, 'a'));
    server.options()->closeAfter = 10;
    server.options()->closeOn = 'C';
    server.options()->corruptPath = "Interface/AddOns/Bagnon/Bagnon.lua";
    RawClient client(server.port());
    client.send("P 1\nc\nInterface\\AddOns\\Bagnon\\Bagnon.lua\nC\n");
    bool closed;
    std::string reply = client.read(closed);
    EXPECT_TRUE(closed);
    std::size_t data = reply.find("\nD\n") + 3;
    ASSERT_EQ(reply.size() - data, 10u) << "closed after 10 bytes of the file data";
    EXPECT_EQ(reply[data], '\0') << "the zlib header is spoiled";
}

// At the cap a new connection waits, and the session whose client has kept it waiting longest is
// dropped (reset) to make room for it; an idle session ends by itself.
TEST(ReferenceServer, AtTheCapTheLongestWaitingSessionMakesRoom) {
    ServerOptions options;
    options.maxSessions = 2;
    TestServer server(options);
    auto a = std::make_unique<RawClient>(server.port());
    auto b = std::make_unique<RawClient>(server.port());
    for (RawClient* client : {a.get(), b.get()}) {
        client->send("D\n");
        EXPECT_EQ(client->readUntil("D\n1\n"), "D\n1\n");
    }
    RawClient over(server.port());
    over.send("D\n");
    EXPECT_EQ(over.readUntil("D\n1\n"), "D\n1\n") << "served";
    // One of them was dropped, a as a rule (idle the longest); the other goes on.
    std::string replies;
    for (RawClient* client : {a.get(), b.get()}) {
        client->sendAnyway("D\n");
        replies += client->readUntil("D\n1\n") + "|";
    }
    EXPECT_TRUE(replies == "|D\n1\n|" || replies == "D\n1\n||") << replies;
    EXPECT_TRUE(contains(server.log(false), "dropped to make room for a waiting connection (2 "
                                            "sessions, the cap): its client kept it waiting for "));
    // Both from one address, over its share of the sessions.
    EXPECT_TRUE(
        contains(server.log(false), " ms, and its address holds 2 sessions (its share: 1)"));

    server.options()->idleTimeout = 200ms;
    EXPECT_EQ(endingAfter(server.port(), "", false), "orderly");
    EXPECT_TRUE(contains(server.log(false), "idle for 200 ms, closing"));
}

TEST(ReferenceServer, ProgramStreamsRepliesInBoundedMemory) {
    // 24 files of 1 MiB that do not compress, and a cache of 2 MiB: a reply of 24 MiB, and a
    // request for one file 10,000 times.
    TempDir root("pelvar-server");
    std::mt19937 random(11);
    std::string content(1 << 20, '\0');
    std::string requests = "P 1\n";
    for (int i = 0; i < 24; ++i) {
        for (char& c : content)
            c = static_cast<char>(random());
        writeFile(root / ("distributions/1 Big/Interface/AddOns/Rauschen/Textur" +
                          std::to_string(i) + ".blp"),
                  content);
        requests += "c\nInterface\\AddOns\\Rauschen\\Textur" + std::to_string(i) + ".blp\n";
    }
    ServerChild child({"--port", "0", "--file-cache", "2M", root.path()});
    ASSERT_NE(child.port(), 0);
    long before = child.statusKiB("VmHWM");

    RawClient client(child.port());
    client.send(requests + "C\n");
    std::string list = client.readUntil("\nD\n");
    std::string text = list.substr(0, list.find("\nD\n") + 3);
    std::size_t packed = 0;
    for (std::size_t at = 0; (at = text.find(".blp\n", at)) != std::string::npos; ++at)
        packed += std::stoul(text.substr(text.find(' ', at) + 1));
    EXPECT_GT(packed, 24u << 20);
    std::size_t early = list.size() - text.size();
    EXPECT_EQ(client.drain(packed - early) + early, packed) << "every file, whole";

    RawClient hostile(child.port());
    std::string again = "P 1\n";
    for (int i = 0; i < 10000; ++i)
        again += "c\nInterface\\AddOns\\Rauschen\\Textur0.blp\n";
    hostile.sendAnyway(again + "C\n");
    bool closed;
    hostile.read(closed, 5000ms);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(child.waitFor("c Interface\\AddOns\\Rauschen\\Textur0.blp: asked twice, closing"));
    EXPECT_TRUE(servesOn(child.port()));

    long peak = child.statusKiB("VmHWM");
    std::printf("peak resident memory: %ld KiB at start, %ld KiB after\n", before, peak);
    if (sanitized)
        GTEST_SKIP() << "the sanitizer's own memory swamps the figure";
    EXPECT_LT(peak - before, 10 * 1024) << "a constant, the cache and one file per session";
}

// Clients that trickle their requests, a byte a second, are closed like silent ones, while one
// that is slow but keeps to the minimum rate is served; then a whole pass is served.
TEST(ReferenceServer, ProgramClosesTricklingClients) {
    TempDir root("pelvar-server");
    writeFile(root / "distributions/1 Standard/Interface/AddOns/Bagnon/Bagnon.lua",
              letters(5000, 1));
    ServerChild child({"--port", "0", "--max-sessions", "9", "--request-timeout", "1", "--min-rate",
                       "1K", root.path()});
    ASSERT_NE(child.port(), 0);
    struct Client {
        std::string start;     // sent at once
        std::string trickle;   // then a piece a step (a step is 250 ms)
        std::size_t pieceSize; // bytes a step
        bool served;
        std::unique_ptr<RawClient> raw = {};
        std::size_t sent = 0;
        std::string reply = {};
    };
    std::string upload =
        uploadRequest(zeppelinOf(3000) + "itemcache.wdb 8000\n" + letters(8000, 2));
    std::string body = upload.substr(upload.find('\n', 2) + 1);
    std::string head = upload.substr(0, upload.size() - body.size());
    std::vector<Client> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back({"P 1", std::string(8000, '1'), i % 2 ? 1u : 0u, false});
        clients.push_back({"L\nanonymous\n\n" + head, body, i % 2 ? 1u : 0u, false});
    }
    // 2 KiB a second: longer than the request time-out, within the rate.
    clients.push_back({"L\nanonymous\n\n" + head, body + "D\n", 512, true});
    for (Client& client : clients) {
        client.raw = std::make_unique<RawClient>(child.port());
        client.raw->send(client.start);
    }
    auto deadline = std::chrono::steady_clock::now() + 30s;
    int step = 0;
    auto open = [&] {
        return std::count_if(clients.begin(), clients.end(),
                             [](const Client& c) { return c.raw != nullptr; });
    };
    while (open() > 0 && std::chrono::steady_clock::now() < deadline) {
        ++step;
        for (Client& client : clients) {
            if (!client.raw)
                continue;
            // One byte a second for the tricklers.
            std::size_t piece = client.pieceSize > 1 ? client.pieceSize : step % 4 == 0 ? 1 : 0;
            piece = std::min(piece, client.trickle.size() - client.sent);
            client.raw->sendAnyway(client.trickle.substr(client.sent, piece));
            client.sent += piece;
            bool closed;
            client.reply += client.raw->read(closed, 0ms);
            if (closed || (client.served && client.reply.find("D\n1\n") != std::string::npos))
                client.raw.reset();
        }
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(open(), 0) << "every client ended";
    for (const Client& client : clients) {
        std::string what = client.start.substr(0, 3) + " at " + std::to_string(client.pieceSize);
        if (client.served)
            EXPECT_EQ(client.reply, "OK\n1 Standard\nD\n1\n") << what;
        else
            EXPECT_LT(client.sent, 20u) << what << " was closed within seconds";
    }
    EXPECT_TRUE(child.waitFor("request too slow"));

    RawClient pass(child.port());
    pass.send("D\nL\nanonymous\n\n" + upload +
              "P 1\nc\nInterface\\AddOns\\Bagnon\\Bagnon.lua\nC\n");
    std::string expected = "D\n1\nOK\nInterface\\AddOns\\Bagnon\\Bagnon.lua\n5000 " +
                           std::to_string(deflated(letters(5000, 1)).size()) + "\n" +
                           md5Of(letters(5000, 1)) + "\nD\n" + deflated(letters(5000, 1));
    EXPECT_TRUE(pass.readUntil(expected) == "1 Standard\n" + expected);
    EXPECT_TRUE(child.waitFor("-anonymous.zeppelin"));
}

// Eight clients that trickle a byte a second hold every session of --max-sessions 8, and reconnect
// as soon as they are dropped: a pass that connects meanwhile is served all the same.
TEST(ReferenceServer, ProgramServesAPassWhileClientsTrickleAtTheCap) {
    TempDir root("pelvar-server");
    // The time-outs are far away: a pass is not served because one of them freed a session.
    ServerChild child({"--port", "0", "--max-sessions", "8", "--request-timeout", "60",
                       "--idle-timeout", "60", root.path()});
    ASSERT_NE(child.port(), 0);
    std::unique_ptr<RawClient> tricklers[8];
    int connections = 0;
    // Steps of 250 ms: a byte a second from each, and one dropped connects again at once.
    auto trickle = [&](int steps) {
        for (int step = 0; step < steps; ++step, std::this_thread::sleep_for(250ms))
            for (int i = 0; i < 8; ++i) {
                bool closed = !tricklers[i];
                if (!closed)
                    tricklers[i]->read(closed, 0ms);
                if (closed) {
                    std::string source = "127.0.0." + std::to_string(i + 2);
                    tricklers[i] = std::make_unique<RawClient>(child.port(), source.c_str());
                    ++connections;
                }
                tricklers[i]->sendAnyway(closed ? "L\n" : step % 4 ? "" : "u");
            }
    };
    trickle(5);
    for (const char* source : {"127.0.0.1", "127.0.0.10"}) {
        RawClient pass(child.port(), source);
        pass.send("D\n");
        EXPECT_EQ(pass.readUntil("D\n1\n"), "D\n1\n") << source;
        trickle(2);
    }
    EXPECT_GE(connections, 8 + 2) << "the tricklers came back";
}

// A client that reads a large reply a little at a time is dropped like one that trickles its
// request (though it still reads what the kernel holds for it), and one that reads at the lowest
// rate or faster gets the whole reply.
TEST(ReferenceServer, ProgramClosesSlowReaders) {
    TempDir root("pelvar-server");
    // More than the kernel's buffers take.
    std::string content = noise(16 << 20, 7);
    writeFile(root / "distributions/1 Big/Interface/AddOns/Großkarte/Langsam gelesen.blp", content);
    ServerChild child({"--port", "0", "--request-timeout", "1", "--min-rate", "1M", root.path()});
    ASSERT_NE(child.port(), 0);
    const std::string request = "P 1\nc\nInterface\\AddOns\\Großkarte\\Langsam gelesen.blp\nC\n";

    RawClient slow(child.port());
    int small = 4096;
    ASSERT_EQ(::setsockopt(slow.socket(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    slow.send(request);
    // 2 KiB every 50 ms, well below the lowest rate, until the server gives up on the reply.
    std::atomic<bool> givenUp{false};
    std::thread reader([&] {
        char block[2048];
        for (; !givenUp; std::this_thread::sleep_for(50ms))
            [[maybe_unused]] ssize_t got = ::recv(slow.socket(), block, sizeof block, MSG_DONTWAIT);
    });
    EXPECT_TRUE(child.waitFor("reply too slow"));
    givenUp = true;
    reader.join();

    RawClient fast(child.port());
    fast.send(request);
    EXPECT_GT(fast.drain(content.size() + 1000), content.size());
}

// Sessions that ask for a large file and never read hold a block each, not the file: whether it
// is sent from the cache or, too large for it, compressed again as it is sent.
TEST(ReferenceServer, ProgramHoldsLittleForClientsThatDoNotRead) {
    TempDir root("pelvar-server");
    std::string content = noise(20 << 20, 5);
    writeFile(root / "distributions/1 Big/Interface/AddOns/Großkarte/Weltkarte.blp", content);
    for (const char* cache : {"64M", "1M"}) {
        ServerChild child({"--port", "0", "--file-cache", cache, root.path()});
        ASSERT_NE(child.port(), 0);
        std::vector<std::unique_ptr<RawClient>> readers;
        std::string list;
        for (int i = 0; i < 40; ++i) {
            readers.push_back(std::make_unique<RawClient>(child.port()));
            readers.back()->send("P 1\nc\nInterface\\AddOns\\Großkarte\\Weltkarte.blp\nC\n");
            if (i == 0)
                list = readers[0]->readUntil("\nD\n");
        }
        list.resize(list.find("\nD\n") + 3);
        // Every session has sent its patch list and begun the file.
        for (auto& reader : readers) {
            auto deadline = std::chrono::steady_clock::now() + 30s;
            int queued = 0;
            while ((::ioctl(reader->socket(), FIONREAD, &queued) != 0 ||
                    static_cast<std::size_t>(queued) <= list.size()) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(5ms);
            EXPECT_GT(static_cast<std::size_t>(queued), list.size()) << cache;
        }
        long peak = child.statusKiB("VmHWM");
        std::printf("cache %s: peak resident memory with 40 sessions not reading a 20 MiB file: "
                    "%ld KiB\n",
                    cache, peak);
        EXPECT_TRUE(servesOn(child.port()));
        if (!sanitized) {
            EXPECT_LT(peak, 64 * 1024) << cache;
        }
    }
}

// A request that comes while a distribution's manifest is being rebuilt gets the new one.
TEST(ReferenceServer, ProgramAnswersRequestsDuringARebuildWithTheNewList) {
    TempDir root("pelvar-server");
    writeFile(root / "distributions/1 Standard/Interface/AddOns/Bagnon/Bagnon.lua", "a");
    ServerChild child({"--port", "0", root.path()});
    ASSERT_NE(child.port(), 0);
    RawClient first(child.port());
    first.send("P 1\n");
    EXPECT_EQ(first.readUntil("\nD\n").find("Weltkarte.blp"), std::string::npos);

    // A large file that does not compress keeps the rebuild busy for a while.
    std::string content = noise(48 << 20, 3);
    std::string big = root / "distributions/1 Standard/Interface/AddOns/Großkarte/Weltkarte.blp";
    writeFile(big, content);
    RawClient rebuilding(child.port());
    rebuilding.send("P 1\n");
    auto reading = [&] {
        for (const auto& fd :
             fs::directory_iterator("/proc/" + std::to_string(child.pid()) + "/fd")) {
            std::error_code error;
            if (fs::read_symlink(fd.path(), error) == big)
                return true;
        }
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!reading() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(reading()) << "the rebuild reads the new file";
    RawClient during(child.port());
    during.send("P 1\n");
    std::string expected =
        "Interface\\AddOns\\Großkarte\\Weltkarte.blp\n" + std::to_string(content.size()) + " ";
    EXPECT_NE(during.readUntil("\nD\n").find(expected), std::string::npos);
    EXPECT_NE(rebuilding.readUntil("\nD\n").find(expected), std::string::npos);
}

TEST(ReferenceServer, ProgramServesAgainAfterDescriptorsRanOut) {
    if (sanitized)
        GTEST_SKIP() << "a sanitizer's own checks need descriptors: out of them, it reports "
                        "memory it cannot look at as a fault of the program";
    TempDir root("pelvar-server");
    writeFile(root / "distributions/1 Standard/Interface/AddOns/Bagnon/Bagnon.lua", "a");
    ServerChild child({"--port", "0", root.path()}, 24);
    ASSERT_NE(child.port(), 0);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(std::make_unique<RawClient>(child.port()));
        clients.back()->send("D\n");
    }
    ASSERT_TRUE(child.waitFor("cannot accept: Too many open files"));
    double cpu = child.cpuSeconds();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(child.cpuSeconds() - cpu, 0.25) << "it waits rather than spinning on accept";
    clients.clear();
    auto deadline = std::chrono::steady_clock::now() + 20s;
    bool served = false;
    while (!(served = servesOn(child.port())) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(served);
    EXPECT_TRUE(child.waitFor("accepting again"));
}

TEST(ReferenceServer, ProgramSurvivesASessionThreadThatCannotStart) {
    if (sanitized)
        GTEST_SKIP() << "a sanitizer needs more address space than the limit leaves";
    TempDir root("pelvar-server");
    ServerChild child({"--port", "0", root.path()});
    ASSERT_NE(child.port(), 0);
    RawClient first(child.port());
    first.send("D\n");
    ASSERT_NE(first.readUntil("D\n1\n"), "");
    // No room left for another thread's stack (8 MiB) in the address space.
    rlim_t size = static_cast<rlim_t>(child.statusKiB("VmSize")) * 1024;
    rlimit tight{size + (2 << 20), RLIM_INFINITY};
    ASSERT_EQ(::prlimit(child.pid(), RLIMIT_AS, &tight, nullptr), 0);
    {
        RawClient second(child.port());
        bool closed;
        EXPECT_EQ(second.read(closed, 5000ms), "");
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(child.waitFor("refused: cannot start a session"));
    first.send("D\n");
    EXPECT_NE(first.readUntil("D\n1\n").find("D\n1\n"), std::string::npos);
    rlimit free{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(::prlimit(child.pid(), RLIMIT_AS, &free, nullptr), 0);
    EXPECT_TRUE(servesOn(child.port()));
}

TEST(ReferenceServer, ProgramOptionsVersionAndSighup) {
    TempDir root("pelvar-server");
    ProcessResult version = runProcess({PELVAR_SERVER, "--version"}, root.path(), {});
    EXPECT_EQ(version.out, "pelvar-server " PELVAR_VERSION "\n");
    ProcessResult help = runProcess({PELVAR_SERVER, "--help"}, root.path(), {});
    for (const char* option : {"--config", "--max-sessions", "--idle-timeout", "--request-timeout",
                               "--min-rate", "--upload-max", "--daily-quota", "--anonymous-quota",
                               "--anonymous-ceiling", "--file-cache", "--split-version", "SIGHUP"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(
        runProcess({PELVAR_SERVER, "--max-sessions", "0", root.path()}, root.path(), {}).exitCode,
        2);

    writeFile(root / "server.conf", "# test\nwdb-version = 3\n");
    ServerChild child({"--port", "0", "--config", root / "server.conf", root.path()});
    ASSERT_NE(child.port(), 0);
    RawClient before(child.port());
    before.send("D\n");
    EXPECT_EQ(before.readUntil("D\n3\n"), "D\n3\n");
    writeFile(root / "server.conf", "wdb-version = 9\nfile-cache = 1M\nport = 1\n");
    ::kill(child.pid(), SIGHUP);
    EXPECT_TRUE(child.waitFor("SIGHUP: options read again; file-cache change only on a restart"))
        << "the command line's port wins over the file's";
    RawClient after(child.port());
    after.send("D\n");
    EXPECT_EQ(after.readUntil("D\n9\n"), "D\n9\n");
    writeFile(root / "server.conf", "wdb-version = nine\n");
    ::kill(child.pid(), SIGHUP);
    EXPECT_TRUE(child.waitFor("bad value for wdb-version: nine; options unchanged"));
}

// pelvar-server under many clients at once: each client runs unchanged passes (the distribution
// list, the patch list of a distribution of as many files as a patch list can name, nothing to
// fetch), as the program does when nothing changed; then clients that ask for a large file and
// never read it. The same run measures another build of the server when PELVAR_BENCH_OLD_SERVER
// names its program, e.g. one built from an earlier commit.

#include "bench/bench_support.h"
#include "bench/benchmarks.h"
#include "harness/content.h"
#include "harness/loopback.h"
#include "harness/process_figures.h"
#include "net/protocol.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <latch>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
extern char** environ;

namespace {

constexpr int clients = 200;
constexpr int passesPerClient = 10;
constexpr auto timeLimit = std::chrono::seconds(60);
constexpr int slowReaders = 40;

int connectTo(std::uint16_t port) {
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

// Reads until `complete` says the reply is whole; false when the server closed or went silent.
bool receive(int socket, std::string& reply, const std::function<bool(const std::string&)>& whole) {
    reply.clear();
    char block[32768];
    while (!whole(reply)) {
        pollfd waiting{socket, POLLIN, 0};
        if (::poll(&waiting, 1, 30000) <= 0)
            return false;
        ssize_t got = ::recv(socket, block, sizeof block, 0);
        if (got <= 0)
            return false;
        reply.append(block, static_cast<std::size_t>(got));
    }
    return true;
}

// One unchanged pass: distribution list with its version line, then the patch list.
bool pass(std::uint16_t port) {
    int socket = connectTo(port);
    if (socket < 0)
        return false;
    std::string reply;
    bool ok = ::send(socket, "D\n", 2, MSG_NOSIGNAL) == 2 &&
              receive(socket, reply,
                      [](const std::string& text) {
                          std::size_t end = text.find("D\n");
                          return end != std::string::npos && (end == 0 || text[end - 1] == '\n') &&
                                 text.size() > end + 2 && text.back() == '\n';
                      }) &&
              ::send(socket, "P 1\n", 4, MSG_NOSIGNAL) == 4 &&
              receive(socket, reply, [](const std::string& text) {
                  return text == "D\n" || text.find("\nD\n") != std::string::npos;
              });
    ::close(socket);
    return ok && reply.size() > 1000;
}

// Starts `program` serving `root` and waits until `ready` succeeds (the first request reads the
// files); -1 when it does not start.
pid_t startServer(const std::string& label, const std::string& program, const std::string& root,
                  std::uint16_t& port, bool& up, const std::function<bool(std::uint16_t)>& ready) {
    port = freeLoopbackPort();
    pid_t pid = bench::spawnQuietly({program, "--port", std::to_string(port), root});
    if (pid < 0) {
        bench::print(label, "cannot start " + program);
        return pid;
    }
    up = false;
    for (int i = 0; i < 500 && !(up = ready(port)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!up)
        bench::print(label, "does not answer");
    return pid;
}

void stopServer(pid_t pid) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

void measure(const std::string& label, const std::string& program, const std::string& root) {
    std::uint16_t port;
    bool up;
    pid_t pid = startServer(label, program, root, port, up, pass);
    if (pid < 0)
        return;
    if (up) {
        std::vector<std::vector<double>> times(clients);
        std::atomic<int> failures{0};
        std::latch ready(clients + 1);
        auto deadline = std::chrono::steady_clock::now() + timeLimit;
        double cpuBefore = processCpuSeconds(pid);
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                ready.arrive_and_wait();
                for (int i = 0; i < passesPerClient && std::chrono::steady_clock::now() < deadline;
                     ++i) {
                    auto start = std::chrono::steady_clock::now();
                    if (!pass(port))
                        ++failures;
                    times[c].push_back(
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                            .count());
                }
            });
        auto start = std::chrono::steady_clock::now();
        ready.arrive_and_wait();
        for (std::thread& thread : threads)
            thread.join();
        double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double cpu = processCpuSeconds(pid) - cpuBefore;
        std::vector<double> all;
        for (const auto& some : times)
            all.insert(all.end(), some.begin(), some.end());
        std::sort(all.begin(), all.end());
        auto at = [&](double share) {
            return all[std::min(all.size() - 1, static_cast<std::size_t>(share * all.size()))];
        };
        bench::print(label + ": passes, failed",
                     std::to_string(all.size()) + ", " + std::to_string(failures.load()));
        bench::print("  passes per second", bench::figure("%.0f", all.size() / wall));
        bench::print("  pass time, median / p99 / max",
                     bench::figure("%.1f / %.1f / %.1f ms", at(0.5) * 1000, at(0.99) * 1000,
                                   all.back() * 1000));
        bench::print("  server CPU per pass", bench::figure("%.2f ms", cpu * 1000 / all.size()));
        bench::print("  server peak memory (VmHWM)",
                     bench::figure("%.1f MiB", processStatusKiB(pid, "VmHWM") / 1024.0));
    }
    stopServer(pid);
}

// Clients that ask for a large file and never read it: the server's memory while it waits.
void measureSlowReaders(const std::string& label, const std::string& program,
                        const std::string& root) {
    std::uint16_t port;
    bool up;
    pid_t pid = startServer(label, program, root, port, up, [](std::uint16_t at) {
        int socket = connectTo(at);
        std::string reply;
        bool listed = socket >= 0 && ::send(socket, "P 1\n", 4, MSG_NOSIGNAL) == 4 &&
                      receive(socket, reply, [](const std::string& text) {
                          return text.find("\nD\n") != std::string::npos;
                      });
        ::close(socket);
        return listed;
    });
    if (pid < 0)
        return;
    if (up) {
        std::vector<int> sockets;
        for (int i = 0; i < slowReaders; ++i) {
            sockets.push_back(connectTo(port));
            [[maybe_unused]] ssize_t sent =
                ::send(sockets.back(), "P 1\nc\nbig.bin\nC\n", 17, MSG_NOSIGNAL);
        }
        // Each has its patch list and the beginning of the file waiting.
        int waiting = 0;
        auto deadline = std::chrono::steady_clock::now() + timeLimit;
        for (int socket : sockets) {
            int queued = 0;
            while ((::ioctl(socket, FIONREAD, &queued) != 0 || queued < 65536) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            waiting += queued >= 65536;
        }
        bench::print(label + ": " + std::to_string(slowReaders) +
                         " sessions not reading a 20 MiB file, served",
                     std::to_string(waiting));
        bench::print("  server peak memory (VmHWM)",
                     bench::figure("%.1f MiB", processStatusKiB(pid, "VmHWM") / 1024.0));
        for (int socket : sockets)
            ::close(socket);
    }
    stopServer(pid);
}

} // namespace

void benchServer(const std::string& work) {
    std::printf("pelvar-server: %d clients at once, %d unchanged passes each (distribution list, "
                "patch list)\n",
                clients, passesPerClient);
    std::string root = work + "/server";
    fs::remove_all(root);
    std::string distribution = root + "/distributions/1 Standard";
    bench::Distribution made = bench::makeDistribution(distribution, 5000, 16000);
    bench::print("files (as many as a 100,000-byte patch list names), bytes",
                 std::to_string(made.files) + ", " + std::to_string(made.bytes));
    std::string slowRoot = work + "/server-slow";
    fs::remove_all(slowRoot);
    bench::writeFile(slowRoot + "/distributions/1 Big/big.bin", noise(20 << 20, 1));

    measure("this build", PELVAR_SERVER, root);
    measureSlowReaders("this build", PELVAR_SERVER, slowRoot);
    if (const char* old = std::getenv("PELVAR_BENCH_OLD_SERVER"); old && *old) {
        // Their databases, if any, are of no concern here.
        fs::remove_all(root + "/server.db");
        fs::remove_all(slowRoot + "/server.db");
        measure(std::string("PELVAR_BENCH_OLD_SERVER"), old, root);
        measureSlowReaders(std::string("PELVAR_BENCH_OLD_SERVER"), old, slowRoot);
    } else {
        bench::print("(PELVAR_BENCH_OLD_SERVER unset: no other build to compare with)", "");
    }
}

// Whole passes: an unchanged installation, a first download of a large distribution, and a first
// upload of a full Zeppelin, each against pelvar-server on loopback in a process of its own.

#include "bench/bench_support.h"
#include "bench/benchmarks.h"
#include "harness/loopback.h"
#include "harness/process_figures.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "pass/patch_run.h"
#include "patcher/patch_list.h"
#include "settings/settings.h"
#include "uploader/upload_pass.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace fs = std::filesystem;
extern char** environ;

namespace {

// pelvar-server serving `root`, for the lifetime of the object.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& root) : port_(freeLoopbackPort()) {
        std::string port = std::to_string(port_);
        pid_ = bench::spawnQuietly({PELVAR_SERVER, "--port", port, root});
        std::string endpoint = "127.0.0.1:" + port;
        ::setenv("MIRELGAN_SERVER", endpoint.c_str(), 1);
        for (int i = 0; i < 200 && !reachable(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~ServerProcess() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }

private:
    bool reachable() const {
        ServerLink link;
        return link.connect(*configuredServer()).failure == ServerLink::Failure::none;
    }
    std::uint16_t port_;
    pid_t pid_ = -1;
};

// One pass of pelvar-cli in `game`; gives its wall time and peak memory (KiB).
std::pair<double, long> runCli(const std::string& game, const std::string& settings,
                               const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {PELVAR_CLI};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::setenv("MIRELGAN_SETTINGS", settings.c_str(), 1);
    std::string here = fs::current_path();
    fs::current_path(game);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    long peak = 0;
    double elapsed = bench::seconds([&] {
        posix_spawn(&pid, PELVAR_CLI, &actions, nullptr, argv.data(), environ);
        int status;
        // Watch the peak while it runs: it is the process's own once it has started.
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            peak = std::max(peak, processStatusKiB(pid, "VmHWM"));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    posix_spawn_file_actions_destroy(&actions);
    fs::current_path(here);
    return {elapsed, peak};
}

// The machine's limit for a download: the same compressed files received over loopback in
// 4,096-byte receives and inflated, one by one, with nothing written to disk.
double downloadLimit(const std::vector<std::string>& packed,
                     const std::vector<std::size_t>& sizes) {
    auto [listener, port] = loopbackListener();
    std::thread sender([&] {
        int socket = ::accept(listener, nullptr, nullptr);
        for (const std::string& file : packed)
            for (std::size_t at = 0; at < file.size();) {
                ssize_t sent = ::send(socket, file.data() + at, file.size() - at, MSG_NOSIGNAL);
                if (sent <= 0)
                    break;
                at += static_cast<std::size_t>(sent);
            }
        ::close(socket);
    });
    ServerLink link;
    link.connect({htonl(INADDR_LOOPBACK), port});
    double elapsed = bench::seconds([&] {
        for (std::size_t i = 0; i < packed.size(); ++i) {
            std::vector<char> in(packed[i].size() + 4097);
            std::size_t got = 0;
            while (got < packed[i].size()) {
                long received = link.receive(in.data() + got,
                                             std::min<std::size_t>(4096, packed[i].size() - got));
                if (received <= 0)
                    break;
                got += static_cast<std::size_t>(received);
            }
            std::vector<Bytef> out(sizes[i] + 1);
            uLongf outLength = sizes[i];
            uncompress(out.data(), &outLength, reinterpret_cast<Bytef*>(in.data()), got);
        }
    });
    sender.join();
    ::close(listener);
    return elapsed;
}

} // namespace

void benchPass(const std::string& work) {
    std::printf("A pass over an unchanged installation (warm digest cache)\n");
    std::string root = work + "/pass";
    fs::remove_all(root);
    std::string distribution = root + "/server/distributions/1 Standard";
    bench::Distribution made = bench::makeDistribution(distribution, 5000, 10000);
    bench::print("files (as many as a 100,000-byte patch list names), bytes",
                 std::to_string(made.files) + ", " + std::to_string(made.bytes));
    fs::copy(distribution, root + "/game", fs::copy_options::recursive);
    bench::writeFile(root + "/game/WoW.exe", "");
    ServerProcess server(root + "/server");

    Settings settings(root + "/settings.db");
    settings.writeString("Distribution", "1");
    settings.distribution = 1;
    settings.mustChooseDistribution = 0;
    std::string here = fs::current_path();
    fs::current_path(root + "/game");
    {
        WorkerJob job(settings);
        double first = bench::seconds([&] { runPatchPass(job); });
        bench::print("first pass (every file hashed)", bench::figure("%.3f s", first));
    }
    long opensBefore = bench::gameFilesOpened();
    double warm = bench::bestOf(5, [&] {
        WorkerJob job(settings);
        runPatchPass(job);
    });
    long opened = (bench::gameFilesOpened() - opensBefore) / 5;
    bench::print("unchanged pass: patch list, check, no download", bench::figure("%.4f s", warm));
    bench::print("  game files opened per pass (target 0)", std::to_string(opened));
    fs::current_path(root);
    if (bench::available("rsync")) {
        double rsync = bench::bestOf(5, [&] {
            bench::run({"rsync", "-r", "--dry-run", "server/distributions/1 Standard/", "game/"});
        });
        bench::print("rsync -r --dry-run of the same tree", bench::figure("%.4f s", rsync));
        bench::print("ratio, pass / rsync", bench::figure("%.3f", warm / rsync));
    }
    fs::current_path(here);
    fs::remove_all(root);
}

// What the pass pays to have its installed files on the disk before the digest cache records
// them: one syncfs of the file system after the files are written, as the pass does, against an
// fsync of every file and directory.
void printFlushCost(const std::string& place, const std::string& distribution) {
    auto written = [&](const std::string& name) {
        std::string copy = place + "/pelvar-bench-flush-" + name + std::to_string(::getpid());
        fs::copy(distribution, copy, fs::copy_options::recursive);
        return copy;
    };
    std::string once = written("syncfs");
    double syncfsTime = bench::seconds([&] {
        int fd = ::open(once.c_str(), O_RDONLY | O_DIRECTORY);
        ::syncfs(fd);
        ::close(fd);
    });
    fs::remove_all(once);
    std::string each = written("fsync");
    double fsyncTime = bench::seconds([&] {
        for (const auto& entry : fs::recursive_directory_iterator(each)) {
            int fd = ::open(entry.path().c_str(), O_RDONLY);
            ::fsync(fd);
            ::close(fd);
        }
        int fd = ::open(each.c_str(), O_RDONLY | O_DIRECTORY);
        ::fsync(fd);
        ::close(fd);
    });
    fs::remove_all(each);
    bench::print("  flush of the installed files: one syncfs (the pass's)",
                 bench::figure("%.3f s", syncfsTime));
    bench::print("  flush of the installed files: fsync of each file and directory",
                 bench::figure("%.3f s", fsyncTime));
}

void benchDownload(const std::string& work) {
    std::printf("Download and install of a 100 MB distribution into an empty game directory\n");
    std::string root = work + "/download";
    fs::remove_all(root);
    std::string distribution = root + "/server/distributions/1 Standard";
    // As many files as one patch list names, about 100 MB together.
    bench::Distribution made = bench::makeDistribution(distribution, 5000, 74000);
    bench::print("files, bytes, largest file", std::to_string(made.files) + ", " +
                                                   std::to_string(made.bytes) + ", " +
                                                   std::to_string(made.largest));

    std::vector<std::string> packed;
    std::vector<std::size_t> sizes;
    for (const auto& entry : fs::recursive_directory_iterator(distribution)) {
        if (!entry.is_regular_file())
            continue;
        FILE* file = std::fopen(entry.path().c_str(), "rb");
        std::string content(entry.file_size(), '\0');
        std::size_t read = std::fread(content.data(), 1, content.size(), file);
        std::fclose(file);
        uLongf length = compressBound(read);
        std::string compressed(length, '\0');
        compress(reinterpret_cast<Bytef*>(compressed.data()), &length,
                 reinterpret_cast<const Bytef*>(content.data()), read);
        compressed.resize(length);
        packed.push_back(std::move(compressed));
        sizes.push_back(read);
    }
    double limit = downloadLimit(packed, sizes);
    bench::print("limit: loopback receives + uncompress, no disk",
                 bench::figure("%.3f s, %.0f MB/s", limit, made.bytes / limit / 1e6));

    ServerProcess server(root + "/server");
    {
        // The server compresses and digests every file at its first patch list.
        Settings warmUp(root + "/warm-up.db");
        warmUp.distribution = 0;
        WorkerJob job(warmUp);
        job.connect();
        readPatchList(job, 1);
    }
    // Into memory (tmpfs) the figure is the program's; onto this disk it is the file system's
    // too: creating many files where many were recently deleted is slow on ext4.
    struct Place {
        std::string directory;
        std::string name;
        const char* target;
    };
    std::vector<Place> places = {{"/dev/shm", "tmpfs", "(target >= 1.0)"},
                                 {root, "the work directory's disk", "(target >= 0.7)"}};
    // Memory: a fixed number of files in flight, none bigger than the largest.
    double memoryBound = 3.0 * made.largest / 1048576.0 + 16;
    for (const auto& [place, name, target] : places) {
        if (!fs::is_directory(place))
            continue;
        std::vector<double> times;
        long peak = 0;
        for (int round = 0; round < 3; ++round) {
            std::string game = place + "/pelvar-bench-game" + std::to_string(::getpid()) + "-" +
                               std::to_string(round);
            bench::writeFile(game + "/WoW.exe", "");
            auto [elapsed, memory] =
                runCli(game, root + "/settings" + std::to_string(round) + ".db",
                       {"--distribution", "1", "--no-upload"});
            times.push_back(elapsed);
            peak = std::max(peak, memory);
            fs::remove_all(game);
        }
        double best = *std::min_element(times.begin(), times.end());
        // The same pass inside this process, without the start of a program around it.
        double inside = bench::bestOf(3, [&, place = place] {
            std::string game = place + "/pelvar-bench-inside" + std::to_string(::getpid());
            fs::create_directories(game);
            Settings settings(game + ".db");
            settings.distribution = 1;
            settings.mustChooseDistribution = 0;
            std::string here = fs::current_path();
            fs::current_path(game);
            {
                WorkerJob job(settings);
                runPatchPass(job);
            }
            fs::current_path(here);
            fs::remove_all(game);
            fs::remove(game + ".db");
        });
        bench::print("pass inside this process into " + name,
                     bench::figure("%.3f s, %.0f MB/s", inside, made.bytes / inside / 1e6));
        bench::print(std::string("  ratio to the limit ") + target,
                     bench::figure("%.3f", limit / inside));
        bench::print("pelvar-cli pass into " + name,
                     bench::figure("%.3f s, %.0f MB/s", best, made.bytes / best / 1e6));
        bench::print(std::string("  ratio to the limit ") + target,
                     bench::figure("%.3f", limit / best));
        bench::print("  peak memory of the pass process",
                     bench::figure("%.1f MiB (target <= %.1f MiB, 3 x the largest file + 16 MiB)",
                                   peak / 1024.0, memoryBound));
        printFlushCost(place, distribution);
    }
    fs::remove_all(root);
}

void benchUpload(const std::string& work) {
    std::printf("A first pass with a 1 MiB Zeppelin\n");
    std::string root = work + "/upload";
    fs::remove_all(root);
    fs::create_directories(root + "/server/distributions");
    std::string table = "Mirelgan_Data = {\n";
    for (int i = 0; table.size() < zeppelinAreaSize - 200; ++i)
        table += "  [" + std::to_string(i) + "] = \"" + bench::textContent(60, i) + "\",\n";
    table += "}\n";
    bench::writeFile(root + "/game/WTF/Account/ACC/SavedVariables.lua", table);
    bench::writeFile(root + "/game/WoW.exe", "");
    ServerProcess server(root + "/server");

    std::string zeppelin = "Mirelgan_Data " + std::to_string(table.size()) + "\n" + table;
    uLongf length = zeppelinAreaSize;
    std::string compressed(length, '\0');
    double compressTime = bench::bestOf(3, [&] {
        length = zeppelinAreaSize;
        compress(reinterpret_cast<Bytef*>(compressed.data()), &length,
                 reinterpret_cast<const Bytef*>(zeppelin.data()), zeppelin.size());
    });
    bench::print("Zeppelin bytes, compressed bytes",
                 std::to_string(zeppelin.size()) + ", " + std::to_string(length));
    bench::print("compress of the Zeppelin", bench::figure("%.1f ms", compressTime * 1000));

    Settings settings(root + "/settings.db");
    settings.distribution = 0;
    settings.mustChooseDistribution = 0;
    settings.distListPending = 0;
    settings.serverWdbVersion = 1;
    settings.Username = "anonymous";
    std::string here = fs::current_path();
    fs::current_path(root + "/game");
    WorkerJob job(settings);
    double pass = bench::seconds([&] {
        if (std::optional<SentUpload> sent = uploadPass(job);
            sent && awaitOrderlyClose(job.connection))
            sent->confirm(job);
        job.close();
    });
    fs::current_path(here);
    bench::print("harvest, pack, compress and upload", bench::figure("%.1f ms", pass * 1000));
    bench::print("bytes uploaded", std::to_string(settings.bytesUploaded));
    fs::remove_all(root);
}

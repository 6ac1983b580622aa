// The file check: MD5 throughput, a check of an unchanged installation with a warm digest cache,
// and a complete check, each next to the coreutils or rsync figure of the same work.

#include "base/md5.h"
#include "bench/bench_support.h"
#include "bench/benchmarks.h"
#include "harness/content.h"
#include "job_channel/worker_job.h"
#include "patcher/patch_list.h"
#include "settings/settings.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

void benchMd5(const std::string& work) {
    std::printf("MD5 over a 256 MiB file in page cache\n");
    std::string path = work + "/md5.bin";
    {
        std::string block = bench::textContent(1 << 20, 7);
        for (std::size_t i = 0; i < block.size(); i += 3)
            block[i] = static_cast<char>(block[i] ^ (i * 131));
        FILE* file = std::fopen(path.c_str(), "wb");
        for (int i = 0; i < 256; ++i)
            std::fwrite(block.data(), 1, block.size(), file);
        std::fclose(file);
    }
    const double megabytes = 256.0 * 1.048576;
    bench::run({"md5sum", path}); // into the page cache
    std::string digest;
    double ours =
        bench::bestOf(3, [&] { digest = MD5(std::fopen(path.c_str(), "rb")).hex_digest(); });
    double theirs = bench::bestOf(3, [&] { bench::run({"md5sum", path}); });
    bench::print("MD5 class (file constructor, 1,024-byte reads)",
                 bench::figure("%.0f MB/s", megabytes / ours));
    bench::print("coreutils md5sum", bench::figure("%.0f MB/s", megabytes / theirs));
    bench::print("throughput ratio, ours / md5sum (target >= 0.95)",
                 bench::figure("%.3f", theirs / ours));
    fs::remove(path);
}

void benchCheck(const std::string& work) {
    const int fileCount = 5000;
    std::printf("File check over an installation of %d files\n", fileCount);
    std::string root = work + "/check";
    std::string game = root + "/game";
    fs::remove_all(root);
    std::vector<std::string> lines;
    std::vector<std::string> paths;
    std::size_t totalBytes = 0;
    for (int i = 0; i < fileCount; ++i) {
        std::string path = "Interface/AddOns/Addon" + std::to_string(i / 50) + "/File" +
                           std::to_string(i % 50) + ".lua";
        std::string content = bench::textContent(1000 + (i * 7919) % 19000, i);
        bench::writeFile(game + "/" + path, content);
        totalBytes += content.size();
        paths.push_back(path);
        lines.push_back(path);
        lines.push_back(std::to_string(content.size()) + " " + std::to_string(content.size() / 3));
        lines.push_back(md5Of(content));
    }
    bench::print("files, bytes", std::to_string(fileCount) + ", " + std::to_string(totalBytes));

    Settings settings(root + "/settings.db");
    std::string here = fs::current_path();
    fs::current_path(game);
    WorkerJob job(settings);
    DownloadList list;
    double cold = bench::seconds([&] { list = checkFiles(job, lines); });
    bench::print("first check (every file hashed, cache written)", bench::figure("%.3f s", cold));
    if (!list.empty())
        bench::print("UNEXPECTED: files to fetch", std::to_string(list.size()));

    long opensBefore = bench::gameFilesOpened();
    double warm = bench::bestOf(5, [&] { list = checkFiles(job, lines); });
    long opened = (bench::gameFilesOpened() - opensBefore) / 5;
    bench::print("unchanged check, warm digest cache", bench::figure("%.4f s", warm));
    bench::print("  game files opened per check (target 0)", std::to_string(opened));

    fs::current_path(root);
    if (bench::available("rsync")) {
        fs::copy("game", "copy", fs::copy_options::recursive);
        bench::run({"rsync", "-r", "--dry-run", "game/", "copy/"});
        double rsync = bench::bestOf(5, [&] {
            bench::run({"rsync", "-r", "--dry-run", "game/", "copy/"});
        });
        bench::print("rsync -r --dry-run of the tree against a copy",
                     bench::figure("%.4f s", rsync));
        bench::print("ratio, check / rsync (target <= 1)", bench::figure("%.3f", warm / rsync));
    } else {
        bench::print("rsync -r --dry-run", "rsync is not installed");
    }

    fs::current_path(game);
    settings.completeCheck = 1;
    double complete = bench::bestOf(3, [&] { list = checkFiles(job, lines); });
    settings.completeCheck = 0;
    std::vector<std::string> md5sum = {"md5sum"};
    md5sum.insert(md5sum.end(), paths.begin(), paths.end());
    double coreutils = bench::bestOf(3, [&] { bench::run(md5sum); });
    bench::print("complete check (every file hashed, cache rewritten)",
                 bench::figure("%.3f s", complete));
    bench::print("md5sum over the same files", bench::figure("%.3f s", coreutils));
    bench::print("ratio, complete check / md5sum (target <= 0.6)",
                 bench::figure("%.3f", complete / coreutils));
    fs::current_path(here);
    fs::remove_all(root);
}

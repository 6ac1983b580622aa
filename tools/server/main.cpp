// pelvar-server: serves distributions, accounts and uploads over the service's protocol on
// loopback. See the README for the layout of its root directory.

#include "tools/server/reference_server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int stopPipe[2];

void onSignal(int) {
    char byte = 's';
    [[maybe_unused]] ssize_t ignored = ::write(stopPipe[1], &byte, 1);
}

const char usage[] =
    "usage: pelvar-server [options] ROOT\n"
    "  --port N            listen on 127.0.0.1:N (default 8087; 0 picks a free port)\n"
    "  --address A.B.C.D   listen on another IPv4 address\n"
    "  --wdb-version N     WDB version announced after the distribution list (default 1)\n"
    "fault injection:\n"
    "  --chunk N           send every reply in writes of N bytes\n"
    "  --pause-ms N        pause N ms between two writes of a reply\n"
    "  --split-at N        send every reply in two writes, cut after N bytes\n"
    "  --close-after N     close the connection after N bytes of a reply ...\n"
    "  --close-on X        ... to the request X (D, P, C or L; default C)\n"
    "  --corrupt PATH      spoil the zlib stream of this file (path as in the patch list)\n"
    "  --split-version     send the version line only after the client's next bytes\n";

bool number(const char* text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return text[0] && !*end && errno == 0 && value >= low && value <= high;
}

} // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        long long value = 0;
        bool hasValue = i + 1 < argc;
        auto numeric = [&](long long low, long long high) {
            return hasValue && number(argv[++i], low, high, value);
        };
        if (option == "--help" || option == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (option == "--port" && numeric(0, 65535)) {
            options.port = static_cast<std::uint16_t>(value);
        } else if (option == "--address" && hasValue) {
            options.address = argv[++i];
        } else if (option == "--wdb-version" && numeric(0, 2147483647)) {
            options.wdbVersion = static_cast<std::int32_t>(value);
        } else if (option == "--chunk" && numeric(1, 1 << 30)) {
            options.chunkSize = static_cast<std::size_t>(value);
        } else if (option == "--pause-ms" && numeric(0, 60000)) {
            options.pause = std::chrono::milliseconds(value);
        } else if (option == "--split-at" && numeric(1, 1LL << 40)) {
            options.splitAt = static_cast<std::size_t>(value);
        } else if (option == "--close-after" && numeric(0, 1LL << 40)) {
            options.closeAfter = value;
        } else if (option == "--close-on" && hasValue && std::strlen(argv[i + 1]) == 1) {
            options.closeOn = argv[++i][0];
        } else if (option == "--corrupt" && hasValue) {
            options.corruptPath = argv[++i];
        } else if (option == "--split-version") {
            options.splitVersion = true;
        } else if (option[0] != '-' && options.root.empty()) {
            options.root = option;
        } else {
            std::fprintf(stderr, "pelvar-server: bad option %s\n%s", option.c_str(), usage);
            return 2;
        }
    }
    struct stat info {};
    if (options.root.empty() || ::stat(options.root.c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "pelvar-server: give the root directory\n%s", usage);
        return 2;
    }

    ReferenceServer server(options, [](const std::string& line) {
        char stamp[32];
        std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
        std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
    });
    if (::pipe(stopPipe) != 0)
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "pelvar-server: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "pelvar-server: serving %s on %s:%u\n", options.root.c_str(),
                 options.address.c_str(), server.port());
    char byte;
    while (::read(stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    std::fprintf(stderr, "pelvar-server: stopping\n");
    server.stop();
    return 0;
}

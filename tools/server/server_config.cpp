#include "tools/server/server_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unistd.h>

const char serverUsage[] =
    "usage: pelvar-server [options] ROOT\n"
    "Serves the distributions under ROOT/distributions, keeps accounts and the index of the\n"
    "uploads in ROOT/server.db and the uploads in ROOT/uploads. Logs one line per request on\n"
    "standard error. Stops on SIGINT or SIGTERM; on SIGHUP reads its configuration file again.\n"
    "\n"
    "  --help                show this text and exit\n"
    "  --version             show the version and exit\n"
    "  --config FILE         read options from FILE, one \"name = value\" per line, with the\n"
    "                        names of the options below without their dashes (\"#\" starts a\n"
    "                        comment line); options on the command line win over the file;\n"
    "                        a missing FILE counts as empty\n"
    "  --address A.B.C.D     listen on this IPv4 address (default 127.0.0.1)\n"
    "  --port N              listen on port N (default 8087; 0 picks a free port and says which)\n"
    "  --wdb-version N       WDB version announced after the distribution list (default 1)\n"
    "  --max-sessions N      sessions served at once (default 256); at the cap a new\n"
    "                        connection waits, and the session whose client has kept it\n"
    "                        waiting longest (1 s at least, unless its address holds more\n"
    "                        than an eighth of N) is reset to make room for it\n"
    "  --idle-timeout S      drop a client silent or not reading for S seconds (default 60)\n"
    "  --request-timeout S   drop a client whose request, once begun, does not arrive whole\n"
    "                        (or whose reply is not read whole) within S seconds plus its\n"
    "                        bytes at --min-rate (default 10)\n"
    "  --min-rate BYTES      the slowest rate, per second, at which a request line or an\n"
    "                        upload may arrive, or a reply be read (default 4K)\n"
    "  --upload-max BYTES    largest upload kept, inflated (default 1M)\n"
    "  --daily-quota BYTES   inflated bytes one account may upload in 24 hours (default 64M)\n"
    "  --anonymous-quota BYTES\n"
    "                        inflated bytes anonymous uploads from one address may store in\n"
    "                        24 hours (default 64M)\n"
    "  --anonymous-ceiling BYTES\n"
    "                        inflated bytes all anonymous uploads together may store in 24\n"
    "                        hours (default 1G)\n"
    "  --file-cache BYTES    compressed files kept in memory (default 64M)\n"
    "  --max-hashing N       password hashes computed at once, 64 MiB each (default 2)\n"
    "  BYTES may end in K, M or G (powers of 1024).\n"
    "\n"
    "fault injection, for tests:\n"
    "  --chunk N             send every reply in writes of N bytes\n"
    "  --pause-ms N          pause N ms between two writes of a reply\n"
    "  --split-at N          send every reply in two writes, cut after N bytes\n"
    "  --close-after N       close the connection after N bytes of a reply ...\n"
    "  --close-on X          ... to the request X (D, P, C or L; default C)\n"
    "  --corrupt PATH        spoil the zlib stream of this file (path as in the patch list)\n"
    "  --split-version       send the version line only after the client's next bytes\n"
    "\n"
    "SIGHUP applies a changed wdb-version, max-sessions, idle-timeout, request-timeout,\n"
    "min-rate, upload-max, the quotas and the fault-injection options to the connections that\n"
    "follow; address, port, file-cache and max-hashing change only on a restart.\n"
    "\n"
    "Accounts: a login with a new name makes the account, a known name must give its password\n"
    "(kept only as an Argon2id hash), \"anonymous\" with an empty password is always accepted.\n"
    "A plain ROOT/accounts file (name and password lines) is converted on start, or at the next\n"
    "login when it appears later, and removed. Uploads count against their account's quota;\n"
    "all anonymous uploads share one account, \"anonymous\", and count against the quota of\n"
    "their source address and the anonymous ceiling. An upload that is not stored (over a\n"
    "quota or the size limit, malformed, without a login, not written) is logged, then the\n"
    "connection is reset, so that the client keeps what it sent. An upload's file and row are\n"
    "on the disk before the session reads on; one that its account sent before (the same\n"
    "SHA-256 of its inflated bytes) is taken as stored and neither stored nor counted again.\n"
    "After a stored upload only the client's own end between two requests closes the\n"
    "connection in order; a failure, a time-out or a stop resets it. On start, upload files\n"
    "that no row of ROOT/server.db names are removed.\n";

namespace {

bool number(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty() || text.size() > 19)
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return std::isdigit(static_cast<unsigned char>(text[0])) && !*end && errno == 0 &&
           value >= low && value <= high;
}

bool bytes(const std::string& text, std::size_t& value) {
    std::string digits = text;
    long long scale = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'k':
        case 'K':
            scale = 1LL << 10;
            break;
        case 'm':
        case 'M':
            scale = 1LL << 20;
            break;
        case 'g':
        case 'G':
            scale = 1LL << 30;
            break;
        }
        if (scale > 1)
            digits.pop_back();
    }
    long long parsed;
    if (!number(digits, 0, (1LL << 50) / scale, parsed))
        return false;
    value = static_cast<std::size_t>(parsed * scale);
    return true;
}

bool flag(const std::string& text, bool& value) {
    if (text == "1" || text == "yes" || text == "true" || text == "on")
        value = true;
    else if (text == "0" || text == "no" || text == "false" || text == "off")
        value = false;
    else
        return false;
    return true;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Options given without a value on the command line.
bool isFlag(const std::string& name) {
    return name == "split-version";
}

} // namespace

bool applySetting(ServerOptions& options, const Setting& setting, std::string& error) {
    const auto& [name, value] = setting;
    long long n = 0;
    bool ok = true;
    if (name == "address")
        options.address = value;
    else if (name == "port")
        ok = number(value, 0, 65535, n) && (options.port = static_cast<std::uint16_t>(n), true);
    else if (name == "wdb-version")
        ok = number(value, 0, 2147483647, n) &&
             (options.wdbVersion = static_cast<std::int32_t>(n), true);
    else if (name == "max-sessions")
        ok = number(value, 1, 1000000, n) && (options.maxSessions = static_cast<int>(n), true);
    else if (name == "idle-timeout")
        ok = number(value, 1, 86400, n) && (options.idleTimeout = std::chrono::seconds(n), true);
    else if (name == "request-timeout")
        ok = number(value, 1, 86400, n) && (options.requestTimeout = std::chrono::seconds(n), true);
    else if (name == "min-rate")
        ok = bytes(value, options.minRate) && options.minRate > 0;
    else if (name == "upload-max")
        ok = bytes(value, options.uploadMax);
    else if (name == "daily-quota")
        ok = bytes(value, options.dailyQuota);
    else if (name == "anonymous-quota")
        ok = bytes(value, options.anonymousQuota);
    else if (name == "anonymous-ceiling")
        ok = bytes(value, options.anonymousCeiling);
    else if (name == "file-cache")
        ok = bytes(value, options.fileCache);
    else if (name == "max-hashing")
        ok = number(value, 1, 64, n) && (options.maxHashing = static_cast<int>(n), true);
    else if (name == "chunk")
        ok =
            number(value, 1, 1 << 30, n) && (options.chunkSize = static_cast<std::size_t>(n), true);
    else if (name == "pause-ms")
        ok = number(value, 0, 60000, n) && (options.pause = std::chrono::milliseconds(n), true);
    else if (name == "split-at")
        ok =
            number(value, 1, 1LL << 40, n) && (options.splitAt = static_cast<std::size_t>(n), true);
    else if (name == "close-after")
        ok = number(value, 0, 1LL << 40, n) && (options.closeAfter = n, true);
    else if (name == "close-on")
        ok = value.size() == 1 && (options.closeOn = value[0], true);
    else if (name == "corrupt")
        options.corruptPath = value;
    else if (name == "split-version")
        ok = flag(value, options.splitVersion);
    else {
        error = "unknown option " + name;
        return false;
    }
    if (!ok)
        error = "bad value for " + name + ": " + value;
    return ok;
}

bool parseCommandLine(int argc, char** argv, ServerSettings& settings, std::string& root,
                      std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
            std::string name = argument.substr(2), value;
            std::size_t equals = name.find('=');
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.erase(equals);
            } else if (isFlag(name)) {
                value = "1";
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = "option " + argument + " needs a value";
                return false;
            }
            if (name == "config") {
                settings.configFile = value;
                continue;
            }
            ServerOptions probe;
            if (!applySetting(probe, {name, value}, error))
                return false;
            settings.commandLine.emplace_back(name, value);
        } else if (!argument.empty() && argument[0] != '-' && root.empty()) {
            root = argument;
        } else {
            error = "bad argument " + argument;
            return false;
        }
    }
    if (root.empty()) {
        error = "give the root directory";
        return false;
    }
    return true;
}

bool readConfigFile(const std::string& path, std::vector<Setting>& settings, std::string& error) {
    // A missing file is as good as an empty one: the service names its file whether the
    // administrator wrote one or not.
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return true;
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::string text = trimmed(line);
        if (text.empty() || text[0] == '#')
            continue;
        std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            error = path + ":" + std::to_string(number) + ": not \"name = value\"";
            return false;
        }
        std::string name = trimmed(text.substr(0, equals));
        if (name == "config") {
            error = path + ":" + std::to_string(number) + ": config cannot be nested";
            return false;
        }
        settings.emplace_back(name, trimmed(text.substr(equals + 1)));
        ServerOptions probe;
        if (!applySetting(probe, settings.back(), error)) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    if (file.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool resolveOptions(const ServerSettings& settings, const std::string& root, ServerOptions& options,
                    std::string& error) {
    ServerOptions made;
    made.root = root;
    std::vector<Setting> all;
    if (!settings.configFile.empty() && !readConfigFile(settings.configFile, all, error))
        return false;
    all.insert(all.end(), settings.commandLine.begin(), settings.commandLine.end());
    for (const Setting& setting : all)
        if (!applySetting(made, setting, error))
            return false;
    options = made;
    return true;
}

void applyChangeable(const ServerOptions& wanted, ServerOptions& running,
                     std::vector<std::string>& ignored) {
    if (wanted.address != running.address)
        ignored.push_back("address");
    if (wanted.port != running.port)
        ignored.push_back("port");
    if (wanted.fileCache != running.fileCache)
        ignored.push_back("file-cache");
    if (wanted.maxHashing != running.maxHashing)
        ignored.push_back("max-hashing");
    ServerOptions kept = running;
    running = wanted;
    running.root = kept.root;
    running.address = kept.address;
    running.port = kept.port;
    running.fileCache = kept.fileCache;
    running.maxHashing = kept.maxHashing;
}

#pragma once

#include "net/server_link.h"

#include <cstdint>
#include <map>
#include <string>

class Settings;

// Every path of the distribution (with its ".nopatch" and ".prepatch" names), byte for byte.
using DistributionFileSet = std::map<std::string, int>;

// Thrown by fatal to unwind the worker back to workerMain, so the pass's resources are released
// at once. Nothing but workerMain catches it.
struct PassAborted {};

// The worker-side object of one pass. status, fatal, setProgress, askLogin and askDistribution
// act on the running pass's Job only, never on a field of this object.
class WorkerJob {
public:
    explicit WorkerJob(Settings& settings);
    WorkerJob(const WorkerJob&) = delete;
    WorkerJob& operator=(const WorkerJob&) = delete;

    Settings& settings;
    std::uint16_t port;
    // Compressed bytes of the download phase; 64-bit so that progress never overflows.
    std::int64_t bytesTotal = 0;
    std::int64_t bytesDone = 0;
    ServerLink connection;
    DistributionFileSet distributionFileSet;

    void status(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    [[noreturn]] void fatal(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void setProgress(int percent) const;
    // Blocks until the window has run the login flow.
    void askLogin() const;
    // Blocks until the window has shown the distribution choice.
    void askDistribution() const;

    bool connected() const { return connection.connected(); }
    // Opens the connection; on failure the pass ends through fatal.
    void connect();
    void close() { connection.close(); }
    // One login attempt with the stored account: 1 accepted, 0 otherwise.
    int login();
};

#pragma once

#include "net/server_link.h"

#include <cstdint>
#include <map>
#include <string>

class Settings;

// Every path of the distribution (with its ".nopatch" and ".prepatch" names), byte for byte.
using DistributionFileSet = std::map<std::string, int>;

// How a pass that the window stopped ("Run WoW", closing) ends, on the status line and as the
// pass's message: what it had installed is in place, the rest comes with the next pass.
inline constexpr char passStoppedMessage[] = "Patch left unfinished: the next pass finishes it";

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
    // Ends the pass with the message; once the window has asked the pass to stop, with
    // passStoppedMessage and without the pause.
    [[noreturn]] void fatal(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // True once the window has asked the running pass to stop.
    bool stopRequested() const;
    // Ends the pass as stopped.
    [[noreturn]] void stopped() const;
    void setProgress(int percent) const;
    // Blocks until the window has run the login flow (or asked the pass to stop: it then ends).
    void askLogin() const;
    // Blocks until the window has shown the distribution choice (or asked the pass to stop).
    void askDistribution() const;

    bool connected() const { return connection.connected(); }
    // Opens the connection; on failure the pass ends through fatal.
    void connect();
    void close() { connection.close(); }
    // One login attempt with the stored account: 1 accepted, 0 otherwise. A refusal is told to
    // the window's login flow.
    int login();

private:
    // Watches the connection's waits: a wait longer than a second shows on the status line with
    // how long it has lasted, and the progress bar as busy; a stop request gives the wait up.
    bool watchWait(const LinkWait& wait);

    std::string lineBeforeWait_; // the status line when the shown wait began
    std::string waitText_;       // what the shown wait is called
    long waitShownSeconds_ = 0;  // 0 while no wait shows
};

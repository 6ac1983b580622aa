#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// An event that stays signalled until one wait consumes it.
class AutoResetEvent {
public:
    void signal();
    void reset();
    // Waits without time-out and consumes the signal.
    void wait();
    // Waits at most `timeout`; true (and consumed) when the event was signalled.
    bool wait(std::chrono::milliseconds timeout);
    bool test() { return wait(std::chrono::milliseconds(0)); }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

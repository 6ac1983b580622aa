#include "job_channel/auto_reset_event.h"

void AutoResetEvent::signal() {
    {
        std::lock_guard guard(lock_);
        signalled_ = true;
    }
    changed_.notify_one();
}

void AutoResetEvent::reset() {
    std::lock_guard guard(lock_);
    signalled_ = false;
}

void AutoResetEvent::wait() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return signalled_; });
    signalled_ = false;
}

bool AutoResetEvent::wait(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock_);
    if (!changed_.wait_for(guard, timeout, [this] { return signalled_; }))
        return false;
    signalled_ = false;
    return true;
}

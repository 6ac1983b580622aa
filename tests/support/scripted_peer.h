#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A peer on 127.0.0.1 that accepts one connection and plays a script on it: exact bytes to
// expect, bytes to send (split wherever the script says), pauses, a close. Everything it read is
// kept, so a test can check the client's bytes to the byte.
class ScriptedPeer {
public:
    ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    ~ScriptedPeer();

    std::uint16_t port() const { return port_; }

    // Reads exactly as many bytes as `bytes` holds; a difference is recorded as a mismatch.
    ScriptedPeer& expect(std::string bytes);
    ScriptedPeer& send(std::string bytes);
    ScriptedPeer& pause(std::chrono::milliseconds duration);
    // Reads until the client closes (or ten seconds pass).
    ScriptedPeer& readUntilClosed();
    ScriptedPeer& close();
    // Ends its sending side only and reads nothing more: the client sees the end of the stream
    // while its bytes wait unread.
    ScriptedPeer& endSending();
    // The peer's process ends: its socket goes away, so that bytes reaching it afterwards, or
    // left unread in it, are answered with a reset.
    ScriptedPeer& vanish();

    // Accepts one connection and plays the script on a thread of its own.
    void start();
    // Waits for the script to end; true when it ran to its end and every expectation held.
    bool finish();

    std::string received();
    const std::string& mismatch() const { return mismatch_; }

private:
    bool readExactly(std::size_t length, std::string& bytes);

    int listener_ = -1;
    std::atomic<int> socket_{-1};
    std::uint16_t port_ = 0;
    std::vector<std::function<bool()>> steps_;
    std::thread thread_;
    std::mutex lock_;
    std::string received_;
    std::string mismatch_;
    bool completed_ = false;
};

#include "tests/support/scripted_peer.h"

#include "harness/loopback.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

namespace {
constexpr int patienceMs = 10000;
}

ScriptedPeer::ScriptedPeer() {
    std::tie(listener_, port_) = loopbackListener();
    if (listener_ < 0)
        throw std::runtime_error("scripted peer cannot listen");
}

ScriptedPeer::~ScriptedPeer() {
    if (socket_ >= 0)
        ::shutdown(socket_, SHUT_RDWR);
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    if (socket_ >= 0)
        ::close(socket_);
    ::close(listener_);
}

bool ScriptedPeer::readExactly(std::size_t length, std::string& bytes) {
    bytes.clear();
    while (bytes.size() < length) {
        pollfd waiting{socket_, POLLIN, 0};
        if (::poll(&waiting, 1, patienceMs) <= 0)
            return false;
        char block[65536];
        ssize_t got = ::recv(socket_, block, std::min(sizeof block, length - bytes.size()), 0);
        if (got <= 0)
            return false;
        bytes.append(block, static_cast<std::size_t>(got));
        std::lock_guard guard(lock_);
        received_.append(block, static_cast<std::size_t>(got));
    }
    return true;
}

ScriptedPeer& ScriptedPeer::expect(std::string bytes) {
    steps_.push_back([this, bytes] {
        std::string got;
        bool complete = readExactly(bytes.size(), got);
        if (got != bytes) {
            mismatch_ = "expected '" + bytes + "', got '" + got + "'";
            return false;
        }
        return complete;
    });
    return *this;
}

ScriptedPeer& ScriptedPeer::send(std::string bytes) {
    steps_.push_back([this, bytes] {
        std::size_t at = 0;
        while (at < bytes.size()) {
            ssize_t sent = ::send(socket_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            at += static_cast<std::size_t>(sent);
        }
        return true;
    });
    return *this;
}

ScriptedPeer& ScriptedPeer::pause(std::chrono::milliseconds duration) {
    steps_.push_back([duration] {
        std::this_thread::sleep_for(duration);
        return true;
    });
    return *this;
}

ScriptedPeer& ScriptedPeer::readUntilClosed() {
    steps_.push_back([this] {
        for (;;) {
            pollfd waiting{socket_, POLLIN, 0};
            if (::poll(&waiting, 1, patienceMs) <= 0)
                return false;
            char block[65536];
            ssize_t got = ::recv(socket_, block, sizeof block, 0);
            if (got <= 0)
                return got == 0;
            std::lock_guard guard(lock_);
            received_.append(block, static_cast<std::size_t>(got));
        }
    });
    return *this;
}

ScriptedPeer& ScriptedPeer::close() {
    steps_.push_back([this] {
        ::shutdown(socket_, SHUT_RDWR);
        return true;
    });
    return *this;
}

ScriptedPeer& ScriptedPeer::endSending() {
    steps_.push_back([this] {
        ::shutdown(socket_, SHUT_WR);
        return true;
    });
    return *this;
}

ScriptedPeer& ScriptedPeer::vanish() {
    steps_.push_back([this] {
        ::close(socket_.exchange(-1));
        return true;
    });
    return *this;
}

void ScriptedPeer::start() {
    thread_ = std::thread([this] {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, patienceMs) <= 0)
            return;
        socket_ = ::accept(listener_, nullptr, nullptr);
        if (socket_ < 0)
            return;
        int one = 1;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (auto& step : steps_)
            if (!step())
                return;
        completed_ = true;
    });
}

bool ScriptedPeer::finish() {
    if (thread_.joinable())
        thread_.join();
    return completed_ && mismatch_.empty();
}

std::string ScriptedPeer::received() {
    std::lock_guard guard(lock_);
    return received_;
}

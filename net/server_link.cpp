#include "net/server_link.h"

#include "base/format_string.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#ifndef MIRELGAN_SERVER_ADDRESS_1
#define MIRELGAN_SERVER_ADDRESS_1 127
#define MIRELGAN_SERVER_ADDRESS_2 0
#define MIRELGAN_SERVER_ADDRESS_3 0
#define MIRELGAN_SERVER_ADDRESS_4 1
#endif

std::string builtInServerAddress() {
    std::string text;
    formatString(text, "%d%s%d%s%d%s%d", MIRELGAN_SERVER_ADDRESS_1, ".", MIRELGAN_SERVER_ADDRESS_2,
                 ".", MIRELGAN_SERVER_ADDRESS_3, ".", MIRELGAN_SERVER_ADDRESS_4);
    return text;
}

std::optional<ServerEndpoint> parseServerEndpoint(const std::string& text) {
    std::string address = text;
    ServerEndpoint endpoint;
    endpoint.port = defaultServerPort;
    if (std::size_t colon = text.find(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        std::string port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
        if (value == 0 || value > 65535)
            return std::nullopt;
        endpoint.port = static_cast<std::uint16_t>(value);
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return std::nullopt;
    endpoint.address = parsed.s_addr;
    return endpoint;
}

std::optional<ServerEndpoint> configuredServer() {
    if (const char* overridden = std::getenv("MIRELGAN_SERVER"); overridden && *overridden)
        return parseServerEndpoint(overridden);
    return ServerEndpoint{::inet_addr(builtInServerAddress().c_str()), defaultServerPort};
}

ServerLink::ConnectResult ServerLink::connect(const ServerEndpoint& endpoint) {
    ConnectResult result = open(endpoint);
    // A socket that did not get connected is no connection.
    if (result.failure != Failure::none)
        close();
    return result;
}

ServerLink::ConnectResult ServerLink::open(const ServerEndpoint& endpoint) {
    close();
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (socket_ < 0)
        return {Failure::createSocket, errno};

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return {Failure::bind, errno};

    // Connect without blocking, so that an unreachable server costs at most connectTimeout.
    int flags = ::fcntl(socket_, F_GETFL);
    ::fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = endpoint.address;
    remote.sin_port = htons(endpoint.port);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno != EINPROGRESS)
            return {Failure::connect, errno};
        int ready;
        do
            ready = watchedPoll(POLLOUT, connectTimeout, LinkWait::Awaited::connection);
        while (ready == -1 && errno == EINTR);
        if (ready != 1)
            return {Failure::connect, ready == 0 ? ETIMEDOUT : ready == -2 ? ECANCELED : errno};
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            return {Failure::connect, error};
    }
    int one = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return {};
}

void ServerLink::close() {
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
    end_ = LinkEnd::none;
    awaitingReply_ = false;
    budget_ = std::chrono::steady_clock::duration::max();
}

void ServerLink::beginExchange(std::uint64_t bytes) {
    using namespace std::chrono;
    auto forBytes = duration_cast<steady_clock::duration>(
        duration<double>(static_cast<double>(bytes) / std::max<std::uint32_t>(minimumRate, 1)));
    budget_ = duration_cast<steady_clock::duration>(ioTimeout) + forBytes;
}

namespace {

// Tells the one watching a link how a wait goes, and once more when a wait it was told of ends,
// whichever way it ends.
class WaitWatch {
public:
    WaitWatch(const std::function<bool(const LinkWait&)>& onWait, LinkWait::Awaited awaited)
        : onWait_(onWait), wait_{awaited} {}
    WaitWatch(const WaitWatch&) = delete;
    WaitWatch& operator=(const WaitWatch&) = delete;
    ~WaitWatch() {
        if (told_) {
            wait_.over = true;
            onWait_(wait_);
        }
    }
    // False when the wait is to be given up.
    bool tell(std::chrono::steady_clock::duration lasted) {
        told_ = true;
        wait_.lasted = std::chrono::duration_cast<std::chrono::milliseconds>(lasted);
        return onWait_(wait_);
    }

private:
    const std::function<bool(const LinkWait&)>& onWait_;
    LinkWait wait_;
    bool told_ = false;
};

} // namespace

int ServerLink::watchedPoll(short events, std::chrono::steady_clock::duration limit,
                            LinkWait::Awaited awaited) {
    using namespace std::chrono;
    pollfd waiting{socket_, events, 0};
    auto began = steady_clock::now();
    WaitWatch watch(onWait, awaited);
    for (;;) {
        auto left = limit - (steady_clock::now() - began);
        if (budget_ != steady_clock::duration::max())
            left = std::min(left, budget_);
        if (left <= steady_clock::duration::zero())
            return 0;
        // Rounded up, so that less than a millisecond left still waits.
        auto slice = onWait ? std::min<steady_clock::duration>(left, waitTick) : left;
        int timeoutMs = static_cast<int>(ceil<milliseconds>(slice).count());
        auto started = steady_clock::now();
        int ready = ::poll(&waiting, 1, timeoutMs);
        auto waited = steady_clock::now() - started;
        if (budget_ != steady_clock::duration::max())
            budget_ -= std::min(waited, budget_);
        if (ready != 0)
            return ready > 0 ? 1 : -1;
        if (onWait && !watch.tell(steady_clock::now() - began))
            return -2;
    }
}

bool ServerLink::waitFor(short events) {
    LinkWait::Awaited awaited = events == POLLOUT ? LinkWait::Awaited::sending
                                : awaitingReply_  ? LinkWait::Awaited::reply
                                                  : LinkWait::Awaited::moreOfTheReply;
    for (;;) {
        switch (watchedPoll(events, ioTimeout, awaited)) {
        case 1:
            return true;
        case 0:
            end_ = LinkEnd::timedOut;
            return false;
        case -2:
            end_ = LinkEnd::stopped;
            return false;
        default:
            if (errno != EINTR) {
                end_ = LinkEnd::reset;
                return false;
            }
        }
    }
}

long ServerLink::moved(long result) {
    if (result > 0)
        end_ = LinkEnd::none;
    return result;
}

long ServerLink::sendBytes(const void* bytes, std::size_t length) {
    if (socket_ < 0) {
        end_ = LinkEnd::reset;
        return -1;
    }
    for (;;) {
        ssize_t sent = ::send(socket_, bytes, length, MSG_NOSIGNAL);
        if (sent >= 0) {
            awaitingReply_ = awaitingReply_ || sent > 0;
            return moved(static_cast<long>(sent));
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            end_ = LinkEnd::reset;
            return -1;
        }
        if (!waitFor(POLLOUT))
            return end_ == LinkEnd::reset ? -1 : 0;
    }
}

long ServerLink::receive(void* buffer, std::size_t capacity) {
    if (socket_ < 0) {
        end_ = LinkEnd::reset;
        return -1;
    }
    if (capacity == 0)
        return 0; // asks for nothing, gets nothing, and never waits for it
    for (;;) {
        ssize_t received = ::recv(socket_, buffer, capacity, 0);
        if (received > 0) {
            awaitingReply_ = false;
            return moved(static_cast<long>(received));
        }
        if (received == 0) {
            end_ = LinkEnd::closed;
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            end_ = LinkEnd::reset;
            return -1;
        }
        if (!waitFor(POLLIN))
            return end_ == LinkEnd::reset ? -1 : 0;
    }
}

bool ServerLink::shutdownSending() {
    return socket_ >= 0 && ::shutdown(socket_, SHUT_WR) == 0;
}

bool ServerLink::peerAcknowledgedEverything() {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + std::min<steady_clock::duration>(ioTimeout, seconds(2));
    for (;;) {
        int error = 0;
        socklen_t length = sizeof error;
        // Bytes of ours the peer has not acknowledged, those still queued unsent included (the
        // count of segments in flight misses those, e.g. behind a window the peer closed).
        int unacknowledged = 0;
        if (socket_ < 0 || ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0 || ::ioctl(socket_, SIOCOUTQ, &unacknowledged) != 0) {
            end_ = LinkEnd::reset;
            return false;
        }
        if (unacknowledged == 0)
            return true;
        if (steady_clock::now() >= deadline) {
            end_ = LinkEnd::timedOut;
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

bool ServerLink::sendAll(const void* bytes, std::size_t length) {
    auto* cursor = static_cast<const char*>(bytes);
    while (length > 0) {
        long sent = sendBytes(cursor, length);
        if (sent <= 0)
            return false;
        cursor += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

const char* endText(LinkEnd end) {
    switch (end) {
    case LinkEnd::closed:
        return "the server closed the connection";
    case LinkEnd::reset:
        return "the connection was reset";
    case LinkEnd::timedOut:
        return "the server stopped answering";
    case LinkEnd::stopped:
        return "the pass was stopped";
    case LinkEnd::none:
        break;
    }
    return "the server sent no more";
}

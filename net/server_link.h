#pragma once

#include "base/wire_format.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Where the service listens.
struct ServerEndpoint {
    std::uint32_t address = 0; // network byte order
    std::uint16_t port = 0;
};

// The build setting's address as dotted decimal text.
std::string builtInServerAddress();

// Reads "a.b.c.d" or "a.b.c.d:port"; nothing when the text is neither.
std::optional<ServerEndpoint> parseServerEndpoint(const std::string& text);

// The service to talk to: $MIRELGAN_SERVER when it is set, else the built-in address on port
// 8087. Nothing when $MIRELGAN_SERVER is set but unreadable.
std::optional<ServerEndpoint> configuredServer();

// Why a send or a receive moved nothing: the peer closed in order, the connection failed (a
// reset), the server kept us waiting too long, or the one watching the wait gave it up.
enum class LinkEnd { none, closed, reset, timedOut, stopped };

// What the pass says when a reply of which not one byte arrived was waited for in vain.
inline constexpr char serverDidNotAnswer[] = "The server did not answer";

// One wait for the server, as the one watching the link sees it (see ServerLink::onWait).
struct LinkWait {
    enum class Awaited {
        connection,     // the server's answer to the connect
        reply,          // a reply of which nothing has arrived since our last request
        moreOfTheReply, // the rest of a reply under way
        sending,        // room to send: the server does not read
    };
    Awaited awaited = Awaited::reply;
    std::chrono::milliseconds lasted{0};
    bool over = false; // the wait has ended, whichever way
};

// The one TCP connection of a pass. Every wait is bounded, so a silent or trickling server can
// never hold a pass: connecting waits at most connectTimeout; a receive or send that cannot make
// progress within ioTimeout gives up; and each exchange has a budget for all its waits together
// (see beginExchange), so a server that sends one byte a minute is given up on as well.
class ServerLink {
public:
    enum class Failure { none, createSocket, bind, connect };
    struct ConnectResult {
        Failure failure = Failure::none;
        int errorCode = 0; // errno of the failed step
    };

    ServerLink() = default;
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;
    ~ServerLink() { close(); }

    ConnectResult connect(const ServerEndpoint& endpoint);
    void close();
    bool connected() const { return socket_ >= 0; }

    // Starts the budget of one exchange that moves up to `bytes` bytes in either direction:
    // the waits for the server of all its sends and receives together may take ioTimeout plus
    // the time a slow but honest link (minimumRate) needs for the bytes.
    void beginExchange(std::uint64_t bytes);

    // Bytes moved; 0 when the peer has closed or a wait ran out; negative on error. end() tells
    // which.
    long sendBytes(const void* bytes, std::size_t length);
    long receive(void* buffer, std::size_t capacity);
    // Sends all of `length` bytes, as long as sends move bytes.
    bool sendAll(const void* bytes, std::size_t length);
    // Shuts down our sending side: the server reads to the end of what we sent.
    bool shutdownSending();
    // After the peer's end of the stream: waits a moment for the peer's system to acknowledge
    // every byte we sent (our end included), and tells whether it did without a reset. A peer
    // that closes with our bytes unread resets the connection instead; one that closed before
    // they arrived resets them when they do. So an acknowledged end shows the peer read them all
    // (unless its program shuts both ways without closing, leaving them unread in its system:
    // no TCP peer can tell that from a read).
    bool peerAcknowledgedEverything();
    // Why the last send or receive moved nothing; none after one that moved bytes.
    LinkEnd end() const { return end_; }
    // True when nothing has arrived since our last request went out: its reply has not begun.
    bool awaitingReply() const { return awaitingReply_; }

    // Time for the SYN to be sent again three times (after 1, 3 and 7 s) and for the fourth one
    // (at 15 s) to be answered over a slow link: a server that answers none of them is not
    // reached.
    std::chrono::milliseconds connectTimeout{20000};
    std::chrono::milliseconds ioTimeout{60000};
    // Bytes per second that the slowest honest link still delivers.
    std::uint32_t minimumRate = 1024;

    // When set, a wait for the server (connecting, receiving, sending) is watched: called about
    // every waitTick with how long the wait has lasted, and once more with `over` when a wait it
    // was called for ends. Returning false gives the wait up at once: end() is then `stopped`.
    std::function<bool(const LinkWait&)> onWait;
    std::chrono::milliseconds waitTick{100};

private:
    ConnectResult open(const ServerEndpoint& endpoint);
    // Waits for `events` within the exchange's budget; false (and end() set) when it ran out or
    // was given up.
    bool waitFor(short events);
    // Polls for `events` for at most `limit`, in ticks when the wait is watched: 1 when ready, 0
    // when the limit has passed, -1 on an error (errno), -2 when the wait was given up. What the
    // polls waited is taken from the exchange's budget.
    int watchedPoll(short events, std::chrono::steady_clock::duration limit,
                    LinkWait::Awaited awaited);
    long moved(long result);

    int socket_ = -1;
    LinkEnd end_ = LinkEnd::none;
    bool awaitingReply_ = false;
    std::chrono::steady_clock::duration budget_ = std::chrono::steady_clock::duration::max();
};

// What a failed exchange tells the user about the end of the stream: "the server closed the
// connection", "the connection was reset", "the server stopped answering", "the pass was
// stopped".
const char* endText(LinkEnd end);

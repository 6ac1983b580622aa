#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Where the service listens.
struct ServerEndpoint {
    std::uint32_t address = 0; // network byte order
    std::uint16_t port = 0;
};

inline constexpr std::uint16_t defaultServerPort = 8087;

// The build setting's address as dotted decimal text.
std::string builtInServerAddress();

// Reads "a.b.c.d" or "a.b.c.d:port"; nothing when the text is neither.
std::optional<ServerEndpoint> parseServerEndpoint(const std::string& text);

// The service to talk to: $MIRELGAN_SERVER when it is set, else the built-in address on port
// 8087. Nothing when $MIRELGAN_SERVER is set but unreadable.
std::optional<ServerEndpoint> configuredServer();

// The one TCP connection of a pass. Every wait is bounded, so a silent server can never hold a
// pass forever: connecting waits at most connectTimeout, and a receive or send that cannot make
// progress within ioTimeout ends as if the peer had closed.
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

    // Bytes moved; 0 when the peer has closed or the wait timed out; negative on error.
    long sendBytes(const void* bytes, std::size_t length);
    long receive(void* buffer, std::size_t capacity);
    // Sends all of `length` bytes, as long as sends move bytes.
    bool sendAll(const void* bytes, std::size_t length);

    std::chrono::milliseconds connectTimeout{15000};
    std::chrono::milliseconds ioTimeout{60000};

private:
    ConnectResult open(const ServerEndpoint& endpoint);
    bool waitFor(short events);

    int socket_ = -1;
};

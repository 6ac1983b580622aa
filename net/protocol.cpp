#include "net/protocol.h"

#include "base/format_string.h"

#include <algorithm>
#include <climits>
#include <cstring>

std::optional<std::string> loginRequest(std::string_view user, std::string_view password) {
    if (user.find('\n') != std::string_view::npos || password.find('\n') != std::string_view::npos)
        return std::nullopt;
    std::string request;
    request.reserve(user.size() + password.size() + 4);
    request.append("L\n").append(user).append("\n").append(password).append("\n");
    if (request.size() > loginAreaSize)
        return std::nullopt;
    return request;
}

bool loginAccepted(const char* reply, long length) {
    return length >= 3 && std::memcmp(reply, "OK\n", 3) == 0;
}

LoginOutcome loginExchange(ServerLink& link, std::string_view user, std::string_view password) {
    if (user.empty())
        return LoginOutcome::notSent;
    std::optional<std::string> request = loginRequest(user, password);
    if (!request)
        return LoginOutcome::notSent;
    link.beginExchange(request->size() + loginAreaSize);
    if (!link.sendAll(request->data(), request->size()))
        return LoginOutcome::noReply;
    char reply[loginAreaSize];
    std::size_t length = 0;
    while (length < sizeof reply) {
        long received = link.receive(reply + length, sizeof reply - length);
        if (received <= 0)
            return LoginOutcome::noReply;
        bool lineEnded = std::memchr(reply + length, '\n', static_cast<std::size_t>(received));
        length += static_cast<std::size_t>(received);
        if (lineEnded)
            break;
    }
    // A first line of 512 bytes or more is no "OK".
    return loginAccepted(reply, static_cast<long>(length)) ? LoginOutcome::accepted
                                                           : LoginOutcome::refused;
}

bool DistributionListReader::feed(const char* bytes, std::size_t length,
                                  const std::function<void(const std::string&)>& onEntry) {
    if (complete())
        return true;
    total_ += length;
    if (total_ > distributionListMax) {
        tooLong_ = true;
        return true;
    }
    const char* end = bytes + length;
    while (!ended_ && bytes < end) {
        const char* feed = static_cast<const char*>(std::memchr(bytes, '\n', end - bytes));
        const char* pieceEnd = feed ? feed : end;
        std::size_t room = distributionLineMax - line_.size();
        line_.append(bytes, std::min<std::size_t>(room, pieceEnd - bytes));
        if (!feed)
            return false;
        bytes = feed + 1;
        if (line_ == "D")
            ended_ = true;
        else
            onEntry(line_);
        line_.clear();
    }
    for (; bytes < end && !versionComplete_; ++bytes, ++versionLength_) {
        if (*bytes == '\n' || versionLength_ >= versionLineMax) {
            versionComplete_ = true;
        } else if (versionDigits_ && *bytes >= '0' && *bytes <= '9') {
            version_ =
                static_cast<std::int32_t>(std::min<long>(version_ * 10L + (*bytes - '0'), INT_MAX));
        } else {
            versionDigits_ = false; // only the leading digits count
        }
    }
    return versionComplete_;
}

DistributionListOutcome
distributionListExchange(ServerLink& link, const std::function<void()>& onBlock,
                         const std::function<void(const std::string&)>& onEntry) {
    link.beginExchange(2 + distributionListMax);
    DistributionListReader reader;
    if (!link.sendAll("D\n", 2))
        return {};
    char block[distributionBlockSize];
    while (!reader.complete()) {
        long received = link.receive(block, sizeof block);
        if (received <= 0)
            break;
        onBlock();
        reader.feed(block, static_cast<std::size_t>(received), onEntry);
    }
    return {reader.ended(), reader.tooLong(), reader.version()};
}

PatchListOutcome patchListExchange(ServerLink& link, int distribution, std::string& reply,
                                   const std::function<void()>& onFirstBytes) {
    std::string request;
    formatString(request, "P %d\n", distribution);
    link.beginExchange(request.size() + patchListMax);
    reply.clear();
    if (!link.sendAll(request.data(), request.size()))
        return PatchListOutcome::cut;

    char block[patchListBlockSize];
    for (;;) {
        long received = link.receive(block, sizeof block);
        if (received <= 0)
            return PatchListOutcome::cut;
        if (reply.empty() && onFirstBytes)
            onFirstBytes();
        std::size_t searchFrom = reply.size() >= 2 ? reply.size() - 2 : 0;
        reply.append(block, static_cast<std::size_t>(received));
        if (reply.size() > patchListMax)
            return PatchListOutcome::tooLong;
        if (reply.compare(0, 2, "D\n") == 0) {
            reply.resize(2);
            return PatchListOutcome::ended;
        }
        if (std::size_t end = reply.find("\nD\n", searchFrom); end != std::string::npos) {
            reply.resize(end + 3);
            return PatchListOutcome::ended;
        }
    }
}

std::vector<std::string> splitPatchList(std::string_view reply) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t feed; (feed = reply.find('\n', start)) != std::string_view::npos;
         start = feed + 1) {
        std::string line(reply.substr(start, feed - start));
        if (line == "D")
            break;
        std::replace(line.begin(), line.end(), '\\', '/');
        lines.push_back(std::move(line));
    }
    return lines;
}

bool sendFileRequests(ServerLink& link, const std::vector<std::string>& paths) {
    if (paths.empty())
        return true;
    // One send for many requests: the server reads them as one stream all the same.
    std::string requests;
    for (const std::string& path : paths) {
        std::size_t start = requests.size();
        requests.append("c\n").append(path).append("\n");
        std::replace(requests.begin() + static_cast<std::ptrdiff_t>(start), requests.end(), '/',
                     '\\');
    }
    requests.append("C\n");
    link.beginExchange(requests.size());
    return link.sendAll(requests.data(), requests.size());
}

bool receiveFileData(ServerLink& link, std::uint64_t length, std::span<unsigned char> gather,
                     const std::function<void(std::span<const unsigned char>)>& onData,
                     const std::function<void(std::size_t)>& onReceived) {
    link.beginExchange(length);
    std::uint64_t remaining = length;
    std::size_t held = 0;
    while (remaining > 0) {
        if (held > 0 && gather.size() - held < fileDataBlockSize) {
            onData(gather.first(held));
            held = 0;
        }
        auto request = static_cast<std::size_t>(
            std::min<std::uint64_t>({remaining, fileDataBlockSize, gather.size() - held}));
        long received = link.receive(gather.data() + held, request);
        if (received <= 0) {
            if (held > 0)
                onData(gather.first(held));
            return false;
        }
        held += static_cast<std::size_t>(received);
        remaining -= static_cast<std::uint64_t>(received);
        onReceived(static_cast<std::size_t>(received));
    }
    if (held > 0)
        onData(gather.first(held));
    return true;
}

bool sendUploadRequest(ServerLink& link, std::int32_t length) {
    std::string request;
    formatString(request, "Z\n%d\n", length);
    // The budget covers the request and the data that follows it.
    link.beginExchange(request.size() + static_cast<std::uint64_t>(std::max(length, 0)));
    return link.sendAll(request.data(), request.size());
}

bool awaitOrderlyClose(ServerLink& link) {
    if (!link.shutdownSending())
        return false;
    link.beginExchange(0);
    // The server answers an upload with nothing: a few stray bytes are dropped, a flood is not
    // read for ever.
    char drained[512];
    for (std::size_t total = 0; total < 64 * sizeof drained;) {
        long received = link.receive(drained, sizeof drained);
        if (received <= 0)
            return received == 0 && link.end() == LinkEnd::closed &&
                   link.peerAcknowledgedEverything();
        total += static_cast<std::size_t>(received);
    }
    return false;
}

std::int32_t sendUploadData(ServerLink& link, const unsigned char* bytes, std::int32_t length,
                            const std::function<void(int)>& progress) {
    auto percent = [length](std::int64_t sent) {
        return length > 0 ? static_cast<int>(sent * 100 / length) : 100;
    };
    std::int32_t sent = 0;
    while (sent < length) {
        progress(percent(sent));
        std::size_t chunk = std::min<std::size_t>(uploadChunkSize, length - sent);
        long moved = link.sendBytes(bytes + sent, chunk);
        if (moved <= 0)
            break;
        sent += static_cast<std::int32_t>(moved);
    }
    progress(percent(sent));
    return sent;
}

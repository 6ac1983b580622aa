#include "net/protocol.h"

#include "settings/format_string.h"

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
    link.sendBytes(request->data(), request->size());
    char reply[loginAreaSize];
    long received = link.receive(reply, sizeof reply);
    if (received <= 0)
        return LoginOutcome::noReply;
    return loginAccepted(reply, received) ? LoginOutcome::accepted : LoginOutcome::refused;
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
    link.sendBytes("D\n", 2);
    DistributionListReader reader;
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

PatchListOutcome patchListExchange(ServerLink& link, int distribution, std::string& reply) {
    std::string request;
    formatString(request, "P %d\n", distribution);
    link.sendBytes(request.data(), request.size());

    reply.clear();
    char block[patchListBlockSize];
    for (;;) {
        long received = link.receive(block, sizeof block);
        if (received <= 0)
            return PatchListOutcome::closed;
        std::size_t searchFrom = reply.size() >= 2 ? reply.size() - 2 : 0;
        reply.append(block, static_cast<std::size_t>(received));
        if (reply.size() > patchListMax)
            return PatchListOutcome::tooLong;
        if (reply == "D\n" || reply.find("\nD\n", searchFrom) != std::string::npos)
            return PatchListOutcome::ended;
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

void sendFileRequest(ServerLink& link, std::string_view path) {
    std::string request;
    request.reserve(path.size() + 3);
    request.append("c\n").append(path).append("\n");
    std::replace(request.begin(), request.end(), '/', '\\');
    link.sendAll(request.data(), request.size());
}

void sendFileRequestEnd(ServerLink& link) {
    link.sendBytes("C\n", 2);
}

void sendUploadRequest(ServerLink& link, std::int32_t length) {
    std::string request;
    formatString(request, "Z\n%d\n", length);
    link.sendBytes(request.data(), request.size());
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

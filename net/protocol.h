#pragma once

#include "base/wire_format.h"
#include "net/server_link.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The wire protocol: one-letter commands ending in a line feed, decimal numbers, and the
// binary payloads of the file data and the upload. There is no framing: each reply ends with a
// terminating line or after a length the client already knows.

inline constexpr std::size_t distributionBlockSize = 4096;
// The version line is a number: anything longer is not waited for.
inline constexpr std::size_t versionLineMax = 32;
inline constexpr std::size_t patchListBlockSize = 32768;
inline constexpr std::size_t fileDataBlockSize = 4096;
inline constexpr std::size_t uploadChunkSize = 4096;

// "L\n<user>\n<password>\n", or nothing when it would not fit its 512-byte area or a field holds
// a line feed (which would let the field speak for the protocol).
std::optional<std::string> loginRequest(std::string_view user, std::string_view password);
// The service accepts a login with a reply whose first three bytes are "OK\n".
bool loginAccepted(const char* reply, long length);

enum class LoginOutcome { refused, accepted, notSent, noReply };
// One login attempt: nothing is sent without a user name or when the request does not fit. The
// reply is read to its first line feed (at most 512 bytes, in as many receives as it takes) and
// judged by that line; the rest of what came with it is dropped. A stream that ends before the
// line feed is no reply.
LoginOutcome loginExchange(ServerLink& link, std::string_view user, std::string_view password);

// Splits a DistributionListReply into its entry lines as the bytes arrive, joining lines cut
// between receives. The line "D" ends the list; the line after it holds the WDB version, read to
// its line feed even when it arrives in a later receive, so that no byte of it is left to be
// taken for the start of the next reply. The whole reply is bounded as the patch list is.
class DistributionListReader {
public:
    // Hands every completed entry line to `onEntry`; true once the reply is complete (or too
    // long to go on).
    bool feed(const char* bytes, std::size_t length,
              const std::function<void(const std::string&)>& onEntry);
    bool complete() const { return versionComplete_ || tooLong_; }
    bool ended() const { return ended_; }
    bool tooLong() const { return tooLong_; }
    // The version line's leading digits; 0 when none arrived.
    std::int32_t version() const { return version_; }

private:
    std::string line_;
    std::size_t total_ = 0;
    bool ended_ = false;
    bool versionComplete_ = false;
    bool tooLong_ = false;
    bool versionDigits_ = true;
    std::size_t versionLength_ = 0;
    std::int32_t version_ = 0;
};

struct DistributionListOutcome {
    bool ended = false;       // the end line arrived: the list is whole
    bool tooLong = false;     // the reply went past 100000 bytes
    std::int32_t version = 0; // meaningful only when ended
};
// Sends "D\n" and reads the reply in receives of up to 4096 bytes. `onBlock` runs after every
// receive that brought bytes; `onEntry` for every entry line, in order. A receive that gives
// nothing (closed, reset, time-out) ends the reply where it stands: without its end line it is
// not whole, and the link's end() tells why.
DistributionListOutcome
distributionListExchange(ServerLink& link, const std::function<void()>& onBlock,
                         const std::function<void(const std::string&)>& onEntry);

enum class PatchListOutcome { ended, cut, tooLong };
// Sends "P <distribution>\n" and gathers the reply into `reply` until it is exactly "D\n" or
// holds "\nD\n" (`ended`; what came after the end line is dropped), or the stream ends first
// (`cut`: the link's end() tells why). More than 100000 bytes is `tooLong`. `onFirstBytes` runs
// once, when the reply's first bytes arrive.
PatchListOutcome patchListExchange(ServerLink& link, int distribution, std::string& reply,
                                   const std::function<void()>& onFirstBytes = {});
// The reply's lines, each with every '\' turned into '/': up to the line "D"; text after the
// last line feed is ignored.
std::vector<std::string> splitPatchList(std::string_view reply);

// "c\n<path with '\' separators>\n" for each path, then "C\n" when there was one; false when
// the server would not take them.
bool sendFileRequests(ServerLink& link, const std::vector<std::string>& paths);
// Receives one file's FileData: exactly `length` bytes, in receives of at most 4096 bytes each
// asking for no more than the file has left, so that not one byte of the next file is taken.
// The bytes are gathered in `gather` and handed to `onData` whenever it cannot take another
// full receive, and at the end; `onReceived` learns the size of every receive. False when the
// stream ended first (the link's end() tells why).
bool receiveFileData(ServerLink& link, std::uint64_t length, std::span<unsigned char> gather,
                     const std::function<void(std::span<const unsigned char>)>& onData,
                     const std::function<void(std::size_t)>& onReceived);

// "Z\n<length>\n"; starts the upload's exchange. False when it could not be sent.
bool sendUploadRequest(ServerLink& link, std::int32_t length);
// After an upload that no request follows: shuts our sending side down and reads to the
// server's orderly close, which shows that it read everything we sent. False for a reset, a
// time-out, or a server that keeps sending.
bool awaitOrderlyClose(ServerLink& link);

// Sends the upload in chunks of 4096 bytes, reporting sent * 100 / total before every send and
// once more after the last. Gives the number of bytes sent; fewer than `length` when a send
// moved nothing.
std::int32_t sendUploadData(ServerLink& link, const unsigned char* bytes, std::int32_t length,
                            const std::function<void(int)>& progress);

#pragma once

#include "net/server_link.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The wire protocol: one-letter commands ending in a line feed, decimal numbers, and the
// binary payloads of the file data and the upload. There is no framing: each reply ends with a
// terminating line or after a length the client already knows.

inline constexpr std::size_t loginAreaSize = 512;
inline constexpr std::size_t distributionLineMax = 511;
inline constexpr std::size_t distributionBlockSize = 4096;
inline constexpr std::size_t distributionListMax = 100000;
// The version line is a number: anything longer is not waited for.
inline constexpr std::size_t versionLineMax = 32;
inline constexpr std::size_t patchListBlockSize = 32768;
inline constexpr std::size_t patchListMax = 100000;
inline constexpr std::size_t fileDataBlockSize = 4096;
inline constexpr std::size_t uploadChunkSize = 4096;

// "L\n<user>\n<password>\n", or nothing when it would not fit its 512-byte area or a field holds
// a line feed (which would let the field speak for the protocol).
std::optional<std::string> loginRequest(std::string_view user, std::string_view password);
// The service accepts a login with a reply whose first three bytes are "OK\n".
bool loginAccepted(const char* reply, long length);

enum class LoginOutcome { refused, accepted, notSent, noReply };
// One login attempt: nothing is sent without a user name or when the request does not fit.
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
    bool ended = false;       // the end line arrived
    bool tooLong = false;     // the reply went past 100000 bytes
    std::int32_t version = 0; // meaningful only when ended
};
// Sends "D\n" and reads the reply in receives of up to 4096 bytes. `onBlock` runs after every
// receive that brought bytes; `onEntry` for every entry line, in order. A receive that gives
// nothing (closed, error, time-out) ends the reply where it stands.
DistributionListOutcome
distributionListExchange(ServerLink& link, const std::function<void()>& onBlock,
                         const std::function<void(const std::string&)>& onEntry);

enum class PatchListOutcome { ended, closed, tooLong };
// Sends "P <distribution>\n" and gathers the reply into `reply` until it is exactly "D\n",
// holds "\nD\n", or the peer stops sending. More than 100000 bytes is `tooLong`.
PatchListOutcome patchListExchange(ServerLink& link, int distribution, std::string& reply);
// The reply's lines, each with every '\' turned into '/': up to the line "D"; text after the
// last line feed is ignored.
std::vector<std::string> splitPatchList(std::string_view reply);

// "c\n<path with '\' separators>\n".
void sendFileRequest(ServerLink& link, std::string_view path);
void sendFileRequestEnd(ServerLink& link);

void sendUploadRequest(ServerLink& link, std::int32_t length);
// Sends the upload in chunks of 4096 bytes, reporting sent * 100 / total before every send and
// once more after the last. Gives the number of bytes sent; fewer than `length` when a send
// moved nothing.
std::int32_t sendUploadData(ServerLink& link, const unsigned char* bytes, std::int32_t length,
                            const std::function<void(int)>& progress);

#pragma once

#include "uploader/harvest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class WorkerJob;

// The Zeppelin buffer: 3 MiB in three areas of 1 MiB (harvest, plain Zeppelin, compressed).
inline constexpr std::size_t zeppelinAreaSize = 1 << 20;
// A table of this many bytes or fewer counts as nothing to upload.
inline constexpr std::size_t smallestUpload = 80;

// A setting that an upload moves on ("wdbitems", "wdbquests", "wdbVersion") and its new value.
struct UploadRecord {
    const char* name;
    std::string value;
};

// An upload whose every byte left our socket. It has not reached the server until the server
// shows that it read past it (its reply to the next request, or its orderly close): only then is
// it confirmed. Dropped without that, it leaves the table in its file and the caches' offsets
// where they were, so a later pass offers the same bytes again.
class SentUpload {
public:
    SentUpload(Harvest harvest, std::vector<UploadRecord> records, std::int32_t length)
        : harvest_(std::move(harvest)), records_(std::move(records)), length_(length) {}
    // The server has it: the table leaves its SavedVariables.lua, the caches' offsets move past
    // what was sent, and the bytes count as uploaded.
    void confirm(WorkerJob& job);

private:
    Harvest harvest_;
    std::vector<UploadRecord> records_;
    std::int32_t length_;
};

// Collects the harvested table and the new bytes of the item and quest caches into the
// Zeppelin, compresses it and uploads it after a login. Gives the upload when it left whole, to
// be confirmed once the server shows it read it.
std::optional<SentUpload> uploadPass(WorkerJob& job);

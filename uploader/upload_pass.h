#pragma once

#include "uploader/harvest.h"

#include <cstddef>
#include <cstdint>
#include <optional>

class WorkerJob;

// The Zeppelin buffer: 3 MiB in three areas of 1 MiB (harvest, plain Zeppelin, compressed).
inline constexpr std::size_t zeppelinAreaSize = 1 << 20;
// A table of this many bytes or fewer counts as nothing to upload.
inline constexpr std::size_t smallestUpload = 80;

// An upload whose every byte left our socket. It has not reached the server until the server
// shows that it read past it (its reply to the next request, or its orderly close): only then is
// it confirmed, and dropped without that, it leaves the table in its file for a later pass.
class SentUpload {
public:
    SentUpload(Harvest harvest, std::int32_t length)
        : harvest_(std::move(harvest)), length_(length) {}
    // The server has it: the table leaves its SavedVariables.lua and the bytes count as uploaded.
    void confirm(WorkerJob& job);

private:
    Harvest harvest_;
    std::int32_t length_;
};

// Collects the harvested table and the new bytes of the item and quest caches into the
// Zeppelin, compresses it and uploads it after a login. Gives the upload when it left whole, to
// be confirmed once the server shows it read it.
std::optional<SentUpload> uploadPass(WorkerJob& job);

#pragma once

#include <cstddef>

class WorkerJob;

// The Zeppelin buffer: 3 MiB in three areas of 1 MiB (harvest, plain Zeppelin, compressed).
inline constexpr std::size_t zeppelinAreaSize = 1 << 20;
// A table of this many bytes or fewer counts as nothing to upload.
inline constexpr std::size_t smallestUpload = 80;

// Collects the harvested table and the new bytes of the item and quest caches into the
// Zeppelin, compresses it and uploads it after a login. The table leaves its SavedVariables.lua
// only once the upload has gone out whole.
void uploadPass(WorkerJob& job);

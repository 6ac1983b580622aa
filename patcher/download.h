#pragma once

#include <cstdint>
#include <string>

class WorkerJob;

// Receives one requested file's data from the connection, inflates it and puts it in place
// through "<path>.new", keeping the previous version as "<path>.prepatch". Appends its report
// lines; ends the pass through fatal when the data ends early or does not inflate.
void downloadFile(WorkerJob& job, const std::string& path, std::int32_t size,
                  std::int32_t packedSize);

// True for the Mirelgan add-on's own data files, which are patched without a report line.
bool isAddonDataFile(const std::string& path);

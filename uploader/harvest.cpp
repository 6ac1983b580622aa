#include "uploader/harvest.h"

#include "app/job/diagnostic.h"
#include "app/job/worker_job.h"
#include "patcher/fs/fs.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// A line is read in pieces of at most 32767 bytes; each piece counts as a line.
constexpr std::size_t longestPiece = 32767;
constexpr char startLine[] = "Mirelgan_Data = {";

} // namespace

std::size_t harvestSavedVariables(WorkerJob& job, std::span<char> area) {
    std::optional<std::vector<std::string>> accounts = listDirectory("WTF/Account");
    if (!accounts)
        return 0;
    std::size_t harvested = 0;
    for (const std::string& account : *accounts) {
        if (harvested != 0)
            break;
        if (account.find(".nopatch") != std::string::npos) {
            diagnostic("skipping %s (.nopatch)\n", account.c_str());
            continue;
        }
        std::string directory = "WTF/Account/" + account;
        if (!isDirectory(directory))
            continue;
        std::string path = directory + "/SavedVariables.lua";
        if (!fileExists(path))
            continue;
        UniqueFile input = openForReading(path);
        if (!input)
            continue;
        std::string newPath = path + ".new";
        UniqueFile output(std::fopen(newPath.c_str(), "wb"));
        if (!output)
            job.fatal("Couldn't create %s", replaceChar(newPath, '/', '\\').c_str());

        bool inTable = false;
        bool tooBig = false;
        std::string piece;
        while (readPiece(input.get(), piece, longestPiece)) {
            if (!inTable && piece.compare(0, sizeof startLine - 1, startLine) != 0) {
                std::fwrite(piece.data(), 1, piece.size(), output.get());
                continue;
            }
            inTable = piece[0] != '}';
            if (piece.size() > area.size() - harvested) {
                tooBig = true;
                break;
            }
            std::memcpy(area.data() + harvested, piece.data(), piece.size());
            harvested += piece.size();
        }
        bool written = !std::ferror(output.get()) && std::fclose(output.release()) == 0;
        bool read = !std::ferror(input.get());
        input.reset();
        // The file is replaced only by a complete copy, so no line of it is ever lost.
        if (tooBig || !written || !read) {
            removeFile(newPath);
            if (tooBig)
                job.fatal("Zeppelin overloaded: the Mirelgan data in %s is too big to upload",
                          replaceChar(path, '/', '\\').c_str());
            job.fatal("Couldn't create %s", replaceChar(newPath, '/', '\\').c_str());
        }

        std::string oldPath = path + ".old";
        if (!removeFile(oldPath) && fileExists(oldPath))
            job.fatal("Can't remove %s", oldPath.c_str());
        if (!renameFile(path, oldPath))
            job.fatal("couldn't rename SavedVariables to old?");
        if (!renameFile(newPath, path))
            job.fatal("couldn't rename SavedVariables.lua.new to SavedVariables.lua?");
    }
    return harvested;
}

#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// File-system operations on paths relative to the current directory (the game directory). None
// of them reports anything: each gives success or failure, and the caller decides.

// Creates every directory along `path`, which may use '/' or '\' as separator; the text after
// the last separator (a file name) is not created. Failures are ignored.
void makeDirs(const std::string& path);

// A copy of `text` with every `from` replaced by `to`.
std::string replaceChar(const std::string& text, char from, char to);
std::string replaceChar(const char* text, char from, char to);

// The entry names of a directory: ".." first, then every other entry but ".", in the order the
// game's Windows file system lists them (byte by byte, ASCII letters folded to upper case).
// Nothing when the directory cannot be searched.
std::optional<std::vector<std::string>> listDirectory(const std::string& directory);

// True when a file or directory of that name exists.
bool fileExists(const std::string& path);
// True when the name exists and is not a regular file.
bool isDirectory(const std::string& path);
// True when the name itself is a symbolic link (whatever it points to).
bool isSymbolicLink(const std::string& path);

// Moves a file or directory tree to the user's freedesktop.org trash, where the desktop can
// restore it. 0 on success, nonzero on failure; it never copies and never deletes instead.
int recycle(const std::string& name);

// Moves a file or directory; fails when `to` exists or `from` does not. Never replaces an entry.
bool renameFile(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);

// An open C file that closes itself.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Reads the next piece of a text: up to and including a line feed, or `longest` bytes, whichever
// comes first; bytes are taken as they are, NUL bytes included. False at the end of the file.
bool readPiece(std::FILE* file, std::string& piece, std::size_t longest);

// Opens an existing file for binary reading. A directory gives nothing (errno EISDIR), as on
// Windows, where a directory cannot be opened as a file; here fopen would open it.
UniqueFile openForReading(const std::string& path);

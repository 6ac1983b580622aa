#pragma once

#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "pelvar-test");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Makes a directory the current directory for its lifetime.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& directory);
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;
    ~CurrentDirectory();

private:
    std::string previous_;
};

// Small file helpers for tests; paths are taken as given.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
void makeDirectories(const std::string& path);

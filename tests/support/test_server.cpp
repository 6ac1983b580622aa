#include "tests/support/test_server.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

TestServer::TestServer(ServerOptions options) {
    options.root = root_.path();
    options.port = 0;
    makeDirectories(root_ / "distributions");
    server_ = std::make_unique<ReferenceServer>(options, [this](const std::string& line) {
        std::lock_guard guard(logLock_);
        log_.push_back(line);
    });
    std::string error;
    if (!server_->start(error))
        throw std::runtime_error(error);
    endpoint_ = std::make_unique<ScopedEnv>("MIRELGAN_SERVER",
                                            "127.0.0.1:" + std::to_string(server_->port()));
}

TestServer::~TestServer() {
    server_->stop();
}

void TestServer::addDistribution(const std::string& distribution) {
    makeDirectories(root_ / ("distributions/" + distribution));
}

std::string TestServer::distributionPath(const std::string& distribution,
                                         const std::string& path) const {
    return root_ / ("distributions/" + distribution + "/" + path);
}

void TestServer::addFile(const std::string& distribution, const std::string& path,
                         const std::string& content) {
    writeFile(distributionPath(distribution, path), content);
}

std::vector<std::string> TestServer::log(bool settle) {
    if (settle)
        server_->waitUntilIdle(std::chrono::seconds(5));
    std::lock_guard guard(logLock_);
    return log_;
}

std::vector<std::string> TestServer::uploadNames() const {
    server_->waitUntilIdle(std::chrono::seconds(5));
    std::vector<std::string> names;
    if (fs::exists(root_ / "uploads"))
        for (const auto& entry : fs::directory_iterator(root_ / "uploads"))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> TestServer::uploads() const {
    std::vector<std::string> contents;
    for (const std::string& name : uploadNames())
        contents.push_back(readFile(root_ / ("uploads/" + name)));
    return contents;
}

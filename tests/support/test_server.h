#pragma once

#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"
#include "tools/server/reference_server.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The reference server on 127.0.0.1 with a port of its own choosing, serving a fresh root
// directory. MIRELGAN_SERVER points the client at it for the server's lifetime.
class TestServer {
public:
    explicit TestServer(ServerOptions options = {});
    ~TestServer();

    // Adds a file to distribution "<number> <name>" (made when missing).
    void addFile(const std::string& distribution, const std::string& path,
                 const std::string& content);
    void addDistribution(const std::string& distribution);
    std::string distributionPath(const std::string& distribution, const std::string& path) const;

    std::uint16_t port() const { return server_->port(); }
    ReferenceServer::OptionsEdit options() { return server_->options(); }
    const std::string& root() const { return root_.path(); }
    // The server's log lines; with `settle`, once every connection has ended and been handled.
    std::vector<std::string> log(bool settle = true);
    // The uploads received once every connection has ended, inflated, in order of arrival.
    std::vector<std::string> uploads() const;
    std::vector<std::string> uploadNames() const;
    // The accounts the server keeps (their passwords only as hashes), sorted by name.
    std::vector<std::string> accounts() { return server_->accounts(); }

private:
    TempDir root_{"pelvar-server"};
    std::mutex logLock_;
    std::vector<std::string> log_;
    std::unique_ptr<ReferenceServer> server_;
    std::unique_ptr<ScopedEnv> endpoint_;
};

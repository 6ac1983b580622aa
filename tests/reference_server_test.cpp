#include "tests/support/helpers.h"
#include "tests/support/test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

using namespace std::chrono_literals;

namespace {

// A bare client that sends raw bytes and reads what comes back until the server closes or stays
// silent for a while.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(socket_); }
    bool connected() const { return connected_; }
    void send(const std::string& bytes) {
        ASSERT_EQ(::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Everything until the server closes (closed = true) or 300 ms of silence.
    std::string read(bool& closed) {
        std::string data;
        closed = false;
        for (;;) {
            pollfd waiting{socket_, POLLIN, 0};
            if (::poll(&waiting, 1, 300) <= 0)
                return data;
            char block[65536];
            ssize_t got = ::recv(socket_, block, sizeof block, 0);
            if (got <= 0) {
                closed = true;
                return data;
            }
            data.append(block, static_cast<std::size_t>(got));
        }
    }

private:
    int socket_ = -1;
    bool connected_ = false;
};

std::string uploadRequest(const std::string& zeppelin) {
    std::string packed = deflated(zeppelin);
    return "Z\n" + std::to_string(packed.size()) + "\n" + packed;
}

bool stillServes(TestServer& server) {
    RawClient client(server.port());
    client.send("D\n");
    bool closed;
    return client.read(closed).find("D\n") != std::string::npos;
}

} // namespace

TEST(ReferenceServer, AccountsAreMadeOnFirstLoginAndGuarded) {
    TestServer server;
    RawClient client(server.port());
    client.send(
        "L\nthrall\nhorde\nL\nthrall\nalliance\nL\nanonymous\n\nL\n\nx\nL\nthrall\nhorde\n");
    bool closed;
    EXPECT_EQ(client.read(closed), "OK\nLogin failed\nOK\nLogin failed\nOK\n");
    EXPECT_EQ(readFile(server.root() + "/accounts"), "thrall\nhorde\n");
}

TEST(ReferenceServer, ServesPatchListsAndFileData) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.lua", "hello\n");
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.toc", "## Title: Foo\n");
    RawClient client(server.port());
    client.send("P 1\nc\nInterface\\AddOns\\Foo\\Foo.lua\nC\nP 9\n");
    bool closed;
    std::string reply = client.read(closed);
    std::string expectedList = "Interface\\AddOns\\Foo\\Foo.lua\n6 " +
                               std::to_string(deflated("hello\n").size()) +
                               "\nb1946ac92492d2347c6235b4d2611184\n"
                               "Interface\\AddOns\\Foo\\Foo.toc\n14 " +
                               std::to_string(deflated("## Title: Foo\n").size()) + "\n";
    ASSERT_EQ(reply.compare(0, expectedList.size(), expectedList), 0) << reply;
    std::size_t end = reply.find("\nD\n") + 3;
    EXPECT_EQ(reply.substr(end), deflated("hello\n") + "D\n") << "file data, then an empty list";
}

TEST(ReferenceServer, StoresValidUploadsAndDropsMalformedOnes) {
    TestServer server;
    std::string table = "Mirelgan_Data = {\n}\n";
    std::string zeppelin = "Mirelgan_Data " + std::to_string(table.size()) + "\n" + table +
                           "itemcache.wdb 3\nabcquestcache.wdb 2\nxy";
    {
        RawClient client(server.port());
        client.send(uploadRequest(zeppelin)); // before any login: dropped
        client.send("L\nanonymous\n\n");
        client.send(uploadRequest(zeppelin));
        client.send(uploadRequest("itemcache.wdb 3\nabc"));    // no saved table
        client.send(uploadRequest("Mirelgan_Data 99\nshort")); // length past the end
        client.send(uploadRequest(zeppelin + "trailing"));     // bytes after the records
        client.send("Z\n5\nnope!");                            // no zlib stream
        bool closed;
        EXPECT_EQ(client.read(closed), "OK\n");
        EXPECT_FALSE(closed);
    }
    EXPECT_EQ(server.uploads(), std::vector<std::string>{zeppelin});
    EXPECT_EQ(server.uploadNames(), std::vector<std::string>{"000001-anonymous.zeppelin"});
    EXPECT_TRUE(stillServes(server));
}

TEST(ReferenceServer, SurvivesHostileClients) {
    TestServer server;
    server.addFile("1 Standard", "a.txt", "a");
    bool closed;
    for (std::string hostile :
         {std::string("X\n"), std::string("Z\n99999999999\n"), std::string("Z\n-1\n"),
          std::string("P 1\nc\nnot\\listed\n"), std::string("P 99999999999999\n"),
          std::string(20000, 'L'), std::string("L\nonly-a-user")}) {
        RawClient client(server.port());
        client.send(hostile);
        client.read(closed);
    }
    {
        // A client that announces an upload and vanishes.
        RawClient client(server.port());
        client.send("L\nanonymous\n\nZ\n1000\nabc");
    }
    EXPECT_TRUE(stillServes(server));
    auto log = server.log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("unknown request 'X'") != std::string::npos;
    }));
}

TEST(ReferenceServer, FaultInjectionShapesTheReplies) {
    TestServer server;
    server.addFile("1 Standard", "Interface/a.lua", std::string(5000, 'a'));
    server.options()->closeAfter = 10;
    server.options()->closeOn = 'C';
    server.options()->corruptPath = "Interface/a.lua";
    RawClient client(server.port());
    client.send("P 1\nc\nInterface\\a.lua\nC\n");
    bool closed;
    std::string reply = client.read(closed);
    EXPECT_TRUE(closed);
    std::size_t data = reply.find("\nD\n") + 3;
    ASSERT_EQ(reply.size() - data, 10u) << "closed after 10 bytes of the file data";
    EXPECT_EQ(reply[data], '\0') << "the zlib header is spoiled";
}

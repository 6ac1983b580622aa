#include "harness/content.h"
#include "harness/loopback.h"
#include "net/protocol.h"
#include "net/server_link.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

ServerEndpoint loopback(std::uint16_t port) {
    return {htonl(INADDR_LOOPBACK), port};
}

struct Entries {
    std::vector<std::string> lines;
    int blocks = 0;
    DistributionListOutcome outcome;
};

Entries fetchEntries(ServerLink& link) {
    Entries entries;
    entries.outcome = distributionListExchange(
        link, [&] { ++entries.blocks; },
        [&](const std::string& line) { entries.lines.push_back(line); });
    return entries;
}

std::string bytes(std::size_t count) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<char>(i * 7 + 3);
    return data;
}

} // namespace

TEST(ServerEndpoint, BuiltInAddressAndOverride) {
    EXPECT_EQ(builtInServerAddress(), "127.0.0.1");
    auto endpoint = parseServerEndpoint("10.1.2.3:9000");
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->port, 9000);
    EXPECT_EQ(endpoint->address, inet_addr("10.1.2.3"));
    EXPECT_EQ(parseServerEndpoint("10.1.2.3")->port, defaultServerPort);
    for (const char* bad :
         {"", "10.1.2", "host:80", "10.1.2.3:", "10.1.2.3:0", "10.1.2.3:65536", "10.1.2.3:8x"})
        EXPECT_FALSE(parseServerEndpoint(bad)) << bad;
    {
        ScopedEnv unset("MIRELGAN_SERVER", nullptr);
        EXPECT_EQ(configuredServer()->port, 8087);
    }
    ScopedEnv bad("MIRELGAN_SERVER", "nonsense");
    EXPECT_FALSE(configuredServer());
}

TEST(DistributionListReader, EverySplitGivesTheSameEntriesAndVersion) {
    const std::string reply = "1 Standard\n2 Lite\n12Extra\nD\n57\n";
    for (std::size_t cut = 0; cut <= reply.size(); ++cut) {
        DistributionListReader reader;
        std::vector<std::string> lines;
        auto onEntry = [&](const std::string& line) { lines.push_back(line); };
        EXPECT_EQ(reader.feed(reply.data(), cut, onEntry), cut == reply.size());
        EXPECT_TRUE(reader.feed(reply.data() + cut, reply.size() - cut, onEntry));
        EXPECT_TRUE(reader.ended());
        EXPECT_EQ(lines, (std::vector<std::string>{"1 Standard", "2 Lite", "12Extra"})) << cut;
        EXPECT_EQ(reader.version(), 57) << "the version line is read to its line feed: " << cut;
    }
}

TEST(DistributionListReader, LongLinesAreCutAndLaterBytesIgnored) {
    DistributionListReader reader;
    std::vector<std::string> lines;
    std::string reply = "3 " + std::string(700, 'n') + "\nD\n9x7\n4 Late\nD\n";
    EXPECT_TRUE(reader.feed(reply.data(), reply.size(),
                            [&](const std::string& line) { lines.push_back(line); }));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "3 " + std::string(509, 'n'));
    EXPECT_EQ(reader.version(), 9);

    DistributionListReader endless;
    std::string version = "D\n" + std::string(100, '4');
    EXPECT_TRUE(endless.feed(version.data(), version.size(), [](const std::string&) {}))
        << "a version line without end is not waited for";

    DistributionListReader huge;
    std::string list(60000, 'x');
    list[30000] = '\n';
    EXPECT_FALSE(huge.feed(list.data(), list.size(), [](const std::string&) {}));
    EXPECT_TRUE(huge.feed(list.data(), list.size(), [](const std::string&) {}));
    EXPECT_TRUE(huge.tooLong()) << "a list is bounded as a patch list is";
}

TEST(DistributionListExchange, EveryByteOffsetOfARealReplyGivesTheSameEntries) {
    TestServer server;
    server.addDistribution("1 Standard");
    server.addDistribution("2 Lite");
    server.options()->wdbVersion = 5;
    server.options()->pause = 20ms;
    const std::string reply = "1 Standard\n2 Lite\nD\n5\n";
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        server.options()->splitAt = cut;
        ServerLink link;
        ASSERT_EQ(link.connect(loopback(server.port())).failure, ServerLink::Failure::none);
        Entries entries = fetchEntries(link);
        EXPECT_EQ(entries.lines, (std::vector<std::string>{"1 Standard", "2 Lite"})) << cut;
        EXPECT_TRUE(entries.outcome.ended);
        EXPECT_EQ(entries.outcome.version, 5) << cut;
    }
}

TEST(DistributionListExchange, VersionLineInALaterReceiveIsWaitedFor) {
    ScriptedPeer peer;
    peer.expect("D\n")
        .send("3 Full\nD\n")
        .pause(50ms)
        .send("5")
        .pause(50ms)
        .send("\n")
        .expect("P 3\n");
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    Entries entries = fetchEntries(link);
    EXPECT_TRUE(entries.outcome.ended);
    EXPECT_EQ(entries.outcome.version, 5);
    EXPECT_EQ(entries.lines, std::vector<std::string>{"3 Full"});
    link.sendBytes("P 3\n", 4);
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

TEST(DistributionListExchange, PeerClosingEndsTheReplyWithoutVersion) {
    ScriptedPeer peer;
    peer.expect("D\n").send("1 Standard\n2 Li").close();
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    Entries entries = fetchEntries(link);
    EXPECT_FALSE(entries.outcome.ended);
    EXPECT_EQ(entries.lines, std::vector<std::string>{"1 Standard"});
    EXPECT_GE(entries.blocks, 1);
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

TEST(DistributionListExchange, SilentServerEndsTheReplyAfterTheTimeout) {
    ScriptedPeer peer;
    peer.expect("D\n").readUntilClosed();
    peer.start();
    ServerLink link;
    link.ioTimeout = 200ms;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    auto started = std::chrono::steady_clock::now();
    Entries entries = fetchEntries(link);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_FALSE(entries.outcome.ended);
    EXPECT_EQ(entries.blocks, 0);
    link.close();
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

class PatchListExchangeTest : public ::testing::Test {
protected:
    PatchListOutcome run(ScriptedPeer& peer, int distribution, std::string& reply) {
        peer.start();
        ServerLink link;
        link.ioTimeout = 2s;
        EXPECT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
        auto started = std::chrono::steady_clock::now();
        PatchListOutcome outcome = patchListExchange(link, distribution, reply);
        elapsed = std::chrono::steady_clock::now() - started;
        link.close();
        EXPECT_TRUE(peer.finish()) << peer.mismatch();
        return outcome;
    }
    std::chrono::steady_clock::duration elapsed{};
};

TEST_F(PatchListExchangeTest, EndLineSplitAcrossReceivesEndsTheReply) {
    const std::string entry = "Interface\\AddOns\\Bagnon\\Bagnon.lua\nb c\nd\n";
    for (std::string first : {std::string("D"), entry, entry + "\n", entry + "\nD"}) {
        std::string whole = entry + "\nD\n";
        if (first == "D")
            whole = "D\n";
        ScriptedPeer peer;
        peer.expect("P 3\n")
            .send(first)
            .pause(50ms)
            .send(whole.substr(first.size()))
            .readUntilClosed();
        std::string reply;
        EXPECT_EQ(run(peer, 3, reply), PatchListOutcome::ended) << first;
        EXPECT_EQ(reply, whole);
        EXPECT_LT(elapsed, 1s) << "the client must not wait for more after the end";
    }
    EXPECT_EQ(splitPatchList("Interface\\AddOns\\日本語\\設定.lua\nb c\nd\nD\nignored\n"),
              (std::vector<std::string>{"Interface/AddOns/日本語/設定.lua", "b c", "d"}));
    EXPECT_EQ(splitPatchList("D\n"), std::vector<std::string>{});
    EXPECT_EQ(splitPatchList("Interface\\FrameXML\\UIParent.lua\n1 2\nd\ntrailing"),
              (std::vector<std::string>{"Interface/FrameXML/UIParent.lua", "1 2", "d"}));
}

TEST_F(PatchListExchangeTest, HundredThousandBytesAreAcceptedOneMoreIsTooLong) {
    for (std::size_t size : {std::size_t(100000), std::size_t(100001)}) {
        std::string reply = std::string(size - 3, 'x') + "\nD\n";
        ScriptedPeer peer;
        peer.expect("P 12\n")
            .send(reply.substr(0, 40000))
            .send(reply.substr(40000))
            .readUntilClosed();
        std::string received;
        PatchListOutcome outcome = run(peer, 12, received);
        EXPECT_EQ(outcome, size == 100000 ? PatchListOutcome::ended : PatchListOutcome::tooLong);
    }
}

// A server that trickles its reply, never silent long enough for one receive to give up, is given
// up on once the reply as a whole takes longer than the slowest honest link would need.
TEST(ExchangeBudget, TricklingServerIsGivenUpOnAsAWhole) {
    ScriptedPeer peer;
    peer.expect("P 1\n");
    for (int i = 0; i < 300; ++i)
        peer.send("x").pause(20ms);
    peer.start();
    ServerLink link;
    link.ioTimeout = 1s;
    link.minimumRate = 1000000; // so the budget is the second of ioTimeout and a tenth for bytes
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    auto started = std::chrono::steady_clock::now();
    std::string reply;
    EXPECT_EQ(patchListExchange(link, 1, reply), PatchListOutcome::cut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s) << "the trickle lasts six";
    EXPECT_EQ(link.end(), LinkEnd::timedOut);
    link.close();
    peer.finish();
}

TEST_F(PatchListExchangeTest, PeerClosingKeepsWhatArrived) {
    ScriptedPeer peer;
    peer.expect("P 0\n").send("Interface\\AddOns\\Größere Taschen\\Übersicht.lua\n1 2\n").close();
    std::string reply;
    EXPECT_EQ(run(peer, 0, reply), PatchListOutcome::cut);
    EXPECT_EQ(splitPatchList(reply),
              (std::vector<std::string>{"Interface/AddOns/Größere Taschen/Übersicht.lua", "1 2"}));
}

// The reply is judged by its first line, however the network splits it; a reply whose line
// never ends is no reply.
TEST(Login, RequestAndReplyRules) {
    struct Case {
        std::string reply;
        LoginOutcome outcome;
    };
    for (Case c :
         {Case{"OK\n", LoginOutcome::accepted}, Case{"OK\nwelcome back", LoginOutcome::accepted},
          Case{"ok\n", LoginOutcome::refused}, Case{"OKx\n", LoginOutcome::refused},
          Case{"Login failed\n", LoginOutcome::refused},
          Case{std::string(600, 'O'), LoginOutcome::refused}, Case{"OK", LoginOutcome::noReply},
          Case{"", LoginOutcome::noReply}}) {
        for (std::size_t cut = 0; cut <= std::min<std::size_t>(c.reply.size(), 12); ++cut) {
            ScriptedPeer peer;
            peer.expect("L\nthrall\nlok'tar\n").send(c.reply.substr(0, cut)).pause(20ms);
            peer.send(c.reply.substr(cut)).close();
            peer.start();
            ServerLink link;
            ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
            EXPECT_EQ(loginExchange(link, "thrall", "lok'tar"), c.outcome)
                << c.reply.substr(0, 20) << " cut at " << cut;
            link.close();
            EXPECT_TRUE(peer.finish()) << peer.mismatch();
        }
    }
}

TEST(Login, NothingIsSentWithoutAUserOrWhenTheRequestWouldNotFit) {
    ScriptedPeer peer;
    peer.readUntilClosed();
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    EXPECT_EQ(loginExchange(link, "", "password"), LoginOutcome::notSent);
    EXPECT_EQ(loginExchange(link, std::string(300, 'u'), std::string(209, 'p')),
              LoginOutcome::notSent);
    EXPECT_EQ(loginExchange(link, "user", "pass\nD"), LoginOutcome::notSent);
    link.close();
    EXPECT_TRUE(peer.finish());
    EXPECT_EQ(peer.received(), "");
    // 508 bytes of user name and password together still fit the 512-byte request.
    EXPECT_TRUE(loginRequest(std::string(300, 'u'), std::string(208, 'p')));
    EXPECT_EQ(loginRequest(std::string(300, 'u'), std::string(208, 'p'))->size(), 512u);
}

TEST(Login, ClosedConnectionIsNoReply) {
    ScriptedPeer peer;
    peer.expect("L\na\nb\n").close();
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    EXPECT_EQ(loginExchange(link, "a", "b"), LoginOutcome::noReply);
    EXPECT_TRUE(peer.finish());
}

TEST(Upload, TenThousandBytesGoOutInThreeChunksWithProgress) {
    std::string data = bytes(10000);
    ScriptedPeer peer;
    peer.expect("Z\n10000\n").expect(data).readUntilClosed();
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    std::vector<int> progress;
    sendUploadRequest(link, 10000);
    std::int32_t sent = sendUploadData(link, reinterpret_cast<const unsigned char*>(data.data()),
                                       10000, [&](int percent) { progress.push_back(percent); });
    link.close();
    EXPECT_EQ(sent, 10000);
    EXPECT_EQ(progress, (std::vector<int>{0, 40, 81, 100}));
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

TEST(Upload, PeerThatStopsReadingEndsTheUploadShort) {
    std::string data = bytes(8 << 20);
    ScriptedPeer peer;
    peer.expect("Z\n8388608\n").close();
    peer.start();
    ServerLink link;
    link.ioTimeout = 500ms;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    sendUploadRequest(link, static_cast<std::int32_t>(data.size()));
    ASSERT_TRUE(peer.finish());
    std::int32_t sent = sendUploadData(link, reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<std::int32_t>(data.size()), [](int) {});
    EXPECT_LT(sent, static_cast<std::int32_t>(data.size()));
}

TEST(FileRequest, PathsCarryBackslashes) {
    ScriptedPeer peer;
    peer.expect("c\nInterface\\FrameXML\\UIParent.lua\n"
                "c\nWTF\\Account\\THRALL\\SavedVariables.lua\nC\n")
        .readUntilClosed();
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    EXPECT_TRUE(sendFileRequests(
        link, {"Interface/FrameXML/UIParent.lua", "WTF\\Account\\THRALL\\SavedVariables.lua"}));
    EXPECT_TRUE(sendFileRequests(link, {})) << "nothing asked for sends nothing";
    link.close();
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

TEST(Connect, NothingListeningFailsAtTheConnectStep) {
    ServerLink link;
    auto result = link.connect(loopback(freeLoopbackPort()));
    EXPECT_EQ(result.failure, ServerLink::Failure::connect);
    EXPECT_EQ(result.errorCode, ECONNREFUSED);
    EXPECT_FALSE(link.connected());
}

// A server whose listen queue is full drops the SYN, as an unreachable one does: connecting gives
// up at its bound, told to the watcher as it lasts and when it ends, or at once when the watcher
// gives it up.
TEST(Connect, UnansweredConnectIsWatchedAndGivesUpAtItsBound) {
    auto [listener, port] = loopbackListener(0);
    ServerLink queued; // one connection waiting to be accepted fills a queue of none
    ASSERT_EQ(queued.connect(loopback(port)).failure, ServerLink::Failure::none);
    for (bool giveUp : {false, true}) {
        ServerLink link;
        link.connectTimeout = 700ms;
        std::vector<LinkWait> told;
        link.onWait = [&](const LinkWait& wait) {
            told.push_back(wait);
            return !giveUp;
        };
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(link.connect(loopback(port)).errorCode, giveUp ? ECANCELED : ETIMEDOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - started, giveUp ? 400ms : 1500ms);
        ASSERT_GE(told.size(), giveUp ? 2u : 6u);
        EXPECT_EQ(told.front().awaited, LinkWait::Awaited::connection);
        EXPECT_GE(told[told.size() - 2].lasted, giveUp ? 50ms : 500ms);
        EXPECT_TRUE(told.back().over && !told[told.size() - 2].over);
    }
    ::close(listener);
}

// A wait for a reply of which nothing has come is told apart from one for the rest of it; a
// watcher that gives up ends the receive as `stopped`.
TEST(DistributionListExchange, WaitsAreToldAsReplyThenRestAndCanBeGivenUp) {
    ScriptedPeer peer;
    peer.expect("D\n").pause(250ms).send("1 Standard\n").pause(250ms).send("D\n1\n");
    peer.expect("D\n").readUntilClosed();
    peer.start();
    ServerLink link;
    ASSERT_EQ(link.connect(loopback(peer.port())).failure, ServerLink::Failure::none);
    std::vector<LinkWait::Awaited> awaited;
    link.onWait = [&](const LinkWait& wait) {
        if (!wait.over && (awaited.empty() || awaited.back() != wait.awaited))
            awaited.push_back(wait.awaited);
        return awaited.size() < 3;
    };
    EXPECT_TRUE(fetchEntries(link).outcome.ended);
    EXPECT_FALSE(fetchEntries(link).outcome.ended);
    EXPECT_EQ(awaited, (std::vector{LinkWait::Awaited::reply, LinkWait::Awaited::moreOfTheReply,
                                    LinkWait::Awaited::reply}));
    EXPECT_EQ(link.end(), LinkEnd::stopped);
    link.close();
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

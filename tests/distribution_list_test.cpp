#include "harness/content.h"
#include "harness/loopback.h"
#include "job_channel/worker_job.h"
#include "patcher/distribution_list.h"
#include "settings/settings.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"
#include "tests/support/test_window.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class DistributionListTest : public ::testing::Test {
protected:
    TempDir dir;
    Settings settings{dir / "settings.db"};
    Job job;
    TestWindow window;

    DistributionListTest() { job.fatalPause = 0ms; }

    bool fetch(std::chrono::milliseconds ioTimeout = 10s) {
        return runPass(job, settings, window, [&](WorkerJob& worker) {
            worker.connection.ioTimeout = ioTimeout;
            fetchDistributionList(worker);
            worker.close();
        });
    }

    std::vector<std::string> lines() {
        std::lock_guard guard(settings.distributionLinesLock);
        return settings.distributionLines;
    }
};

} // namespace

TEST_F(DistributionListTest, FillsLinesStoreAndVersionFromTheReferenceServer) {
    TestServer server;
    server.addDistribution("1 Standard");
    server.addDistribution("2 Lite");
    server.addDistribution("12 Extra Things");
    server.options()->wdbVersion = 5;
    settings.writeString("Distribution2", "stale");
    settings.writeString("Distribution19", "stale");
    settings.writeString("Distribution", "2");
    settings.writeString("Distribution25", "stale");
    settings.writeString("distribution123Extra", "stale");
    settings.distribution = 2;
    settings.mustChooseDistribution = 0;

    testing::internal::CaptureStdout();
    ASSERT_TRUE(fetch());
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(lines(), (std::vector<std::string>{"1 Standard", "2 Lite", "12 Extra Things"}));
    EXPECT_EQ(settings.readString("Distribution1"), "Standard");
    EXPECT_EQ(settings.readString("Distribution2"), "Lite");
    EXPECT_EQ(settings.readString("Distribution12"), "Extra Things");
    EXPECT_EQ(settings.readString("Distribution19"), "");
    EXPECT_EQ(settings.readString("Distribution25"), "") << "no list leaves entries behind";
    EXPECT_EQ(settings.readString("Distribution123Extra"), "");
    EXPECT_EQ(settings.readString("Distribution"), "2") << "the choice is no entry";
    EXPECT_EQ(settings.serverWdbVersion, 5);
    EXPECT_NE(out.find("m_version = 5\n"), std::string::npos);
    EXPECT_EQ(settings.mustChooseDistribution, 0);
    EXPECT_EQ(settings.distListPending, 0);
    std::vector<std::string> expected = {"Connecting", "Connected", "Waiting for Response",
                                         "Downloading Distribution list"};
    // A quick worker may post several lines between two ticks; those shown keep their order.
    std::vector<long> order;
    for (const std::string& line : window.statusLines)
        order.push_back(std::find(expected.begin(), expected.end(), line) - expected.begin());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_TRUE(std::all_of(order.begin(), order.end(), [](long i) { return i < 4; }));
    EXPECT_EQ(job.copyStatus(), "Downloading Distribution list");

    // The list is fetched once per run of the program.
    ASSERT_TRUE(fetch());
    auto log = server.log();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(),
                  [](const std::string& line) { return line.find(" D: ") != std::string::npos; }),
              1);
}

TEST_F(DistributionListTest, MissingStoredChoiceMustBeChosen) {
    TestServer server;
    server.addDistribution("1 Standard");
    settings.distribution = 3;
    settings.mustChooseDistribution = 0;
    ASSERT_TRUE(fetch());
    EXPECT_EQ(settings.mustChooseDistribution, 1);
}

TEST_F(DistributionListTest, NoneNeverForcesAChoice) {
    TestServer server;
    settings.distribution = 0;
    settings.mustChooseDistribution = 0;
    ASSERT_TRUE(fetch());
    EXPECT_EQ(settings.mustChooseDistribution, 0);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(settings.serverWdbVersion, 1);
}

TEST_F(DistributionListTest, EmptyListWithAStoredChoiceAsksForOne) {
    TestServer server;
    settings.distribution = 1;
    settings.mustChooseDistribution = 0;
    ASSERT_TRUE(fetch());
    EXPECT_EQ(settings.mustChooseDistribution, 1);
}

TEST_F(DistributionListTest, HostileListsAreBoundedAndLeaveNothingBehind) {
    // 40 entries in 60 kB, then more than the limit allows.
    std::string reply;
    for (int i = 1; i <= 40; ++i)
        reply += std::to_string(i) + " " + std::string(1500, 'n') + "\n";
    ScriptedPeer peer;
    peer.expect("D\n").send(reply + reply).readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    settings.writeString("Distribution", "7");
    ASSERT_TRUE(fetch());
    peer.finish();
    EXPECT_EQ(job.copyStatus(), "Distribution list is WAY too long");
    EXPECT_EQ(settings.readString("Distribution"), "7");
    std::size_t entries = 0;
    for (const auto& [name, data] : settings.key.readAll())
        entries += name.rfind("Distribution", 0) == 0 && name != "Distribution";
    EXPECT_LE(entries, 40u);
}

TEST_F(DistributionListTest, OddLinesNeverTouchTheStoredChoice) {
    ScriptedPeer peer;
    peer.expect("D\n").send(" 3 Spaced\n\n12Extra\nBeta\n7 Lite\nD\n4\n").readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    settings.writeString("Distribution", "7");
    settings.distribution = 7;
    settings.mustChooseDistribution = 0;
    ASSERT_TRUE(fetch());
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
    EXPECT_EQ(lines(), (std::vector<std::string>{" 3 Spaced", "", "12Extra", "Beta", "7 Lite"}));
    EXPECT_EQ(settings.readString("Distribution"), "7");
    EXPECT_EQ(settings.readString("Distribution12Extra"), "Extra");
    EXPECT_EQ(settings.readString("Distribution7"), "Lite");
    EXPECT_EQ(settings.readString("DistributionBeta"), "");
    EXPECT_EQ(settings.mustChooseDistribution, 0);
    EXPECT_EQ(settings.serverWdbVersion, 4);
}

// A list without its end line is not the server's list: the pass ends saying so, no choice is
// forced from it, and the next pass asks for the whole list again.
TEST_F(DistributionListTest, ListWithoutItsEndLineFailsThePassAndIsAskedForAgain) {
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> script;
        const char* status;
    } cases[] = {
        {"closed mid-line", [](ScriptedPeer& peer) { peer.send("1 Standard\n2 Li").close(); },
         "Distribution list cut short: the server closed the connection"},
        {"closed at once", [](ScriptedPeer& peer) { peer.close(); },
         "Distribution list cut short: the server closed the connection"},
        {"silent", [](ScriptedPeer& peer) { peer.send("1 Standard\n").readUntilClosed(); },
         "Distribution list cut short: the server stopped answering"},
        {"silent from the start", [](ScriptedPeer& peer) { peer.readUntilClosed(); },
         "The server did not answer"},
    };
    settings.distribution = 7;
    settings.mustChooseDistribution = 0;
    for (const Case& c : cases) {
        ScriptedPeer peer;
        peer.expect("D\n");
        c.script(peer);
        peer.start();
        ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
        auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(fetch(300ms));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << c.name;
        EXPECT_TRUE(peer.finish()) << c.name;
        EXPECT_EQ(job.copyStatus(), c.status);
        EXPECT_EQ(settings.distListPending, 1) << c.name;
        EXPECT_EQ(settings.mustChooseDistribution, 0) << c.name << ": no choice from a cut list";
    }
    TestServer server;
    server.addDistribution("1 Standard");
    server.addDistribution("7 Lite");
    ASSERT_TRUE(fetch());
    EXPECT_EQ(lines(), (std::vector<std::string>{"1 Standard", "7 Lite"}));
    EXPECT_EQ(settings.distListPending, 0);
}

TEST_F(DistributionListTest, NothingListeningEndsThePassWithCantConnect) {
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(freeLoopbackPort()));
    ASSERT_TRUE(fetch());
    EXPECT_EQ(job.copyStatus(), "Can't connect!");
    EXPECT_EQ(settings.distListPending, 1) << "the pass ended before the list was fetched";
}

// A server that never answers the connect: the status line counts the wait (without a line a
// second for the front ends that print every line), and the pass says how long it waited.
TEST_F(DistributionListTest, UnansweredConnectCountsItsWaitAndSaysHowLong) {
    auto [listener, port] = loopbackListener(0);
    ServerLink queued; // one connection waiting to be accepted fills a queue of none
    ASSERT_EQ(queued.connect({htonl(INADDR_LOOPBACK), port}).failure, ServerLink::Failure::none);
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(runPass(job, settings, window, [](WorkerJob& worker) {
        worker.connection.connectTimeout = 1300ms;
        fetchDistributionList(worker);
    }));
    EXPECT_EQ(job.copyStatus(), "Can't connect: the server did not answer within 1 s");
    EXPECT_NE(std::find(window.statusLines.begin(), window.statusLines.end(), "Connecting (1 s)"),
              window.statusLines.end());
    for (const std::string& line : job.takeStatusLines().lines)
        EXPECT_EQ(line.find(" s)"), std::string::npos) << line;
    ::close(listener);
}

#include "job_channel/job.h"
#include "job_channel/worker_job.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class JobChannelTest : public ::testing::Test {
protected:
    TempDir dir;
    Settings settings{dir / "settings.db"};
    Job job;
    TestWindow window;

    JobChannelTest() { job.fatalPause = 0ms; }
};

} // namespace

TEST_F(JobChannelTest, PassRunsOnceAndEndsTheChannel) {
    int runs = 0;
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        ++runs;
        EXPECT_EQ(&worker.settings, &settings);
        EXPECT_EQ(currentJob.load(), &job);
        worker.setProgress(42);
        worker.status("Working %d", 1);
    }));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(currentJob.load(), nullptr);
    EXPECT_EQ(job.copyStatus(), "Working 1");
    EXPECT_EQ(window.calls.back(), "endOfPass");
    EXPECT_EQ(window.progressValues.back(), 42);
    // The Job is reused by the next pass.
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob&) { ++runs; }));
    EXPECT_EQ(runs, 2);
}

TEST_F(JobChannelTest, PollServesEventsInTheirFixedOrder) {
    job.statusText = "Choose a Distribution";
    settings.completeCheck = 1;
    settings.checkingCompletely = 1;
    job.progress = 17;
    job.needDistribution.signal();
    job.statusChanged.signal();
    job.done.signal();
    job.needLogin.signal();
    int configureOpenDuringChoice = -1;
    window.onDistribution = [&] { configureOpenDuringChoice = settings.configureOpen; };
    settings.mustChooseDistribution = 1;

    pollJob(job, settings, window);

    std::vector<std::string> expected = {"status:Choose a Distribution",
                                         "login",
                                         "status:Choose a Distribution",
                                         "distribution",
                                         "status:Choose a Distribution",
                                         "status:PatchReport",
                                         "report",
                                         "endOfPass"};
    EXPECT_EQ(window.calls, expected);
    EXPECT_EQ(configureOpenDuringChoice, 1);
    EXPECT_EQ(settings.configureOpen, 0);
    EXPECT_EQ(settings.mustChooseDistribution, 0);
    EXPECT_EQ(settings.completeCheck, 0);
    EXPECT_EQ(settings.reportLines, std::vector<std::string>{"File Check Complete."});
    EXPECT_EQ(window.progressValues, std::vector<int>{17});
    // Each request is answered with go.
    EXPECT_TRUE(job.go.test());
}

TEST_F(JobChannelTest, DistributionChoiceInsideAConfigureDialogKeepsItCounted) {
    settings.configureOpen = 1; // a Configure dialog is open
    job.needDistribution.signal();
    int duringChoice = -1;
    window.onDistribution = [&] { duringChoice = settings.configureOpen; };
    pollJob(job, settings, window);
    EXPECT_EQ(duringChoice, 2);
    EXPECT_EQ(settings.configureOpen, 1) << "the Configure dialog is still open";
}

TEST_F(JobChannelTest, HistoryKeepsEveryPostedLineInOrderWhileTheWindowShowsTheNewest) {
    const std::size_t many = Job::historyLimit + 10;
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        worker.status("Connecting");
        worker.status("Connecting");
        worker.status("Downloading %s", "Interface\\AddOns\\Bagnon\\Bagnon.lua");
        worker.status("Failed to create %s", "Interface/AddOns/Größere Taschen/Übersicht.lua.new");
    }));
    EXPECT_EQ(window.statusLines.back(),
              "Failed to create Interface/AddOns/Größere Taschen/Übersicht.lua.new");
    StatusLines taken = job.takeStatusLines();
    EXPECT_EQ(taken.lines,
              (std::vector<std::string>{
                  "Connecting", "Connecting", "Downloading Interface\\AddOns\\Bagnon\\Bagnon.lua",
                  "Failed to create Interface/AddOns/Größere Taschen/Übersicht.lua.new"}));
    EXPECT_EQ(taken.dropped, 0u);
    EXPECT_TRUE(job.takeStatusLines().lines.empty()) << "each line is taken once";

    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        for (std::size_t i = 0; i < many; ++i)
            worker.status("line %zu", i);
    }));
    taken = job.takeStatusLines();
    ASSERT_EQ(taken.lines.size(), Job::historyLimit);
    EXPECT_EQ(taken.dropped, 10u);
    EXPECT_EQ(taken.lines.front(), "line 10");
    EXPECT_EQ(taken.lines.back(), "line " + std::to_string(many - 1));
}

TEST_F(JobChannelTest, LoginIsAnsweredBeforeTheStatusIsRefreshed) {
    job.statusText = "before";
    job.needLogin.signal();
    job.statusChanged.signal();
    window.onLogin = [&] { job.statusText = "after"; };
    pollJob(job, settings, window);
    std::vector<std::string> expected = {"status:before", "login", "status:after"};
    EXPECT_EQ(window.calls, expected);
}

TEST_F(JobChannelTest, LastLineOfThePassNeverReplacesTheClosingLine) {
    job.statusText = "Patching Pelvar";
    job.statusChanged.signal();
    // The worker posts its last line and ends while the window shows the one before.
    window.onStatus = [&](const std::string& line) {
        if (line == "Patching Pelvar") {
            job.postStatus("Pelvar Patching Complete");
            job.done.signal();
        }
    };
    pollJob(job, settings, window);
    std::vector<std::string> expected = {"status:Patching Pelvar",
                                         "status:Pelvar Patching Complete", "endOfPass"};
    EXPECT_EQ(window.calls, expected);
    EXPECT_FALSE(job.statusChanged.test()) << "nothing left to show after the closing line";
}

TEST_F(JobChannelTest, NestedTickNeverOpensTheSameDialogTwice) {
    job.needLogin.signal();
    int logins = 0;
    window.onLogin = [&] {
        ++logins;
        // A timer tick that arrives while the modal dialog is open.
        pollJob(job, settings, window);
    };
    pollJob(job, settings, window);
    EXPECT_EQ(logins, 1);
}

TEST_F(JobChannelTest, DoneWithoutReportRunsTheEndOfPassAtOnce) {
    job.done.signal();
    currentJob = &job;
    pollJob(job, settings, window);
    EXPECT_EQ(window.calls, std::vector<std::string>{"endOfPass"});
    EXPECT_EQ(currentJob.load(), nullptr);
}

// "File Check Complete." ends the report of a pass that began with the check and ran to its end,
// and only of such a pass: a check asked for during a pass is still to do when it ends.
TEST_F(JobChannelTest, FileCheckCompleteOnlyAfterAPassThatDidTheCheck) {
    struct Case {
        const char* name;
        bool askedBefore;
        bool askedDuring;
        bool fatal;
        bool reported;
        int stillAsked;
    } cases[] = {
        {"asked before, ran to its end", true, false, false, true, 0},
        {"asked before, ended through fatal", true, false, true, false, 0},
        {"asked during the pass", false, true, false, false, 1},
    };
    for (const Case& c : cases) {
        settings.completeCheck = c.askedBefore;
        std::vector<std::string> shown;
        window.onReport = [&] { shown = std::exchange(settings.reportLines, {}); };
        ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
            worker.settings.reportLines.push_back("Changed: Interface\\AddOns\\Bagnon\\Bagnon.lua");
            if (c.askedDuring)
                worker.settings.completeCheck = 1;
            if (c.fatal)
                worker.fatal("Download failed!");
        }));
        std::vector<std::string> expected{"Changed: Interface\\AddOns\\Bagnon\\Bagnon.lua"};
        if (c.reported)
            expected.push_back("File Check Complete.");
        EXPECT_EQ(shown, expected) << c.name;
        EXPECT_EQ(settings.completeCheck, c.stillAsked) << c.name;
        EXPECT_EQ(settings.checkingCompletely, 0) << c.name;
    }
}

TEST_F(JobChannelTest, AskLoginBlocksUntilTheWindowHasAnswered) {
    window.onLogin = [&] {
        std::lock_guard guard(settings.credentialsLock);
        settings.Username = "anonymous";
    };
    std::string seen;
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        worker.status("Please log in");
        worker.askLogin();
        std::lock_guard guard(settings.credentialsLock);
        seen = settings.Username;
    }));
    EXPECT_EQ(seen, "anonymous");
    EXPECT_EQ(std::count(window.calls.begin(), window.calls.end(), "login"), 1);
}

TEST_F(JobChannelTest, AskDistributionClearsTheRequestAfterTheChoice) {
    settings.mustChooseDistribution = 1;
    window.onDistribution = [&] { settings.distribution = 7; };
    int chosen = -1;
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        worker.askDistribution();
        chosen = settings.distribution;
    }));
    EXPECT_EQ(chosen, 7);
    EXPECT_EQ(settings.mustChooseDistribution, 0);
}

TEST_F(JobChannelTest, StatusIsCutAt511Characters) {
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        worker.status("%s", std::string(600, 's').c_str());
    }));
    EXPECT_EQ(job.copyStatus(), std::string(511, 's'));
}

TEST_F(JobChannelTest, StatusWithoutPassIsIgnored) {
    WorkerJob worker(settings);
    worker.status("nobody sees this");
    worker.setProgress(50);
    EXPECT_EQ(job.copyStatus(), "");
    EXPECT_EQ(job.progress, 0);
}

TEST_F(JobChannelTest, FatalKeepsAPercentSignAndEndsThePass) {
    bool after = false;
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        worker.setProgress(33);
        std::string message = "100% broken %s %d";
        worker.fatal("%s", message.c_str());
        after = true;
    }));
    EXPECT_FALSE(after);
    EXPECT_EQ(job.copyStatus(), "100% broken %s %d");
    EXPECT_EQ(currentJob.load(), nullptr);
    EXPECT_EQ(window.statusLines.back(), "100% broken %s %d");
    EXPECT_EQ(window.progressValues.back(), 33) << "fatal leaves the progress where it was";
    EXPECT_EQ(window.endOfPassCount, 1);
    EXPECT_EQ(job.fatalMessage(), "100% broken %s %d") << "the end of the pass knows it failed";
    ASSERT_TRUE(runPass(job, settings, window, [](WorkerJob&) {}));
    EXPECT_EQ(job.fatalMessage(), std::nullopt) << "a normal pass closes as a normal pass";
}

TEST_F(JobChannelTest, FatalMessageStaysAboutThreeSecondsBeforeDone) {
    job.fatalPause = 3000ms;
    startPass(job, settings, [](WorkerJob& worker) { worker.fatal("Can't connect!"); });
    while (!job.statusChanged.wait(10ms)) {
    }
    auto shown = std::chrono::steady_clock::now();
    EXPECT_EQ(job.copyStatus(), "Can't connect!");
    // However busy the machine, the pass ends before its Job goes.
    job.done.wait();
    auto stayed = std::chrono::steady_clock::now() - shown;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(stayed).count(), 2900);
    job.worker.join();
}

// Whatever the window does at done (start the game, start the next pass), the ended pass has
// already released what it held: its temporary files are gone.
TEST_F(JobChannelTest, DoneComesAfterThePassHasUnwound) {
    struct Temporary {
        std::string path;
        ~Temporary() {
            std::this_thread::sleep_for(50ms); // a slow file system widens the window
            ::unlink(path.c_str());
        }
    };
    std::string path = dir / "Interface-UIParent.lua.new";
    for (bool fatal : {false, true}) {
        startPass(job, settings, [&](WorkerJob& worker) {
            writeFile(path, "half written");
            Temporary temporary{path};
            if (fatal)
                worker.fatal("Download failed!");
        });
        job.done.wait();
        EXPECT_FALSE(exists(path)) << (fatal ? "after fatal" : "after a normal end");
        job.worker.join();
    }
}

TEST(FatalWithoutPass, ShowsTheMessageThroughTheHookAndExitsWithZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setFatalHook(
                [](const std::string& text) { std::fprintf(stderr, "box: %s\n", text.c_str()); });
            TempDir dir;
            Settings settings(dir / "settings.db");
            WorkerJob(settings).fatal("Can't find %s, aborting", "WoW");
        },
        ::testing::ExitedWithCode(0), "box: Can't find WoW, aborting");
}

TEST(ProcessEnd, EndsWhileTheWorkerWaitsForALoginOrAReceive) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TempDir dir;
            Settings settings(dir / "settings.db");
            Job job;
            startPass(job, settings, [](WorkerJob& worker) { worker.askLogin(); });
            std::this_thread::sleep_for(50ms);
            endProcess(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            // A server that accepts and never says a word.
            ScriptedPeer silent;
            silent.readUntilClosed();
            silent.start();
            TempDir dir;
            Settings settings(dir / "settings.db");
            Job job;
            std::uint16_t port = silent.port();
            ::setenv("MIRELGAN_SERVER", "127.0.0.1", 1);
            startPass(job, settings, [port](WorkerJob& worker) {
                worker.port = port;
                worker.connect();
                char byte;
                worker.connection.receive(&byte, 1);
            });
            std::this_thread::sleep_for(100ms);
            job.done.wait(100ms);
            endProcess(3);
        },
        ::testing::ExitedWithCode(3), "");
}

// A refused login is told to the window's login flow, an accepted one clears it.
TEST_F(JobChannelTest, RefusedLoginIsToldToTheWindow) {
    ScriptedPeer peer;
    peer.expect("L\nthrall\nwrong\n").send("Bad password\n");
    peer.expect("L\nthrall\nright\n").send("OK\n").readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    std::vector<bool> told;
    ASSERT_TRUE(runPass(job, settings, window, [&](WorkerJob& worker) {
        worker.connect();
        for (const char* password : {"wrong", "right"}) {
            settings.Username = "thrall";
            settings.Password = password;
            worker.login();
            told.push_back(job.loginRefused);
        }
    }));
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    EXPECT_TRUE(peer.finish()) << peer.mismatch();
}

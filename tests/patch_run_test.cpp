#include "app/job/worker_job.h"
#include "patcher/patch_run.h"
#include "tests/support/game_test.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"

#include <algorithm>
#include <functional>
#include <sqlite3.h>

namespace {

class PatchRunTest : public GameTest {
protected:
    bool run() { return pass(runPatchPass); }
    std::vector<std::string> requests(TestServer& server) {
        std::vector<std::string> kinds;
        for (const std::string& line : server.log()) {
            std::size_t space = line.find(' ');
            std::string rest = line.substr(space + 1);
            kinds.push_back(rest.substr(0, rest.find_first_of(" :")));
        }
        return kinds;
    }
    // The report as the pass left it, before the end of the pass adds to it.
    std::vector<std::string> report;
    void keepReport() {
        window.onReport = [this] { report = std::exchange(settings.reportLines, {}); };
    }
};

} // namespace

TEST_F(PatchRunTest, WholePassInItsFixedOrder) {
    TestServer server;
    server.options()->wdbVersion = 2;
    server.addFile("1 Standard", "Interface/FrameXML/UIParent.lua", "new ui");
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.lua", "foo");
    writeFile("Interface/FrameXML/UIParent.lua", "old ui");
    writeFile("Interface/AddOns/Gone/Gone.lua", "unlisted");
    writeFile("Interface/AddOns/Kept/Kept.lua", "marked");
    writeFile("Interface/AddOns/Kept.nopatch", "");
    writeFile("WTF/Account/ACC/SavedVariables.lua",
              "Mirelgan_Data = {\n  [\"a\"] = "
              "\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\",\n}\n");
    settings.writeString("Distribution", "1");
    settings.distribution = 1;
    settings.keepClean = 1;
    {
        std::lock_guard guard(settings.credentialsLock);
        settings.Username = "anonymous";
    }
    keepReport();
    ASSERT_TRUE(run());

    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "L", "Z", "P", "C", "closed"}));
    EXPECT_EQ(readFile("Interface/FrameXML/UIParent.lua"), "new ui");
    EXPECT_EQ(readFile("Interface/FrameXML/UIParent.lua.prepatch"), "old ui");
    EXPECT_EQ(report, (std::vector<std::string>{"New: Interface\\AddOns\\Foo\\Foo.lua",
                                                "Changed: Interface\\FrameXML\\UIParent.lua",
                                                "Cleaned Interface\\AddOns\\Gone\\Gone.lua"}));
    EXPECT_FALSE(exists("Interface/AddOns/Gone/Gone.lua"));
    EXPECT_TRUE(exists("Interface/AddOns/Gone")) << "directories stay";
    EXPECT_FALSE(exists("Pelvar_Cleaned"));
    EXPECT_EQ(readFile(trashed("Pelvar_Cleaned/Interface/AddOns/Gone/Gone.lua")), "unlisted");
    EXPECT_EQ(readFile("Interface/AddOns/Kept/Kept.lua"), "marked");
    EXPECT_EQ(job.copyStatus(), "Pelvar Patching Complete");
    EXPECT_EQ(server.uploads().size(), 1u);
    EXPECT_GT(settings.bytesUploaded, 0);

    // The next pass in the same window has nothing to upload: it does not close with the bytes
    // of the one before.
    ASSERT_TRUE(run());
    EXPECT_EQ(settings.bytesUploaded, 0);
}

TEST_F(PatchRunTest, NoDistributionMeansNoPatchList) {
    TestServer server;
    server.addFile("1 Standard", "Interface/A.lua", "a");
    settings.distribution = 0;
    ASSERT_TRUE(run());
    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "closed"}));
    EXPECT_EQ(job.copyStatus(), "Nothing to upload!");
    EXPECT_FALSE(exists("Interface/A.lua"));
}

TEST_F(PatchRunTest, MissingChoiceIsAskedFor) {
    TestServer server;
    server.addFile("2 Lite", "Interface/Lite.lua", "lite");
    settings.distribution = 1;
    int asked = 0;
    window.onDistribution = [&] {
        ++asked;
        settings.distribution = 2;
    };
    ASSERT_TRUE(run());
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(readFile("Interface/Lite.lua"), "lite");
}

TEST_F(PatchRunTest, EmptyPatchListSkipsTheFilePhaseAndTheCleaning) {
    TestServer server;
    server.addDistribution("1 Standard");
    writeFile("Interface/Mine.lua", "mine");
    settings.keepClean = 1;
    ASSERT_TRUE(run());
    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "P", "closed"}));
    EXPECT_EQ(readFile("Interface/Mine.lua"), "mine");
    EXPECT_EQ(job.copyStatus(), "Pelvar Patching Complete");
}

TEST_F(PatchRunTest, UpToDateFilesStillGetCleaned) {
    TestServer server;
    server.addFile("1 Standard", "Interface/A.lua", "a");
    writeFile("Interface/A.lua", "a");
    writeFile("Interface/Sub/Stray.lua", "stray");
    settings.keepClean = 1;
    keepReport();
    ASSERT_TRUE(run());
    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "P", "closed"}))
        << "no file request";
    EXPECT_EQ(report, std::vector<std::string>{"Cleaned Interface\\Sub\\Stray.lua"});
}

TEST_F(PatchRunTest, SetAsideTargetThatExistsIsReportedAndTheFileStays) {
    TestServer server;
    server.addFile("1 Standard", "Interface/A.lua", "a");
    writeFile("Interface/Stray.lua", "stray");
    writeFile("Interface/Odd%s%d.lua", "percent");
    writeFile("Pelvar_Cleaned/Interface/Stray.lua", "left from a failed trash move");
    settings.keepClean = 1;
    keepReport();
    ASSERT_TRUE(run());
    EXPECT_EQ(report,
              (std::vector<std::string>{"New: Interface\\A.lua", "Cleaned Interface\\Odd%s%d.lua",
                                        "ERROR: failed to clean Interface\\Stray.lua"}));
    EXPECT_EQ(readFile("Interface/Stray.lua"), "stray");
    EXPECT_EQ(readFile(trashed("Pelvar_Cleaned/Interface/Odd%s%d.lua")), "percent");
}

TEST_F(PatchRunTest, CompleteCheckWithoutKeepCleanOnlyReports) {
    TestServer server;
    server.addFile("1 Standard", "Interface/A.lua", "a");
    writeFile("Interface/A.lua", "a");
    writeFile("Interface/Stray.lua", "stray");
    settings.completeCheck = 1;
    keepReport();
    ASSERT_TRUE(run());
    EXPECT_EQ(report, (std::vector<std::string>{"Not cleaning Interface\\Stray.lua (disabled)",
                                                "File Check Complete."}));
    EXPECT_TRUE(exists("Interface/Stray.lua"));
    EXPECT_FALSE(exists("Pelvar_Cleaned"));
    EXPECT_FALSE(exists(trashed("Pelvar_Cleaned")));
}

TEST_F(PatchRunTest, ServerClosingMidDownloadLeavesEveryFileOldOrNew) {
    TestServer server;
    std::string big(300000, '\0'); // bytes that do not compress
    std::uint32_t seed = 1;
    for (char& c : big) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    for (const char* name : {"Interface/A.lua", "Interface/B.lua", "Interface/C.lua"}) {
        server.addFile("1 Standard", name, big + name);
        writeFile(name, std::string("old ") + name);
    }
    server.options()->closeAfter = 400000;
    ASSERT_TRUE(run());
    EXPECT_EQ(job.copyStatus(), "Download failed!");
    for (const char* name : {"Interface/A.lua", "Interface/B.lua", "Interface/C.lua"}) {
        std::string content = readFile(name);
        EXPECT_TRUE(content == std::string("old ") + name || content == big + name) << name;
    }
}

// A patch list that ends without its end line is not the distribution: nothing is cleaned on the
// strength of it, and the pass ends as a failure that says so, however the stream ended.
TEST_F(PatchRunTest, PatchListCutShortCleansNothingAndFailsThePass) {
    const std::string entry =
        "Interface\\AddOns\\Größe\\Gelistete Datei.lua\n1 9\n" + std::string(32, 'a') + "\n";
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> patchListReply;
        const char* status;
    } cases[] = {
        {"closed mid-list", [&](ScriptedPeer& peer) { peer.send(entry + "Interface\\Ha").close(); },
         "Patch list cut short: the server closed the connection"},
        {"closed after a whole entry", [&](ScriptedPeer& peer) { peer.send(entry).close(); },
         "Patch list cut short: the server closed the connection"},
        {"closed right after the distribution list", [](ScriptedPeer& peer) { peer.close(); },
         "Patch list cut short: the server closed the connection"},
        {"silent mid-list", [&](ScriptedPeer& peer) { peer.send(entry).readUntilClosed(); },
         "Patch list cut short: the server stopped answering"},
    };
    const std::string stray = "Interface/AddOns/Fremd/Nicht gelistet.lua";
    settings.keepClean = 1;
    for (const Case& c : cases) {
        writeFile(stray, "the user's");
        ScriptedPeer peer;
        peer.expect("D\n").send("1 Standard\nD\n1\n").expect("P 1\n");
        c.patchListReply(peer);
        peer.start();
        ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
        settings.distListPending = 1;
        ASSERT_TRUE(pass([](WorkerJob& worker) {
            worker.connection.ioTimeout = std::chrono::milliseconds(300);
            runPatchPass(worker);
        }));
        EXPECT_TRUE(peer.finish()) << c.name << peer.mismatch();
        EXPECT_EQ(job.fatalMessage(), c.status) << c.name;
        EXPECT_EQ(readFile(stray), "the user's") << c.name;
        EXPECT_FALSE(exists("Interface/AddOns/Größe")) << c.name;
        EXPECT_TRUE(settings.reportLines.empty()) << c.name;
    }
}

// The table leaves SavedVariables.lua only when the server has shown that it read the upload:
// by its reply to the next request, or by its orderly close when none follows. A server that
// takes the login and then vanishes or stalls without reading leaves the file as it was.
TEST_F(PatchRunTest, UploadCountsOnlyWhenTheServerShowsItReadIt) {
    const std::string saved = "Vorher = 1\nMirelgan_Data = {\n  [\"Gegenstände\"] = \"" +
                              std::string(120, 'g') + "\",\n}\n";
    const std::string savedPath = "WTF/Account/KONTO-MIT-LANGEM-NAMEN/SavedVariables.lua";
    struct Case {
        const char* name;
        int distribution;
        std::function<void(ScriptedPeer&)> afterLogin;
        bool kept;
    } cases[] = {
        {"vanishes without reading, no request follows", 0,
         [](ScriptedPeer& peer) { peer.pause(std::chrono::milliseconds(100)).vanish(); }, true},
        {"stalls without reading, no request follows", 0,
         [](ScriptedPeer& peer) { peer.pause(std::chrono::milliseconds(1500)).close(); }, true},
        {"reads everything and closes in order", 0,
         [](ScriptedPeer& peer) { peer.readUntilClosed().close(); }, false},
        {"vanishes without reading before the patch list", 1,
         [](ScriptedPeer& peer) { peer.pause(std::chrono::milliseconds(100)).vanish(); }, true},
        {"vanishes at once after the login reply", 0, [](ScriptedPeer& peer) { peer.vanish(); },
         true},
    };
    for (const Case& c : cases) {
        writeFile(savedPath, saved);
        ScriptedPeer peer;
        peer.expect("D\n").send("1 Standard\nD\n1\n").expect("L\nanonymous\n\n").send("OK\n");
        c.afterLogin(peer);
        peer.start();
        ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
        settings.distListPending = 1;
        settings.distribution = c.distribution;
        settings.serverWdbVersion = 1;
        {
            std::lock_guard guard(settings.credentialsLock);
            settings.Username = "anonymous";
        }
        ASSERT_TRUE(pass([](WorkerJob& worker) {
            worker.connection.ioTimeout = std::chrono::milliseconds(300);
            runPatchPass(worker);
        }));
        peer.finish();
        std::string now = readFile(savedPath);
        EXPECT_EQ(now == saved, c.kept) << c.name << ": " << now;
        EXPECT_FALSE(exists(savedPath + ".new")) << c.name;
        EXPECT_EQ(settings.bytesUploaded > 0, !c.kept) << c.name;
        ::unlink((savedPath + ".old").c_str());
    }
}

// A settings store that another program holds locked cannot keep what the pass records: the pass
// says so and goes on with its work.
TEST_F(PatchRunTest, LockedSettingsStoreIsToldAndThePassGoesOn) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Gesperrt/Datei.lua", "new");
    settings.key.setBusyTimeout(50);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((state / "settings.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(run());
    std::string err = testing::internal::GetCapturedStderr();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(readFile("Interface/AddOns/Gesperrt/Datei.lua"), "new");
    EXPECT_EQ(job.fatalMessage(), std::nullopt);
    std::vector<std::string> posted = job.takeStatusLines().lines;
    EXPECT_NE(
        std::find(posted.begin(), posted.end(), "Settings could not be saved: database is locked"),
        posted.end());
    EXPECT_NE(err.find("settings could not be saved: database is locked"), std::string::npos)
        << err;
}

TEST_F(PatchRunTest, SecondPassUsesTheFirstList) {
    TestServer server;
    server.addDistribution("1 Standard");
    ASSERT_TRUE(run());
    ASSERT_TRUE(run());
    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "P", "closed", "P", "closed"}));
}

#include "harness/content.h"
#include "job_channel/worker_job.h"
#include "pass/patch_run.h"
#include "pass/rollback.h"
#include "patcher/pass_record.h"
#include "tests/support/game_test.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

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
    std::string cleanedInTrash() const {
        return "The cleaned files are in the trash: " + trashed("Pelvar_Cleaned");
    }
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
                                                "Cleaned Interface\\AddOns\\Gone\\Gone.lua",
                                                cleanedInTrash()}));
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
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    settings.distribution = 0;
    ASSERT_TRUE(run());
    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "closed"}));
    EXPECT_EQ(job.copyStatus(), "Nothing to upload!");
    EXPECT_FALSE(exists("Interface/AddOns/Bagnon/Bagnon.lua"));
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
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    writeFile("Interface/AddOns/Bagnon/Bagnon.lua", "a");
    writeFile("Interface/Sub/Stray.lua", "stray");
    settings.keepClean = 1;
    keepReport();
    ASSERT_TRUE(run());
    EXPECT_EQ(requests(server), (std::vector<std::string>{"D", "P", "closed"}))
        << "no file request";
    EXPECT_EQ(report,
              (std::vector<std::string>{"Cleaned Interface\\Sub\\Stray.lua", cleanedInTrash()}));
}

TEST_F(PatchRunTest, SetAsideTargetThatExistsIsReportedAndTheFileStays) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    writeFile("Interface/Stray.lua", "stray");
    writeFile("Interface/Odd%s%d.lua", "percent");
    writeFile("Pelvar_Cleaned/Interface/Stray.lua", "left from a failed trash move");
    settings.keepClean = 1;
    keepReport();
    ASSERT_TRUE(run());
    EXPECT_EQ(report, (std::vector<std::string>{"New: Interface\\AddOns\\Bagnon\\Bagnon.lua",
                                                "Cleaned Interface\\Odd%s%d.lua",
                                                "ERROR: failed to clean Interface\\Stray.lua",
                                                cleanedInTrash()}));
    EXPECT_EQ(readFile("Interface/Stray.lua"), "stray");
    EXPECT_EQ(readFile(trashed("Pelvar_Cleaned/Interface/Odd%s%d.lua")), "percent");
}

TEST_F(PatchRunTest, CompleteCheckWithoutKeepCleanOnlyReports) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    writeFile("Interface/AddOns/Bagnon/Bagnon.lua", "a");
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
    const char* names[] = {"Interface/AddOns/Auctionator/Auctionator.lua",
                           "Interface/AddOns/Größere Taschen/Übersicht.lua",
                           "Interface/AddOns/日本語/設定.lua"};
    for (const char* name : names) {
        server.addFile("1 Standard", name, big + name);
        writeFile(name, std::string("old ") + name);
    }
    server.options()->closeAfter = 400000;
    ASSERT_TRUE(run());
    EXPECT_EQ(job.copyStatus(), "Download failed!");
    for (const char* name : names) {
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
        {"silent from the start", [](ScriptedPeer& peer) { peer.readUntilClosed(); },
         "The server did not answer"},
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
// takes the login and then vanishes or stalls without reading leaves the file and the item
// cache's offset as they were.
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
         [](ScriptedPeer& peer) { peer.pause(std::chrono::milliseconds(1500)).vanish(); }, true},
        {"reads everything and closes in order", 0,
         [](ScriptedPeer& peer) { peer.readUntilClosed().close(); }, false},
        {"vanishes without reading before the patch list", 1,
         [](ScriptedPeer& peer) { peer.pause(std::chrono::milliseconds(100)).vanish(); }, true},
        {"vanishes at once after the login reply", 0, [](ScriptedPeer& peer) { peer.vanish(); },
         true},
    };
    writeFile("WDB/itemcache.wdb", std::string(300, 'i'));
    for (const Case& c : cases) {
        writeFile(savedPath, saved);
        settings.writeString("wdbVersion", "1");
        settings.writeString("wdbItems", "10");
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
        EXPECT_EQ(settings.readString("wdbItems"), c.kept ? "10" : "300") << c.name;
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

namespace {

// What the user does to a file between a pass and its rollback (or, for ownMarkerAfter, between
// the rollback and the release: the user puts a marker of their own in place of the rollback's).
enum class Meddle {
    nothing,
    edit,
    remove,
    takePlace,
    emptyTrash,
    dropBackup,
    ownMarker,
    ownMarkerAfter
};

// One file of a pass followed by a rollback: its content before the pass (none: absent), the
// distribution's (none: unlisted, so the pass cleans it away), and what the rollback must make
// of it.
struct RolledFile {
    std::string path;
    std::optional<std::string> before;
    std::optional<std::string> listed;
    Meddle meddle;
    std::string line; // the report line; empty for none
    bool held;
};

// The rank of a rollback report line: its lines come in this order of kinds.
int lineRank(const std::string& line) {
    const char* kinds[] = {
        "Restored: ",          "Removed: ",        "Recovered: ", "Left alone (changed",
        "Left alone (deleted", "Error: couldn't ", "Held: "};
    for (int rank = 0; rank < 7; ++rank)
        if (line.starts_with(kinds[rank]))
            return rank;
    return 7;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string display(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

class RollbackTest : public PatchRunTest {
protected:
    RollbackTest() {
        settings.writeString("Distribution", "1");
        settings.keepClean = 1;
        keepReport();
    }
    bool rollBack(bool hold = true) {
        return pass([hold](WorkerJob& worker) { runRollback(worker, hold); });
    }
    std::string cached(const std::string& path) {
        for (const auto& [name, digest] : settings.key.readDigests(currentGameDirectory()))
            if (name == path)
                return digest;
        return {};
    }
};

} // namespace

// A pass replaces, creates and cleans files; the user meddles with some; the rollback undoes
// what it may, leaves the user's changes alone, names what it cannot undo and holds the rest
// until a release, after which the next pass patches again.
TEST_F(RollbackTest, UndoesThePassLeavesTheUsersChangesAndHoldsUntilReleased) {
    const std::vector<RolledFile> files = {
        {"Interface/FrameXML/ÜberFrame.lua", "old über", "new über", Meddle::nothing,
         "Restored: ", true},
        {"Interface/AddOns/NeuesAddOn/Neu.lua", std::nullopt, "neu", Meddle::nothing,
         "Removed: ", true},
        {"Interface/AddOns/Veraltet/Alt.lua", "alt", std::nullopt, Meddle::nothing,
         "Recovered: ", true},
        {"Interface/AddOns/Veraltet/Überholt ☃.lua", "", std::nullopt, Meddle::nothing,
         "Recovered: ", true},
        {"Interface/AddOns/Leer/War leer.lua", "", "filled", Meddle::nothing, "Restored: ", true},
        {"Interface/AddOns/Leer/Wird leer.lua", "had content", "", Meddle::nothing,
         "Restored: ", true},
        {"Interface/AddOns/Leer/Neu und leer.lua", std::nullopt, "", Meddle::nothing,
         "Removed: ", true},
        {"Interface/FrameXML/EditedByUser.lua", "before", "patched", Meddle::edit,
         "Left alone (changed since the pass): ", false},
        {"Interface/AddOns/NeuesAddOn/Edited.lua", std::nullopt, "new", Meddle::edit,
         "Left alone (changed since the pass): ", false},
        {"Interface/AddOns/Veraltet/Taken.lua", "cleaned", std::nullopt, Meddle::takePlace,
         "Left alone (changed since the pass): ", false},
        {"Interface/AddOns/Veraltet/Emptied.lua", "gone", std::nullopt, Meddle::emptyTrash,
         "Left alone (deleted since the pass): ", false},
        {"Interface/FrameXML/DeletedByUser.lua", "before", "patched", Meddle::remove,
         "Left alone (deleted since the pass): ", false},
        {"Interface/AddOns/NeuesAddOn/Deleted.lua", std::nullopt, "new", Meddle::remove,
         "Left alone (deleted since the pass): ", false},
        {"Interface/FrameXML/LostBackup.lua", "lost", "kept", Meddle::dropBackup,
         "Error: couldn't restore ", false},
        {"Interface/FrameXML/Unverändert.lua", "same", "same", Meddle::nothing, "", false},
        {"Interface/FrameXML/MarkedAfterTheRollback.lua", "earlier", "later",
         Meddle::ownMarkerAfter, "Restored: ", true},
        {"Interface/FrameXML/MarkedLater.lua", "earlier", "later", Meddle::ownMarker,
         "Restored: ", false},
    };
    TestServer server;
    for (const RolledFile& file : files) {
        if (file.before)
            writeFile(file.path, *file.before);
        if (file.listed)
            server.addFile("1 Standard", file.path, *file.listed);
    }
    ASSERT_TRUE(run());
    for (const RolledFile& file : files) {
        switch (file.meddle) {
        case Meddle::nothing:
        case Meddle::ownMarkerAfter:
            break;
        case Meddle::edit:
        case Meddle::takePlace:
            writeFile(file.path, "the user's own");
            break;
        case Meddle::emptyTrash:
            std::filesystem::remove(trashed("Pelvar_Cleaned/" + file.path));
            break;
        case Meddle::remove:
            std::filesystem::remove(file.path);
            break;
        case Meddle::dropBackup:
            std::filesystem::remove(file.path + ".prepatch");
            break;
        case Meddle::ownMarker:
            writeFile(file.path + ".nopatch", "");
            break;
        }
    }

    // The backup is lost: that file cannot be undone, and the rollback is not finished until it
    // is; once the backup is back, a second rollback finishes it.
    const std::string lostBackup = "Interface/FrameXML/LostBackup.lua";
    for (bool retry : {false, true}) {
        ASSERT_TRUE(rollBack());
        std::vector<std::string> expected;
        for (const RolledFile& file : files) {
            bool lost = file.meddle == Meddle::dropBackup;
            if (lost && !retry)
                expected.push_back(file.line + display(file.path) +
                                   " (its backup no longer holds what the pass replaced)");
            else if (lost)
                expected.push_back("Restored: " + display(file.path));
            else if (!file.line.empty())
                expected.push_back(file.line + display(file.path));
            if (file.held || (lost && retry))
                expected.push_back("Held: " + display(file.path));
        }
        if (!retry)
            expected.push_back("The rollback is not finished: what the errors above name could "
                               "not be undone. Once the cause is gone, run the rollback again to "
                               "finish it.");
        EXPECT_EQ(sorted(report), sorted(expected)) << "retry " << retry;
        EXPECT_TRUE(std::is_sorted(report.begin(), report.end(),
                                   [](auto& a, auto& b) { return lineRank(a) < lineRank(b); }));
        EXPECT_EQ(settings.installErrors, retry ? 0 : 1);
        if (!retry)
            writeFile(lostBackup + ".prepatch", "lost");
    }
    for (const RolledFile& file : files) {
        const std::string& path = file.path;
        std::string marker = path + ".nopatch";
        if (file.meddle == Meddle::edit || file.meddle == Meddle::takePlace) {
            EXPECT_EQ(readFile(path), "the user's own") << path;
            EXPECT_EQ(cached(path), file.listed ? md5Of("the user's own") : "") << path;
        } else if (file.meddle == Meddle::emptyTrash || file.meddle == Meddle::remove) {
            EXPECT_FALSE(exists(path)) << path;
        } else if (file.before) {
            EXPECT_EQ(readFile(path), *file.before) << path;
            if (file.listed) {
                EXPECT_EQ(cached(path), md5Of(*file.before)) << path;
            }
            if (file.listed && file.listed != file.before) {
                EXPECT_EQ(readFile(path + ".prepatch"), *file.listed) << path;
            }
        } else {
            EXPECT_FALSE(exists(path)) << path;
            EXPECT_EQ(cached(path), "") << path;
        }
        if (file.held || file.meddle == Meddle::dropBackup) {
            EXPECT_EQ(readFile(marker), heldMarkerText) << path;
        } else {
            EXPECT_EQ(exists(marker), file.meddle == Meddle::ownMarker) << path;
        }
    }

    ASSERT_TRUE(rollBack());
    EXPECT_EQ(report, std::vector<std::string>{"Nothing to roll back."});

    auto usersMarker = [](const RolledFile& file) {
        return file.meddle == Meddle::ownMarker || file.meddle == Meddle::ownMarkerAfter;
    };
    for (const RolledFile& file : files)
        if (file.meddle == Meddle::ownMarkerAfter)
            writeFile(file.path + ".nopatch", "");
    std::vector<std::string> released = releaseHeld(settings.key);
    std::vector<std::string> expectedReleased;
    for (const RolledFile& file : files) {
        if ((file.held || file.meddle == Meddle::dropBackup) && !usersMarker(file))
            expectedReleased.push_back("Released: " + display(file.path));
        EXPECT_EQ(exists(file.path + ".nopatch"), usersMarker(file)) << file.path;
    }
    EXPECT_EQ(sorted(released), sorted(expectedReleased));
    EXPECT_TRUE(releaseHeld(settings.key).empty());

    // Released, the files are patched again: the digest cache knows what they hold.
    ASSERT_TRUE(run());
    for (const RolledFile& file : files) {
        if (file.held && file.listed) {
            EXPECT_EQ(readFile(file.path), usersMarker(file) ? *file.before : *file.listed)
                << file.path;
        }
        if (file.held && !file.listed) {
            EXPECT_FALSE(exists(file.path)) << file.path;
        }
    }
    EXPECT_NE(std::find(report.begin(), report.end(), "Changed: " + display(files[0].path)),
              report.end());
}

// Without holding, nothing is marked and the next pass patches at once. A change that a pass
// wrote down but never made (its download was cut) is neither undone nor held, even where the
// files look like a rollback's work: the distribution reverted the file to what the backup holds.
// The last pass that changed something stays the last when the user has undone all of it by hand,
// and a rollback never reaches behind the pass it rolled back.
TEST_F(RollbackTest, OnlyChangesThePassMadeAreUndoneAndItsLastPassStaysTheLast) {
    TestServer server;
    const std::string path = "Interface/AddOns/Ständig/Ständig.lua";
    const std::string added = "Interface/AddOns/Später/Hinzugefügt.lua";
    server.addFile("1 Standard", path, "second");
    writeFile(path, "first");
    ASSERT_TRUE(run());
    {
        PassRecord reverted(settings.key);
        DownloadList revert = {{path, 6, 6, md5Of("first"), md5Of("second")}};
        reverted.expect(revert);
        reverted.beforeInstall(path, md5Of("second"), md5Of("first"));
    }

    ASSERT_TRUE(rollBack(false));
    EXPECT_EQ(report, std::vector<std::string>{"Restored: " + display(path)});
    EXPECT_EQ(readFile(path), "first");
    EXPECT_FALSE(exists(path + ".nopatch"));
    ASSERT_TRUE(run());
    EXPECT_EQ(readFile(path), "second");

    server.addFile("1 Standard", added, "added");
    ASSERT_TRUE(run());
    std::filesystem::remove(added);
    ASSERT_TRUE(rollBack(false));
    EXPECT_EQ(report,
              std::vector<std::string>{"Left alone (deleted since the pass): " + display(added)});
    EXPECT_EQ(readFile(path), "second") << "the pass before the last is not undone";
    ASSERT_TRUE(rollBack(false));
    EXPECT_EQ(report, std::vector<std::string>{"Nothing to roll back."});
    EXPECT_EQ(readFile(path), "second");
}

// A rollback that cannot read its record, or whose digest cache cannot forget the files it is to
// undo (another program holds the store locked), ends before it changes anything, with what to
// do: it is neither "Nothing to roll back." nor a pass taken for one that changed nothing. One
// whose store refuses to write down its next change stops before making it, says so, and is
// finished by the next rollback. A release that cannot read its markers says so.
TEST_F(RollbackTest, SettingsThatCannotBeReadOrWrittenStopTheRollbackBeforeItsNextChange) {
    TestServer server;
    const std::string path = "Interface/AddOns/Gesperrt/Zurückgesetzt.lua";
    server.addFile("1 Standard", path, "new");
    writeFile(path, "old");
    // Listed first, undone last.
    const std::string earlier = "Interface/AddOns/Gesperrt/Als Zweites.lua";
    server.addFile("1 Standard", earlier, "new");
    writeFile(earlier, "old");
    ASSERT_TRUE(run());
    writeFile(state / "not a directory", "");
    Settings unopened(state / "not a directory/settings.db");
    ASSERT_FALSE(unopened.key.isOpen());
    ASSERT_TRUE(runPass(job, unopened, window, runRollbackPass));
    EXPECT_TRUE(job.fatalMessage().value_or("").starts_with("Can't read the record of the passes"))
        << job.fatalMessage().value_or("");
    EXPECT_EQ(releaseHeld(unopened.key),
              std::vector<std::string>{"Error: couldn't read the markers that rollbacks made"});

    settings.key.setBusyTimeout(50);
    // The rollback undoes the later file first; a store that refuses to write down the earlier
    // file's change stops it there, and the next rollback finishes it.
    struct Step {
        const char* hinder;
        const char* release;
        std::string after;        // the later file
        std::string earlierAfter; // the earlier one
        std::string fatal;        // how the message begins; none: the rollback goes on
        std::vector<std::string> report;
    };
    const std::string notFinished =
        "The rollback is not finished: the settings would not take what it was about to do "
        "(the record is read-only), so it stopped before changing anything more. Once the cause "
        "is gone, run the rollback again to finish it.";
    const Step steps[] = {
        {"ALTER TABLE pass_files RENAME TO pass_files_hidden",
         "ALTER TABLE pass_files_hidden RENAME TO pass_files",
         "new",
         "new",
         "Can't read the record of the passes (",
         {}},
        {"BEGIN EXCLUSIVE",
         "ROLLBACK",
         "new",
         "new",
         "Can't make the digest cache forget the files: the settings are in use by another "
         "program (database is locked). Nothing was rolled back: close the other program and try "
         "again.",
         {}},
        {"CREATE TRIGGER readOnly BEFORE UPDATE ON pass_files WHEN NEW.path = "
         "'Interface/AddOns/Gesperrt/Als Zweites.lua' "
         "BEGIN SELECT RAISE(ABORT, 'the record is read-only'); END",
         "DROP TRIGGER readOnly",
         "old",
         "new",
         "",
         {"Restored: " + display(path), notFinished}},
        {"SELECT 1",
         "SELECT 1",
         "old",
         "old",
         "",
         {"Restored: " + display(earlier), "Restored: " + display(path)}},
    };
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((state / "settings.db").c_str(), &other), SQLITE_OK);
    for (const Step& step : steps) {
        ASSERT_EQ(sqlite3_exec(other, step.hinder, nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_TRUE(rollBack(false));
        sqlite3_exec(other, step.release, nullptr, nullptr, nullptr);
        EXPECT_EQ(readFile(path), step.after) << step.hinder;
        EXPECT_EQ(readFile(earlier), step.earlierAfter) << step.hinder;
        std::optional<std::string> fatal = job.fatalMessage();
        if (!step.fatal.empty()) {
            EXPECT_TRUE(fatal && fatal->starts_with(step.fatal)) << fatal.value_or("none");
            continue;
        }
        EXPECT_EQ(fatal, std::nullopt);
        EXPECT_EQ(report, step.report) << step.hinder;
        EXPECT_EQ(settings.installErrors, step.report.back() == notFinished ? 1 : 0);
    }
    sqlite3_close(other);
}

// A pass of more files than the record writes together: every one of them is recorded, once.
TEST_F(RollbackTest, EveryFileOfALargePassIsRecordedOnce) {
    TestServer server;
    std::vector<std::string> paths;
    for (int i = 0; i < 600; ++i)
        paths.push_back("Interface/AddOns/Größer" + std::to_string(i / 50) + "/Datei" +
                        std::to_string(i) + ".lua");
    for (std::size_t i = 0; i < paths.size(); ++i) {
        server.addFile("1 Standard", paths[i], "new " + std::to_string(i));
        if (i % 3 == 0)
            writeFile(paths[i], "old " + std::to_string(i));
    }
    ASSERT_TRUE(run());
    ASSERT_TRUE(rollBack(false));
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < paths.size(); ++i)
        expected.push_back((i % 3 == 0 ? "Restored: " : "Removed: ") + display(paths[i]));
    EXPECT_EQ(sorted(report), sorted(expected));
    for (std::size_t i = 0; i < paths.size(); i += 3)
        EXPECT_EQ(readFile(paths[i]), "old " + std::to_string(i));
}

// Cleaned and removed files go to the trash of their own file system: the home trash, or on a
// second disk that disk's .Trash-$uid, and a rollback brings them back from there. When no trash
// takes them, the files stay where they are, within seconds, and the report says so.
TEST_F(RollbackTest, TrashesOfEveryDiskTakeTheFilesOrLeaveThemInPlace) {
    struct stat shm {};
    struct stat tmp {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(state.path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    const std::string diskTrash = "/dev/shm/.Trash-" + std::to_string(::getuid());
    const std::string homeTrash = state / ".local/share/Trash";
    const bool diskTrashWasThere = exists(diskTrash);
    // The game's disk, and what keeps its trash from taking anything: a file where the disk's
    // trash would be made, or where the home trash keeps its information files ("" for none).
    const std::pair<bool, std::string> cases[] = {
        {true, diskTrash}, {true, ""}, {false, homeTrash + "/info"}, {false, ""}};
    const std::string replaced = "Interface/AddOns/Zweite Platte/Ersetzt.lua";
    const std::string created = "Interface/AddOns/Zweite Platte/Neu.lua";
    const std::string stray = "Interface/AddOns/Übrig/Übrig.lua";
    TestServer server;
    server.addFile("1 Standard", replaced, "new");
    server.addFile("1 Standard", created, "created");
    for (const auto& [secondDisk, refusing] : cases) {
        if (refusing == diskTrash && diskTrashWasThere)
            continue; // a trash of the user's own is never touched
        ::setenv("TMPDIR", secondDisk ? "/dev/shm" : state.path().c_str(), 1);
        TempDir disk("pelvar-disk");
        ::unsetenv("TMPDIR");
        CurrentDirectory there(disk.path());
        writeFile(replaced, "old");
        writeFile(stray, "stray");
        if (!refusing.empty()) {
            std::filesystem::remove_all(refusing);
            writeFile(refusing, "not a directory");
        }
        const std::string trash = secondDisk ? diskTrash : homeTrash;
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(run());
        std::optional<std::string> passEnd = job.fatalMessage();
        std::vector<std::string> passReport = report;
        ASSERT_TRUE(rollBack(false));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(readFile(stray), "stray");
        EXPECT_EQ(readFile(replaced), "old");
        if (!refusing.empty()) {
            EXPECT_EQ(passReport.back(), "ERROR: couldn't clean " + display(stray));
            EXPECT_TRUE(passEnd.value_or("").starts_with(
                "Couldn't clean: no trash can take the files (" + refusing))
                << passEnd.value_or("");
            EXPECT_FALSE(exists(cleanedDirectory));
            ASSERT_EQ(report.size(), 3u);
            EXPECT_TRUE(report[1].starts_with("Error: couldn't remove " + display(created) + " ("))
                << report[1];
            EXPECT_TRUE(report[2].starts_with("The rollback is not finished")) << report[2];
            EXPECT_EQ(readFile(created), "created");
            std::filesystem::remove(refusing);
            ASSERT_TRUE(rollBack(false)); // the cause is gone: the rollback is finished
        } else {
            EXPECT_EQ(passReport.back(),
                      "The cleaned files are in the trash: " + trash + "/files/Pelvar_Cleaned");
            EXPECT_EQ(report, (std::vector<std::string>{"Restored: " + display(replaced),
                                                        "Removed: " + display(created),
                                                        "Recovered: " + display(stray)}));
            EXPECT_FALSE(exists(trash + "/files/Pelvar_Cleaned")) << "recovered whole";
            EXPECT_FALSE(exists(trash + "/info/Pelvar_Cleaned.trashinfo"));
            // A second disk's trash names its files from the disk's top, as it may be mounted
            // elsewhere.
            EXPECT_NE(readFile(trash + "/info/Neu.lua.trashinfo")
                          .find("\nPath=" + (secondDisk ? disk.path().substr(9) : disk.path()) +
                                "/Interface/AddOns/Zweite%20Platte/Neu.lua\n"),
                      std::string::npos);
        }
        EXPECT_FALSE(exists(created));
        EXPECT_EQ(readFile(trash + "/files/Neu.lua"), "created");
        std::filesystem::remove(trash + "/files/Neu.lua");
        std::filesystem::remove(trash + "/info/Neu.lua.trashinfo");
    }
    if (!diskTrashWasThere)
        std::filesystem::remove_all(diskTrash);
}

// Two installations share the settings store: a file made current in one is still checked in the
// other, and a rollback in one leaves the other's digests alone.
TEST_F(PatchRunTest, EveryGameDirectoryHasItsOwnDigests) {
    TestServer server;
    const std::string path = "Interface/AddOns/Gemeinsam/Gemeinsam.lua";
    server.addFile("1 Standard", path, "new");
    TempDir second("pelvar-second-game");
    for (const std::string& directory : {game.path(), second.path()}) {
        CurrentDirectory there(directory);
        writeFile(path, "old");
        ASSERT_TRUE(run());
        EXPECT_EQ(readFile(path), "new") << directory;
    }
    {
        CurrentDirectory there(second.path());
        ASSERT_TRUE(pass([](WorkerJob& worker) { runRollback(worker, false); }));
        EXPECT_EQ(readFile(path), "old");
    }
    EXPECT_EQ(settings.key.readDigests(currentGameDirectory()),
              (std::vector<std::pair<std::string, std::string>>{{path, md5Of("new")}}));
}

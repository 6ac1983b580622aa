#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "tests/support/game_test.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"
#include "uploader/harvest.h"
#include "uploader/upload_pass.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace {

// A saved table of exactly `length` bytes, start and end line included.
std::string table(std::size_t length) {
    std::string head = "Mirelgan_Data = {\n", tail = "}\n";
    std::string body =
        "  [\"x\"] = \"" + std::string(length - head.size() - tail.size() - 14, 'x') + "\",\n";
    return head + body + tail;
}

std::string bytes(std::size_t count, char seed) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<char>(seed + i * 13);
    return data;
}

// Bytes that do not compress and hold no line of their own.
std::string noise(std::size_t count) {
    std::string data(count, '\0');
    std::uint32_t state = 12345;
    for (char& c : data) {
        do {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        } while (c == '\n' || c == '}');
    }
    return data;
}

// A harvest followed by the commit that a whole upload makes.
class HarvestTest : public GameTest {
protected:
    std::string harvest(std::size_t capacity = 1 << 20) {
        std::string harvested;
        EXPECT_TRUE(pass([&](WorkerJob& worker) {
            std::vector<char> area(capacity);
            Harvest found = harvestSavedVariables(worker, area);
            harvested.assign(area.data(), found.length());
            found.commit(worker);
        }));
        return harvested;
    }
};

} // namespace

TEST_F(HarvestTest, TakesTheTableOutAndKeepsEverythingElse) {
    std::string saved = "Before = 1\r\nMirelgan_Data = {\r\n  [1] = 2,\r\n}\r\nAfter = {\r\n}\r\n";
    writeFile("WTF/Account/ACC/SavedVariables.lua", saved);
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\r\n  [1] = 2,\r\n}\r\n");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"), "Before = 1\r\nAfter = {\r\n}\r\n");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua.old"), saved);
    EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.new"));
}

TEST_F(HarvestTest, OneAccountPerPassInListingOrder) {
    writeFile("WTF/Account/beta/SavedVariables.lua", "Mirelgan_Data = {\nb\n}\n");
    writeFile("WTF/Account/ALPHA/SavedVariables.lua", "Mirelgan_Data = {\na\n}\n");
    writeFile("WTF/Account/A1.nopatch/SavedVariables.lua", "Mirelgan_Data = {\nn\n}\n");
    writeFile("WTF/Account/0empty/SavedVariables.lua", "Other = 1\n");
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\na\n}\n");
    EXPECT_EQ(readFile("WTF/Account/0empty/SavedVariables.lua"), "Other = 1\n");
    EXPECT_FALSE(exists("WTF/Account/0empty/SavedVariables.lua.old")) << "left as it was";
    EXPECT_FALSE(exists("WTF/Account/0empty/SavedVariables.lua.new"));
    EXPECT_TRUE(exists("WTF/Account/beta/SavedVariables.lua")) << "waits for the next pass";
    EXPECT_FALSE(exists("WTF/Account/beta/SavedVariables.lua.old"));
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\nb\n}\n");
    EXPECT_EQ(harvest(), "");
    EXPECT_EQ(readFile("WTF/Account/A1.nopatch/SavedVariables.lua"), "Mirelgan_Data = {\nn\n}\n");
}

TEST_F(HarvestTest, StartLinesMustBeginTheLineAndEveryTableIsTaken) {
    writeFile("WTF/Account/ACC/SavedVariables.lua",
              "  Mirelgan_Data = {\n}\nMirelgan_Data = {}\nx\n}\ny\nMirelgan_Data = {\n2\n}\nz\n"
              "Mirelgan_Data = {[1]=2} \r\nw\n}\n");
    EXPECT_EQ(harvest(),
              "Mirelgan_Data = {}\nMirelgan_Data = {\n2\n}\nMirelgan_Data = {[1]=2} \r\n")
        << "a start line that closes the table is the whole table";
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"),
              "  Mirelgan_Data = {\n}\nx\n}\ny\nz\nw\n}\n");
}

TEST_F(HarvestTest, SavedVariablesInWtfComesThroughDotDotFirst) {
    writeFile("WTF/SavedVariables.lua", "Mirelgan_Data = {\nw\n}\n");
    writeFile("WTF/Account/ACC/SavedVariables.lua", "Mirelgan_Data = {\na\n}\n");
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\nw\n}\n");
    EXPECT_EQ(readFile("WTF/SavedVariables.lua"), "");
}

TEST_F(HarvestTest, TooBigATableLeavesTheFileUntouchedAndTheNextAccountIsTaken) {
    std::string saved = "A = 1\n" + table(5000) + "B = 2\n";
    writeFile("WTF/Account/ACC/SavedVariables.lua", saved);
    writeFile("WTF/Account/BBB/SavedVariables.lua", table(100));
    EXPECT_EQ(harvest(4999), table(100));
    EXPECT_EQ(job.copyStatus(), "Zeppelin overloaded: the Mirelgan data in "
                                "WTF\\Account\\ACC\\SavedVariables.lua is too big to upload");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"), saved);
    EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.new"));
    EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.old"));
}

TEST_F(HarvestTest, LongLinesAreTakenInPiecesWithNulBytes) {
    std::string longLine = "  \"" + std::string(70000, 'q') + std::string("\0\0", 2) + "\"\n";
    std::string saved = "Mirelgan_Data = {\n" + longLine + "}\nafter\n";
    writeFile("WTF/Account/ACC/SavedVariables.lua", saved);
    EXPECT_TRUE(harvest() == "Mirelgan_Data = {\n" + longLine + "}\n");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"), "after\n");
}

// A directory named like the file, and a link, are passed over; the link is told of and stays.
TEST_F(HarvestTest, DirectoryOrLinkNamedLikeTheFileIsPassedOver) {
    makeDirectories("WTF/Account/AAA/SavedVariables.lua");
    writeFile("WTF/Account/Geteilt/Gemeinsame SavedVariables.lua", "Mirelgan_Data = {\na\n}\n");
    ASSERT_EQ(::symlink("Gemeinsame SavedVariables.lua", "WTF/Account/Geteilt/SavedVariables.lua"),
              0);
    writeFile("WTF/Account/ZZZ/SavedVariables.lua", "Mirelgan_Data = {\nb\n}\n");
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\nb\n}\n");
    std::vector<std::string> posted = job.takeStatusLines().lines;
    EXPECT_NE(std::find(posted.begin(), posted.end(),
                        "WTF\\Account\\Geteilt\\SavedVariables.lua is a symbolic link: its "
                        "Mirelgan data stays in it and is not uploaded"),
              posted.end());
    EXPECT_EQ(readFile("WTF/Account/Geteilt/Gemeinsame SavedVariables.lua"),
              "Mirelgan_Data = {\na\n}\n");
}

TEST_F(HarvestTest, OldCopyThatCannotBeRemovedEndsThePass) {
    writeFile("WTF/Account/ACC/SavedVariables.lua", "Mirelgan_Data = {\n}\n");
    makeDirectories("WTF/Account/ACC/SavedVariables.lua.old");
    harvest();
    EXPECT_EQ(job.copyStatus(), "Can't remove WTF/Account/ACC/SavedVariables.lua.old");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"), "Mirelgan_Data = {\n}\n");
    EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.new"));
}

namespace {

class UploadTest : public GameTest {
protected:
    TestServer server;
    std::vector<std::string> statuses;

    UploadTest() {
        settings.distListPending = 0;
        settings.distribution = 0;
        settings.serverWdbVersion = 4;
        {
            std::lock_guard guard(settings.credentialsLock);
            settings.Username = "anonymous";
        }
    }
    // A time-out shortens the waits for a server that never answers.
    void upload(std::optional<std::chrono::milliseconds> ioTimeout = {}) {
        ASSERT_TRUE(pass([&](WorkerJob& worker) {
            if (ioTimeout)
                worker.connection.ioTimeout = *ioTimeout;
            // No request follows: the server's orderly close confirms the upload.
            if (std::optional<SentUpload> sent = uploadPass(worker);
                sent && awaitOrderlyClose(worker.connection))
                sent->confirm(worker);
            worker.close();
        }));
    }
    // What an earlier upload recorded: the cache format's version and the item cache's offset.
    void recorded(int version, long itemOffset) {
        settings.writeString("wdbVersion", std::to_string(version));
        settings.writeString("wdbItems", std::to_string(itemOffset));
    }
};

} // namespace

TEST_F(UploadTest, EightyBytesAreNothingToUpload) {
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(80));
    writeFile("WDB/itemcache.wdb", bytes(100, 1));
    upload();
    EXPECT_EQ(job.copyStatus(), "Nothing to upload!");
    EXPECT_EQ(settings.readString("wdbitems"), "");
    EXPECT_EQ(settings.readString("wdbVersion"), "");
    EXPECT_TRUE(server.uploads().empty());
    EXPECT_EQ(settings.bytesUploaded, 0);
}

TEST_F(UploadTest, CachesAreRecordedFirstAndSentAfterwards) {
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(81));
    writeFile("WDB/itemcache.wdb", bytes(1000, 1));
    writeFile("WDB/questcache.wdb", bytes(500, 2));
    upload();
    ASSERT_EQ(server.uploads().size(), 1u);
    EXPECT_EQ(server.uploads()[0], "Mirelgan_Data 81\n" + table(81));
    EXPECT_EQ(settings.readString("wdbItems"), "1000");
    EXPECT_EQ(settings.readString("wdbQuests"), "500");
    EXPECT_EQ(settings.readString("wdbVersion"), "4");
    EXPECT_GT(settings.bytesUploaded, 0);

    // The next pass of the same run, a new table, and both caches grown by 100 bytes: it starts
    // from what the first pass recorded.
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(90));
    writeFile("WDB/itemcache.wdb", bytes(1000, 1) + bytes(100, 3));
    writeFile("WDB/questcache.wdb", bytes(500, 2) + bytes(100, 4));
    testing::internal::CaptureStdout();
    upload();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(server.uploads().size(), 2u);
    EXPECT_TRUE(server.uploads()[1] == "Mirelgan_Data 90\n" + table(90) + "itemcache.wdb 100\n" +
                                           bytes(100, 3) + "questcache.wdb 100\n" + bytes(100, 4));
    EXPECT_EQ(settings.readString("wdbitems"), "1100");
    EXPECT_EQ(out, "reading wdbitems\nreading wdbquests\n");
}

TEST_F(UploadTest, VersionChangeOnlyRecordsAndAShorterCacheMovesTheOffsetBack) {
    recorded(3, 10);
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    writeFile("WDB/itemcache.wdb", bytes(50, 1));
    upload();
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), "50");
    EXPECT_EQ(settings.readString("wdbVersion"), "4");

    recorded(4, 80);
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    upload();
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), "50");
}

TEST_F(UploadTest, CacheBytesThatDoNotFitAreSkippedForGood) {
    recorded(4, 1);
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    writeFile("WDB/itemcache.wdb", bytes((1 << 20) - 100, 1));
    testing::internal::CaptureStdout();
    upload();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("skipping itemcache.wdb, not enough room in zeppelin\n"), std::string::npos);
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), std::to_string((1 << 20) - 100));
}

TEST_F(UploadTest, DirectoryInThePlaceOfACacheIsSkipped) {
    recorded(4, 10);
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    makeDirectories("WDB/itemcache.wdb");
    upload();
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), "10") << "its offset stays as it was";
}

// The table leaves its file only with an upload that went out whole; every other ending leaves
// the file byte for byte as it was and the caches' offsets where they were, so a later pass
// offers the same bytes again.
TEST_F(UploadTest, EveryEndingButAWholeUploadLeavesTheFileAsItWas) {
    struct Ending {
        const char* name;
        std::string saved;
        std::function<void()> setUp;
        const char* status;
    } endings[] = {
        {"cancelled login", "A = 1\n" + table(100),
         [&] {
             std::lock_guard guard(settings.credentialsLock);
             settings.Username.clear();
             window.onLogin = [&] { settings.uploadEnabled = 0; };
         },
         "Skipping Mirelgan Upload"},
        {"bad version", table(100), [&] { settings.serverWdbVersion = 0; }, "Bad version?"},
        {"too much gas", "Mirelgan_Data = {\n" + noise((1 << 20) - 100) + "\n}\n", [] {},
         "Error filling Zeppelin with gas: too much gas."},
    };
    writeFile("WDB/itemcache.wdb", bytes(60, 1));
    for (const Ending& ending : endings) {
        settings.serverWdbVersion = 4;
        recorded(4, 10);
        writeFile("WTF/Account/ACC/SavedVariables.lua", ending.saved);
        ending.setUp();
        upload();
        EXPECT_EQ(job.copyStatus(), ending.status) << ending.name;
        EXPECT_TRUE(readFile("WTF/Account/ACC/SavedVariables.lua") == ending.saved) << ending.name;
        EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.new")) << ending.name;
        EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.old")) << ending.name;
        EXPECT_EQ(settings.bytesUploaded, 0) << ending.name;
        EXPECT_EQ(settings.readString("wdbItems"), "10") << ending.name;
        EXPECT_EQ(settings.readString("wdbVersion"), "4") << ending.name;
    }
    EXPECT_TRUE(server.uploads().empty());
}

TEST_F(UploadTest, WholeUploadTakesTheTableOutAndSmallTablesWaitInTheirFiles) {
    writeFile("WTF/Account/AAA/SavedVariables.lua", "X = 1\n" + table(80));
    writeFile("WTF/Account/BBB/SavedVariables.lua", "Y = 2\n" + table(100));
    upload();
    ASSERT_EQ(server.uploads().size(), 1u);
    EXPECT_EQ(server.uploads()[0], "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(readFile("WTF/Account/AAA/SavedVariables.lua"), "X = 1\n" + table(80));
    EXPECT_EQ(readFile("WTF/Account/BBB/SavedVariables.lua"), "Y = 2\n");
    EXPECT_EQ(readFile("WTF/Account/BBB/SavedVariables.lua.old"), "Y = 2\n" + table(100));
}

// A server that dies after its login reply, before or while the upload arrives, resets what it
// never read: the reset meets a send, or, when our socket buffers took the whole upload, the wait
// for the server's close. One that ends its side of the stream and reads no more leaves the
// upload unacknowledged behind its full buffer.
TEST_F(UploadTest, UploadCutShortLeavesTheTable) {
    const std::string saved = "Mirelgan_Data = {\n" + noise(900000) + "\n}\n";
    const struct {
        const char* name;
        std::function<void(ScriptedPeer&)> afterLogin;
    } endings[] = {
        {"dies", [](ScriptedPeer& peer) { peer.vanish(); }},
        {"ends its side and reads no more", [](ScriptedPeer& peer) { peer.endSending(); }},
    };
    for (const auto& ending : endings) {
        ScriptedPeer peer;
        peer.expect("L\nanonymous\n\n").send("OK\n");
        ending.afterLogin(peer);
        peer.start();
        ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
        writeFile("WTF/Account/ACC/SavedVariables.lua", saved);
        upload(std::chrono::milliseconds(500));
        EXPECT_TRUE(peer.finish()) << ending.name << peer.mismatch();
        std::string status = job.copyStatus();
        EXPECT_TRUE(status == "Upload failed!" ||
                    status == "Uploading Mirelgan Data (900323 bytes)")
            << ending.name << ": " << status;
        EXPECT_TRUE(readFile("WTF/Account/ACC/SavedVariables.lua") == saved) << ending.name;
        EXPECT_FALSE(exists("WTF/Account/ACC/SavedVariables.lua.new")) << ending.name;
        EXPECT_EQ(settings.bytesUploaded, 0) << ending.name;
    }
}

TEST_F(UploadTest, RefusedLoginAsksAgainOnTheSameConnection) {
    writeFile(server.root() + "/accounts", "thrall\nhorde\n");
    {
        std::lock_guard guard(settings.credentialsLock);
        settings.Username = "thrall";
        settings.Password = "wrong";
    }
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    int asked = 0;
    window.onLogin = [&] {
        ++asked;
        std::lock_guard guard(settings.credentialsLock);
        settings.Password = "horde";
    };
    upload();
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(server.uploadNames().size(), 1u);
    EXPECT_EQ(server.uploadNames()[0], "000001-thrall.zeppelin");
}

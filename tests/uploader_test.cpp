#include "app/job/worker_job.h"
#include "tests/support/game_test.h"
#include "tests/support/test_server.h"
#include "uploader/harvest.h"
#include "uploader/upload_pass.h"

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

class HarvestTest : public GameTest {
protected:
    std::string harvest(std::size_t capacity = 1 << 20) {
        std::string harvested;
        EXPECT_TRUE(pass([&](WorkerJob& worker) {
            std::vector<char> area(capacity);
            std::size_t length = harvestSavedVariables(worker, area);
            harvested.assign(area.data(), length);
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
    EXPECT_EQ(readFile("WTF/Account/0empty/SavedVariables.lua.old"), "Other = 1\n")
        << "a file without a table is still rewritten, identical";
    EXPECT_TRUE(exists("WTF/Account/beta/SavedVariables.lua")) << "waits for the next pass";
    EXPECT_FALSE(exists("WTF/Account/beta/SavedVariables.lua.old"));
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\nb\n}\n");
    EXPECT_EQ(harvest(), "");
    EXPECT_EQ(readFile("WTF/Account/A1.nopatch/SavedVariables.lua"), "Mirelgan_Data = {\nn\n}\n");
}

TEST_F(HarvestTest, StartLinesMustBeginTheLineAndEveryTableIsTaken) {
    writeFile("WTF/Account/ACC/SavedVariables.lua",
              "  Mirelgan_Data = {\n}\nMirelgan_Data = {}\nx\n}\ny\nMirelgan_Data = {\n2\n}\nz\n");
    EXPECT_EQ(harvest(), "Mirelgan_Data = {}\nx\n}\nMirelgan_Data = {\n2\n}\n");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"), "  Mirelgan_Data = {\n}\ny\nz\n");
}

TEST_F(HarvestTest, SavedVariablesInWtfComesThroughDotDotFirst) {
    writeFile("WTF/SavedVariables.lua", "Mirelgan_Data = {\nw\n}\n");
    writeFile("WTF/Account/ACC/SavedVariables.lua", "Mirelgan_Data = {\na\n}\n");
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\nw\n}\n");
    EXPECT_EQ(readFile("WTF/SavedVariables.lua"), "");
}

TEST_F(HarvestTest, TooBigATableLeavesTheFileUntouched) {
    std::string saved = "A = 1\n" + table(5000) + "B = 2\n";
    writeFile("WTF/Account/ACC/SavedVariables.lua", saved);
    EXPECT_EQ(harvest(4999), "");
    EXPECT_EQ(job.copyStatus(),
              "Zeppelin overloaded: the Mirelgan data in WTF\\Account\\ACC\\SavedVariables.lua is "
              "too big to upload");
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

TEST_F(HarvestTest, DirectoryNamedLikeTheFileIsPassedOver) {
    makeDirectories("WTF/Account/AAA/SavedVariables.lua");
    writeFile("WTF/Account/BBB/SavedVariables.lua", "Mirelgan_Data = {\nb\n}\n");
    EXPECT_EQ(harvest(), "Mirelgan_Data = {\nb\n}\n");
}

TEST_F(HarvestTest, OldCopyThatCannotBeRemovedEndsThePass) {
    writeFile("WTF/Account/ACC/SavedVariables.lua", "Mirelgan_Data = {\n}\n");
    makeDirectories("WTF/Account/ACC/SavedVariables.lua.old");
    harvest();
    EXPECT_EQ(job.copyStatus(), "Can't remove WTF/Account/ACC/SavedVariables.lua.old");
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
    void upload() {
        ASSERT_TRUE(pass([&](WorkerJob& worker) {
            uploadPass(worker);
            worker.close();
        }));
    }
    void reload() {
        // What the next start of the program loads.
        Settings fresh(state / "settings.db");
        settings.itemCacheOffset = fresh.itemCacheOffset;
        settings.questCacheOffset = fresh.questCacheOffset;
        settings.storedWdbVersion = fresh.storedWdbVersion;
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

    // The next start, a new table, and both caches grown by 100 bytes.
    reload();
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
    settings.storedWdbVersion = 3;
    settings.itemCacheOffset = 10;
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    writeFile("WDB/itemcache.wdb", bytes(50, 1));
    upload();
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), "50");
    EXPECT_EQ(settings.readString("wdbVersion"), "4");

    settings.storedWdbVersion = 4;
    settings.itemCacheOffset = 80;
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    upload();
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), "50");
}

TEST_F(UploadTest, CacheBytesThatDoNotFitAreSkippedForGood) {
    settings.storedWdbVersion = 4;
    settings.itemCacheOffset = 1;
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
    settings.storedWdbVersion = 4;
    settings.itemCacheOffset = 10;
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    makeDirectories("WDB/itemcache.wdb");
    upload();
    EXPECT_EQ(server.uploads().back(), "Mirelgan_Data 100\n" + table(100));
    EXPECT_EQ(settings.readString("wdbitems"), "") << "its offset stays as it was";
}

TEST_F(UploadTest, NoVersionFromTheServerIsABadVersion) {
    settings.serverWdbVersion = 0;
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    upload();
    EXPECT_EQ(job.copyStatus(), "Bad version?");
    EXPECT_TRUE(exists("WTF/Account/ACC/SavedVariables.lua.old"));
}

TEST_F(UploadTest, EmptyUserNameAsksAtOnceAndCancelSkipsTheUpload) {
    {
        std::lock_guard guard(settings.credentialsLock);
        settings.Username.clear();
    }
    writeFile("WTF/Account/ACC/SavedVariables.lua", table(100));
    std::vector<std::string> logWhenAsked;
    window.onLogin = [&] {
        logWhenAsked = server.log(false);
        settings.uploadEnabled = 0; // as Cancel does
    };
    upload();
    for (const std::string& line : logWhenAsked)
        EXPECT_EQ(line.find(" L "), std::string::npos) << "no login was sent: " << line;
    EXPECT_EQ(job.copyStatus(), "Skipping Mirelgan Upload");
    EXPECT_TRUE(server.uploads().empty());
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua"), "");
    EXPECT_EQ(readFile("WTF/Account/ACC/SavedVariables.lua.old"), table(100));
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

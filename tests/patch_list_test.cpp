#include "app/job/worker_job.h"
#include "patcher/digest_cache.h"
#include "patcher/md5.h"
#include "patcher/patch_list.h"
#include "tests/support/game_test.h"
#include "tests/support/helpers.h"
#include "tests/support/scripted_peer.h"

namespace {

class CheckFilesTest : public GameTest {
protected:
    DownloadList check(const std::vector<std::string>& lines) {
        DownloadList list;
        EXPECT_TRUE(pass([&](WorkerJob& worker) {
            list = checkFiles(worker, lines);
            bytesTotal = worker.bytesTotal;
            fileSet = worker.distributionFileSet;
        }));
        return list;
    }
    std::vector<std::string> paths(const DownloadList& list) {
        std::vector<std::string> names;
        for (const auto& entry : list)
            names.push_back(entry.path);
        return names;
    }
    std::int64_t bytesTotal = -1;
    DistributionFileSet fileSet;
};

} // namespace

TEST_F(CheckFilesTest, RulesApplyInOrder) {
    writeFile("Interface/Marked.lua", "mine");
    writeFile("Interface/Marked.lua.nopatch", "");
    writeFile("Interface/MarkedMissing.lua.nopatch", "");
    writeFile("Interface/Cached.lua", "changed on disk since");
    settings.writeString("Interface/Cached.lua", md5Of("cached"));
    writeFile("Interface/Current.lua", "current");
    writeFile("Interface/Stale.lua", "stale");
    settings.writeString("Interface/Stale.lua", md5Of("whatever was there"));
    writeFile("Interface/Upper.lua", "upper");

    testing::internal::CaptureStdout();
    DownloadList list =
        check({"Interface/Marked.lua",        "10 5", md5Of("new"),
               "Interface/MarkedMissing.lua", "10 6", md5Of("new"),
               "Interface/Missing.lua",       "10 7", md5Of("x"),
               "Interface/Cached.lua",        "10 8", md5Of("cached"),
               "Interface/Current.lua",       "7 9",  md5Of("current"),
               "Interface/Stale.lua",         "5 10", md5Of("stale!"),
               "Interface/Upper.lua",         "5 11", "10516E72B9FEE1E97E0D2E6AFC22DB3B"});
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(paths(list), (std::vector<std::string>{"Interface/Missing.lua", "Interface/Stale.lua",
                                                     "Interface/Upper.lua"}));
    EXPECT_EQ(list[0].size, 10);
    EXPECT_EQ(list[0].packedSize, 7);
    EXPECT_EQ(bytesTotal, 7 + 10 + 11);
    EXPECT_EQ(settings.readString("Interface/Current.lua"), md5Of("current"));
    EXPECT_EQ(settings.readString("Interface/Cached.lua"), md5Of("cached")) << "not opened";
    EXPECT_EQ(settings.readString("Interface/Stale.lua"), "") << "a stale value is deleted";
    EXPECT_EQ(settings.readString("Interface/Missing.lua"), "") << "fetched files are not cached";
    EXPECT_NE(out.find("MD5 mismatch, patching Interface/Stale.lua\n"), std::string::npos);
    EXPECT_NE(out.find("MD5 mismatch, patching Interface/Upper.lua\n"), std::string::npos);
    EXPECT_TRUE(settings.reportLines.empty()) << "markers are reported only in a complete check";
    EXPECT_EQ(fileSet.size(), 21u);
    EXPECT_TRUE(fileSet.count("Interface/Marked.lua.nopatch"));
    EXPECT_TRUE(fileSet.count("Interface/Upper.lua.prepatch"));
}

TEST_F(CheckFilesTest, CompleteCheckRehashesAndReportsMarkers) {
    writeFile("Interface/Cached.lua", "changed on disk since");
    settings.writeString("Interface/Cached.lua", md5Of("cached"));
    writeFile("Interface/Good.lua", "good");
    settings.writeString("INTERFACE/good.lua", md5Of("good"));
    writeFile("Interface/Marked.lua.nopatch", "");
    settings.completeCheck = 1;
    DownloadList list = check({"Interface/Cached.lua", "6 3", md5Of("cached"), "Interface/Good.lua",
                               "4 2", md5Of("good"), "Interface/Marked.lua", "1 1", md5Of("m")});
    EXPECT_EQ(paths(list), std::vector<std::string>{"Interface/Cached.lua"});
    EXPECT_EQ(settings.readString("Interface/Cached.lua"), "");
    EXPECT_EQ(settings.readString("Interface/Good.lua"), md5Of("good"));
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{"Skipping Interface/Marked.lua (.nopatch)",
                                        "File Check Complete."}));
}

TEST_F(CheckFilesTest, DirectoryInThePlaceOfAFileIsFetched) {
    makeDirectories("Interface/Odd.lua");
    DownloadList list = check({"Interface/Odd.lua", "0 8", "d41d8cd98f00b204e9800998ecf8427e"});
    EXPECT_EQ(paths(list), std::vector<std::string>{"Interface/Odd.lua"});
}

TEST_F(CheckFilesTest, MalformedListsEndThePass) {
    std::vector<std::vector<std::string>> corrupt = {
        {"a", "1 1", "d", "b"},
        {"../escape.txt", "1 1", "d"},
        {"Interface/../../escape.txt", "1 1", "d"},
        {"Interface/..", "1 1", "d"},
        {"/etc/passwd", "1 1", "d"},
        {"C:/Windows/evil.dll", "1 1", "d"},
        {"c:evil.dll", "1 1", "d"},
        {"", "1 1", "d"},
        {std::string("a\0b", 3), "1 1", "d"},
        {"a", "1", "d"},
        {"a", "1 x", "d"},
        {"a", "-1 1", "d"},
        {"a", "1 1 1", "d"},
        {"a", "1073741825 1", "d"},
        {"a", "1 99999999999999999999", "d"},
        {"a", "11", "d"},
    };
    for (const auto& lines : corrupt) {
        window.statusLines.clear();
        check(lines);
        EXPECT_EQ(job.copyStatus(), "Corrupt patch info, aborting") << lines[0] << "|" << lines[1];
    }
    DownloadList list = check({"a..b/..c", "1073741824 0", "d", "x", " 3\t4 ", "d"});
    EXPECT_EQ(paths(list), (std::vector<std::string>{"a..b/..c", "x"}));
    EXPECT_EQ(list[1].size, 3);
    EXPECT_EQ(list[1].packedSize, 4);
}

TEST_F(CheckFilesTest, PatchListOverTheLimitEndsThePass) {
    ScriptedPeer peer;
    std::string reply = std::string(100001 - 3, 'x') + "\nD\n";
    peer.expect("P 4\n").send(reply).readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    bool returned = false;
    ASSERT_TRUE(pass([&](WorkerJob& worker) {
        worker.connect();
        readPatchList(worker, 4);
        returned = true;
    }));
    EXPECT_FALSE(returned);
    EXPECT_EQ(job.copyStatus(), "Patch list is WAY too long");
}

TEST_F(CheckFilesTest, BackslashAndSlashNameTheSameFile) {
    ScriptedPeer peer;
    peer.expect("P 4\n")
        .send("Interface\\FrameXML\\A.lua\n1 2\nd\nInterface/FrameXML/B.lua\n3 4\ne\nD\n")
        .readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    std::vector<std::string> lines;
    ASSERT_TRUE(pass([&](WorkerJob& worker) {
        worker.connect();
        lines = readPatchList(worker, 4);
    }));
    EXPECT_EQ(lines, (std::vector<std::string>{"Interface/FrameXML/A.lua", "1 2", "d",
                                               "Interface/FrameXML/B.lua", "3 4", "e"}));
}

TEST_F(CheckFilesTest, DigestCacheAnswersFromMemoryAndWritesInBatches) {
    settings.writeString("Interface/Old.lua", "aaaa");
    settings.writeString("Interface/Long.lua", std::string(256, 'f'));
    {
        DigestCache cache(settings);
        EXPECT_EQ(cache.read("interface/old.LUA"), "aaaa");
        EXPECT_EQ(cache.read("Interface/Long.lua"), "") << "256 bytes read as missing";
        cache.store("Interface/New.lua", "bbbb");
        cache.remove("Interface/Old.lua");
        EXPECT_EQ(cache.read("INTERFACE/NEW.LUA"), "bbbb");
        EXPECT_EQ(cache.read("Interface/Old.lua"), "");
        EXPECT_EQ(settings.readString("Interface/New.lua"), "") << "not written yet";
    }
    EXPECT_EQ(settings.readString("Interface/New.lua"), "bbbb");
    EXPECT_EQ(settings.readString("Interface/Old.lua"), "");
    {
        DigestCache cache(settings);
        cache.remove("Interface/New.lua");
        cache.store("Interface/New.lua", "cccc");
        cache.flush();
        EXPECT_EQ(settings.readString("interface/new.lua"), "cccc");
    }
}

#include "base/fs.h"
#include "base/md5.h"
#include "harness/content.h"
#include "job_channel/worker_job.h"
#include "patcher/digest_cache.h"
#include "patcher/patch_list.h"
#include "tests/support/game_test.h"
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
    void cacheDigest(const std::string& path, const std::string& digest) {
        settings.key.applyDigests(currentGameDirectory(), {{path, digest}});
    }
    std::string cachedDigest(const std::string& path) {
        for (const auto& [name, digest] : settings.key.readDigests(currentGameDirectory()))
            if (name == path)
                return digest;
        return {};
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
    cacheDigest("Interface/Cached.lua", md5Of("cached"));
    writeFile("Interface/Current.lua", "current");
    writeFile("Interface/Stale.lua", "stale");
    cacheDigest("Interface/Stale.lua", md5Of("whatever was there"));
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
    EXPECT_EQ(cachedDigest("Interface/Current.lua"), md5Of("current"));
    EXPECT_EQ(cachedDigest("Interface/Cached.lua"), md5Of("cached")) << "not opened";
    EXPECT_EQ(cachedDigest("Interface/Stale.lua"), "") << "a stale value is deleted";
    EXPECT_EQ(cachedDigest("Interface/Missing.lua"), "") << "fetched files are not cached";
    EXPECT_NE(out.find("MD5 mismatch, patching Interface/Stale.lua\n"), std::string::npos);
    EXPECT_NE(out.find("MD5 mismatch, patching Interface/Upper.lua\n"), std::string::npos);
    EXPECT_TRUE(settings.reportLines.empty()) << "markers are reported only in a complete check";
    EXPECT_EQ(fileSet.size(), 21u);
    EXPECT_TRUE(fileSet.count("Interface/Marked.lua.nopatch"));
    EXPECT_TRUE(fileSet.count("Interface/Upper.lua.prepatch"));
}

TEST_F(CheckFilesTest, CompleteCheckRehashesAndReportsMarkers) {
    writeFile("Interface/Cached.lua", "changed on disk since");
    cacheDigest("Interface/Cached.lua", md5Of("cached"));
    writeFile("Interface/Good.lua", "good");
    cacheDigest("Interface/Good.lua", md5Of("good"));
    writeFile("Interface/Marked.lua.nopatch", "");
    settings.completeCheck = 1;
    DownloadList list = check({"Interface/Cached.lua", "6 3", md5Of("cached"), "Interface/Good.lua",
                               "4 2", md5Of("good"), "Interface/Marked.lua", "1 1", md5Of("m")});
    EXPECT_EQ(paths(list), std::vector<std::string>{"Interface/Cached.lua"});
    EXPECT_EQ(cachedDigest("Interface/Cached.lua"), "");
    EXPECT_EQ(cachedDigest("Interface/Good.lua"), md5Of("good"));
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{"Skipping Interface/Marked.lua (.nopatch)",
                                        "File Check Complete."}));
}

TEST_F(CheckFilesTest, DirectoryInThePlaceOfAFileIsFetched) {
    makeDirectories("Interface/Odd.lua");
    DownloadList list = check({"Interface/Odd.lua", "0 8", "d41d8cd98f00b204e9800998ecf8427e"});
    EXPECT_EQ(paths(list), std::vector<std::string>{"Interface/Odd.lua"});
}

TEST_F(CheckFilesTest, MalformedListsEndThePassBeforeAnythingIsWritten) {
    const std::string d = md5Of("d");
    const std::string good = "Interface/AddOns/Bagnon/Bagnon.lua";
    const std::string name = "Interface/AddOns/Auctionator/Auctionator.lua";
    writeFile(good, "d");
    std::vector<std::vector<std::string>> corrupt = {
        {name, "1 1", d, "Interface/AddOns/Clique/Clique.lua"},
        {"../.config/autostart/pelvar.desktop", "1 1", d},
        {"Interface/../../escape.txt", "1 1", d},
        {"Interface/AddOns/..", "1 1", d},
        {"/home/player/.config/autostart/evil.desktop", "1 1", d},
        {"C:/Windows/evil.dll", "1 1", d},
        {"c:Windows/System32/evil.dll", "1 1", d},
        {"", "1 1", d},
        {std::string("Interface/AddOns/Bagnon/Bagnon.lua\0.exe", 39), "1 1", d},
        {"Interface/AddOns//Bagnon.lua", "1 1", d},
        {"./Interface/AddOns/Bagnon/Bagnon.lua", "1 1", d},
        {"Interface/AddOns/./Bagnon.lua", "1 1", d},
        {"Interface/AddOns/Bagnon/", "1 1", d},
        {name, "1", d},
        {name, "1 x", d},
        {name, "-1 1", d},
        {name, "1 1 1", d},
        {name, "1073741825 1", d},
        {name, "1 99999999999999999999", d},
        {name, "11", d},
        {name, "1 1", "d"},
        {name, "1 1", d + "0"},
        {name, "1 1", d.substr(0, 31) + "g"},
        {good, "1 1", d, name, "1 1", d, good, "1 1", d},
        // A file's temporary and backup names belong to it, in whichever order they are listed.
        {"Interface/Größe/Schrift.lua.new", "1 1", d, "Interface/Größe/Schrift.lua", "1 1", d},
        {"Interface/Größe/Schrift.lua", "1 1", d, "Interface/Größe/Schrift.lua.new", "1 1", d},
        {"Interface/Größe/Schrift.lua.prepatch", "1 1", d, "Interface/Größe/Schrift.lua", "1 1", d},
        {"Interface/Größe/Schrift.lua.prepatch.new", "1 1", d, "Interface/Größe/Schrift.lua", "1 1",
         d},
    };
    for (const auto& lines : corrupt) {
        check(lines);
        EXPECT_EQ(job.copyStatus(), "Corrupt patch info, aborting") << lines[0] << "|" << lines[1];
        EXPECT_EQ(cachedDigest(good), "") << "nothing is written before the list is checked";
    }
    const std::string dotted = "Interface/AddOns/Bagnon..Extra/..Optionen.lua";
    const std::string plain = "Interface/AddOns/日本語/設定.lua";
    DownloadList list = check({dotted, "1073741824 0", d, plain, " 3\t4 ", d.substr(0, 31) + "F",
                               plain + ".nopatch", "0 8", d, plain + ".old", "0 8", d});
    EXPECT_EQ(paths(list),
              (std::vector<std::string>{dotted, plain, plain + ".nopatch", plain + ".old"}));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1].size, 3);
    EXPECT_EQ(list[1].packedSize, 4);
}

TEST_F(CheckFilesTest, MarkerOnAnyDirectoryAboveAFileBlocksIt) {
    writeFile("Interface/AddOns/Mine/Mine.lua", "mine");
    writeFile("Interface/AddOns/Mine.nopatch", "");
    writeFile("Schriftarten.nopatch", "");
    settings.completeCheck = 1;
    DownloadList list = check({"Interface/AddOns/Mine/Mine.lua", "1 1", md5Of("x"),
                               "Interface/AddOns/Mine/Sub/New.lua", "1 1", md5Of("x"),
                               "Schriftarten/Eigene/FRIZQT__.TTF", "1 1", md5Of("x"),
                               "Interface/AddOns/Theirs/T.lua", "1 1", md5Of("x")});
    EXPECT_EQ(paths(list), std::vector<std::string>{"Interface/AddOns/Theirs/T.lua"});
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{"Skipping Interface/AddOns/Mine/Mine.lua (.nopatch)",
                                        "Skipping Interface/AddOns/Mine/Sub/New.lua (.nopatch)",
                                        "Skipping Schriftarten/Eigene/FRIZQT__.TTF (.nopatch)",
                                        "File Check Complete."}));
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
        .send("Interface\\FrameXML\\UIParent.lua\n1 2\nd\n"
              "Interface/FrameXML/WorldFrame.lua\n3 4\ne\nD\n")
        .readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    std::vector<std::string> lines;
    ASSERT_TRUE(pass([&](WorkerJob& worker) {
        worker.connect();
        lines = readPatchList(worker, 4);
    }));
    EXPECT_EQ(lines, (std::vector<std::string>{"Interface/FrameXML/UIParent.lua", "1 2", "d",
                                               "Interface/FrameXML/WorldFrame.lua", "3 4", "e"}));
}

TEST_F(CheckFilesTest, DigestCacheKeepsToItsOwnTableAndComparesExactly) {
    // Files whose names are those of settings: their digests never touch a setting.
    settings.writeString("Password", "secret");
    settings.writeString("Distribution", "3");
    writeFile("Password", "p");
    writeFile("distribution", "d");
    check({"Password", "1 1", md5Of("p"), "distribution", "1 1", md5Of("d")});
    EXPECT_EQ(settings.readString("Password"), "secret");
    EXPECT_EQ(settings.readString("Distribution"), "3");
    EXPECT_EQ(cachedDigest("Password"), md5Of("p"));

    cacheDigest("Interface/Old.lua", "aaaa");
    {
        DigestCache cache(settings);
        EXPECT_EQ(cache.read("Interface/Old.lua"), "aaaa");
        EXPECT_EQ(cache.read("interface/old.lua"), "") << "names compare with their case";
        cache.store("Interface/New.lua", "bbbb");
        cache.remove("Interface/Old.lua");
        EXPECT_EQ(cache.read("Interface/New.lua"), "bbbb");
        EXPECT_EQ(cache.read("Interface/Old.lua"), "");
        EXPECT_EQ(cachedDigest("Interface/New.lua"), "") << "not written yet";
    }
    EXPECT_EQ(cachedDigest("Interface/New.lua"), "bbbb");
    EXPECT_EQ(cachedDigest("Interface/Old.lua"), "");
}

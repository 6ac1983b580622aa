#include "base/fs.h"
#include "base/md5.h"
#include "harness/content.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "pass/patch_run.h"
#include "patcher/download.h"
#include "patcher/patch_list.h"
#include "tests/support/game_test.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"

#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <zlib.h>

using namespace std::chrono_literals;

namespace {

class DownloadTest : public GameTest {
protected:
    DownloadTest() {
        settings.distListPending = 0; // the list is not what these tests are about
        settings.distribution = 1;
    }
    // A pass: with nothing to upload, it patches.
    bool patch() { return pass(runPatchPass); }
};

} // namespace

TEST_F(DownloadTest, InstallsNewThenChangedFilesFromSplitReceives) {
    TestServer server;
    server.options()->chunkSize = 1000;
    std::string big = letters(50000, 1);
    server.addFile("1 Standard", "Interface/FrameXML/UIParent.lua", big);
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.toc", "## Title: Foo\n");
    ASSERT_TRUE(patch());
    EXPECT_TRUE(readFile("Interface/FrameXML/UIParent.lua") == big);
    EXPECT_EQ(readFile("Interface/AddOns/Foo/Foo.toc"), "## Title: Foo\n");
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{"New: Interface\\AddOns\\Foo\\Foo.toc",
                                        "New: Interface\\FrameXML\\UIParent.lua"}));
    EXPECT_FALSE(exists("Interface/FrameXML/UIParent.lua.new"));
    EXPECT_FALSE(exists("Interface/FrameXML/UIParent.lua.prepatch"));
    EXPECT_EQ(window.progressValues.back(), 100);

    settings.reportLines.clear();
    std::string changed = letters(30000, 2);
    server.addFile("1 Standard", "Interface/FrameXML/UIParent.lua", changed);
    ASSERT_TRUE(patch());
    EXPECT_TRUE(readFile("Interface/FrameXML/UIParent.lua") == changed);
    EXPECT_TRUE(readFile("Interface/FrameXML/UIParent.lua.prepatch") == big);
    EXPECT_EQ(settings.reportLines,
              std::vector<std::string>{"Changed: Interface\\FrameXML\\UIParent.lua"});

    // A third generation keeps only the one before it.
    settings.reportLines.clear();
    server.addFile("1 Standard", "Interface/FrameXML/UIParent.lua", "third");
    ASSERT_TRUE(patch());
    EXPECT_TRUE(readFile("Interface/FrameXML/UIParent.lua.prepatch") == changed);
}

TEST_F(DownloadTest, PeerClosingEarlyFailsTheDownloadAndLeavesTheOldFile) {
    TestServer server;
    const std::string path = "Interface/AddOns/Bagnon/Bagnon.lua";
    server.addFile("1 Standard", path, letters(20000, 3));
    writeFile(path, "old");
    server.options()->closeAfter = 5000;
    ASSERT_TRUE(patch());
    EXPECT_EQ(job.copyStatus(), "Download failed!");
    EXPECT_EQ(
        settings.reportLines,
        std::vector<std::string>{"Error: couldn't download Interface\\AddOns\\Bagnon\\Bagnon.lua"});
    EXPECT_EQ(readFile(path), "old");
    EXPECT_FALSE(exists(path + ".new")) << "what was not written whole is removed";
    EXPECT_EQ(settings.installErrors, 1);
}

TEST_F(DownloadTest, CorruptStreamEndsWithItsZlibCode) {
    TestServer server;
    const std::string path = "Interface/AddOns/Auctionator/Auctionator.lua";
    server.addFile("1 Standard", path, letters(2000, 4));
    server.options()->corruptPath = path;
    writeFile(path, "old");
    ASSERT_TRUE(patch());
    EXPECT_EQ(job.copyStatus(), "Decompression error: -3");
    EXPECT_EQ(readFile(path), "old");
}

TEST_F(DownloadTest, UncreatableTemporaryFileSkipsItsDataAndTheNextFileStillInstalls) {
    TestServer server;
    server.addFile("1 Standard", "Interface/AddOns/Auctionator/Auctionator.lua", letters(9000, 5));
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", letters(7000, 6));
    makeDirectories("Interface/AddOns/Auctionator/Auctionator.lua.new/blocked");
    ASSERT_TRUE(patch());
    EXPECT_TRUE(readFile("Interface/AddOns/Bagnon/Bagnon.lua") == letters(7000, 6));
    EXPECT_FALSE(exists("Interface/AddOns/Auctionator/Auctionator.lua"));
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{
                  "Error: couldn't create Interface\\AddOns\\Auctionator\\Auctionator.lua",
                  "New: Interface\\AddOns\\Bagnon\\Bagnon.lua"}));
    EXPECT_EQ(settings.installErrors, 1);
}

TEST_F(DownloadTest, AddOnDataFilesAreReportedOnlyInACompleteCheck) {
    TestServer server;
    server.addFile("1 Standard", "interface/addons/MIRELGAN/mdata/Items.lua", "items");
    server.addFile("1 Standard", "Interface/AddOns/Mirelgan/Mirelgan.xml", "<Ui/>");
    ASSERT_TRUE(patch());
    EXPECT_EQ(readFile("interface/addons/MIRELGAN/mdata/Items.lua"), "items");
    EXPECT_TRUE(settings.reportLines.empty());

    server.addFile("1 Standard", "Interface/AddOns/Mirelgan/Mirelgan.xml", "<Ui></Ui>");
    settings.completeCheck = 1;
    ASSERT_TRUE(patch());
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{"Changed: Interface\\AddOns\\Mirelgan\\Mirelgan.xml",
                                        "File Check Complete."}));
    EXPECT_TRUE(isAddonDataFile("Interface/FrameXML/MDataX"));
    EXPECT_FALSE(isAddonDataFile("Interface\\AddOns\\Mirelgan\\MData\\x"));
    EXPECT_FALSE(isAddonDataFile("Interface/FrameXML/Mirelgan.xml.bak"));
}

TEST_F(DownloadTest, InstallFailuresKeepTheUsersFileAndAreReported) {
    TestServer server;
    // Listed, and so installed, in this order.
    const std::string a = "Interface/AddOns/Auctionator/Auctionator.lua";
    const std::string b = "Interface/AddOns/Größere Taschen/Übersicht.lua";
    const std::string c = "Interface/AddOns/日本語/設定.lua";
    server.addFile("1 Standard", a, "new a");
    server.addFile("1 Standard", b, "new b");
    server.addFile("1 Standard", c, "new c");
    writeFile(a, "old a");
    makeDirectories(a + ".prepatch/in-the-way");        // no backup can be made
    writeFile(b + "/Notizen des Spielers.txt", "mine"); // a directory in the file's place
    TempDir outside("pelvar-outside");
    writeFile(outside / "target", "outside");
    makeDirectories("Interface/AddOns/日本語");
    ASSERT_EQ(::symlink((outside / "target").c_str(), (c + ".new").c_str()), 0);
    ASSERT_TRUE(patch());
    EXPECT_EQ(settings.reportLines,
              (std::vector<std::string>{
                  "Error: couldn't rename Interface\\AddOns\\Auctionator\\Auctionator.lua",
                  "Error: couldn't replace directory "
                  "Interface\\AddOns\\Größere Taschen\\Übersicht.lua",
                  "New: Interface\\AddOns\\日本語\\設定.lua"}));
    EXPECT_EQ(settings.installErrors, 2);
    EXPECT_EQ(readFile(a), "old a");
    EXPECT_FALSE(exists(a + ".new")) << "no temporary file stays on a disk that may be full";
    EXPECT_EQ(readFile(b + "/Notizen des Spielers.txt"), "mine");
    EXPECT_FALSE(exists(b + ".new"));
    EXPECT_FALSE(exists(b + ".prepatch"));
    EXPECT_EQ(readFile(c), "new c");
    EXPECT_EQ(readFile(outside / "target"), "outside") << "a planted link is never written through";
    // Only what was verified and installed enters the digest cache.
    EXPECT_EQ(settings.key.readDigests(currentGameDirectory()),
              (std::vector<std::pair<std::string, std::string>>{{c, md5Of("new c")}}));
}

TEST_F(DownloadTest, AnUpdateKeepsTheFilesPermissions) {
    TestServer server;
    const std::string path = "Interface/AddOns/Schreibgeschützt/Nur zum Lesen.lua";
    server.addFile("1 Standard", path, "new content");
    writeFile(path, "old content");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_TRUE(patch());
    EXPECT_EQ(readFile(path), "new content");
    EXPECT_EQ(readFile(path + ".prepatch"), "old content");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0444u);
}

TEST_F(DownloadTest, BackupWhoseFileIsMissingIsKept) {
    TestServer server;
    server.addFile("1 Standard", "Interface/FrameXML/UIParent.lua", "new");
    writeFile("Interface/FrameXML/UIParent.lua.prepatch", "the user's version");
    ASSERT_TRUE(patch());
    EXPECT_EQ(readFile("Interface/FrameXML/UIParent.lua"), "new");
    EXPECT_EQ(readFile("Interface/FrameXML/UIParent.lua.prepatch"), "the user's version");
    EXPECT_EQ(settings.reportLines,
              std::vector<std::string>{"New: Interface\\FrameXML\\UIParent.lua"});
}

class ScriptedDownloadTest : public DownloadTest {
protected:
    bool download(ScriptedPeer& peer, const std::vector<DownloadEntry>& entries) {
        peer.start();
        ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
        bool ran = pass([&](WorkerJob& worker) {
            worker.connect();
            for (const DownloadEntry& entry : entries)
                worker.bytesTotal += entry.packedSize;
            // One download phase for all of them, as a pass has.
            Downloader downloader(worker);
            downloader.plan(entries);
            for (const DownloadEntry& entry : entries)
                downloader.downloadFile(entry);
            downloader.finish();
            worker.close();
        });
        peer.finish();
        return ran;
    }
};

TEST_F(ScriptedDownloadTest, BackslashPathIsWrittenWithSlashes) {
    std::string packed = deflated("body");
    ScriptedPeer peer;
    peer.send(packed).readUntilClosed();
    ASSERT_TRUE(download(peer, {{"Interface\\New\\File.lua", 4,
                                 static_cast<std::int32_t>(packed.size()), md5Of("body")}}));
    EXPECT_EQ(readFile("Interface/New/File.lua"), "body");
    EXPECT_EQ(job.copyStatus(), "Downloading Interface\\New\\File.lua");
    EXPECT_EQ(settings.reportLines, std::vector<std::string>{"New: Interface\\New\\File.lua"});
}

TEST_F(ScriptedDownloadTest, AddOnDataFileShowsItsOwnStatus) {
    std::string packed = deflated("data");
    ScriptedPeer peer;
    peer.send(packed).readUntilClosed();
    ASSERT_TRUE(download(peer, {{"Interface/Pelvar/MData/Quests.lua", 4,
                                 static_cast<std::int32_t>(packed.size()), md5Of("data")}}));
    EXPECT_EQ(job.copyStatus(), "Updating Data Files");
    EXPECT_EQ(readFile("Interface/Pelvar/MData/Quests.lua"), "data");
    EXPECT_TRUE(settings.reportLines.empty());
}

TEST_F(ScriptedDownloadTest, BackToBackFilesOfOddSizesAreReadExactly) {
    std::string second = deflated("second");
    // The first file's data is 2 * 4096 + 1 bytes: a zlib stream of one stored block.
    std::string raw = letters(8193 - 11, 8);
    std::string stored(8193, '\0');
    uLongf storedLength = stored.size();
    compress2(reinterpret_cast<Bytef*>(stored.data()), &storedLength,
              reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 0);
    ASSERT_EQ(storedLength, 8193u);
    ScriptedPeer peer;
    peer.send(stored + second).readUntilClosed();
    ASSERT_TRUE(download(peer, {{"Interface/AddOns/Auctionator/Auctionator.lua",
                                 static_cast<std::int32_t>(raw.size()), 8193, md5Of(raw)},
                                {"Interface/AddOns/Bagnon/Bagnon.lua", 6,
                                 static_cast<std::int32_t>(second.size()), md5Of("second")}}));
    EXPECT_TRUE(readFile("Interface/AddOns/Auctionator/Auctionator.lua") == raw);
    EXPECT_EQ(readFile("Interface/AddOns/Bagnon/Bagnon.lua"), "second");
}

TEST_F(ScriptedDownloadTest, UncreatableTemporaryFileIsShownAndItsDataDropped) {
    const std::string path = "Interface/AddOns/日本語/設定.lua";
    makeDirectories(path + ".new/blocked");
    std::string packed = deflated("dropped");
    ScriptedPeer peer;
    peer.send(packed).readUntilClosed();
    ASSERT_TRUE(
        download(peer, {{path, 7, static_cast<std::int32_t>(packed.size()), md5Of("dropped")}}));
    EXPECT_EQ(job.copyStatus(), "Failed to create Interface/AddOns/日本語/設定.lua.new");
    EXPECT_EQ(
        settings.reportLines,
        std::vector<std::string>{"Error: couldn't create Interface\\AddOns\\日本語\\設定.lua"});
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(window.progressValues.back(), 100) << "its data was read all the same";
}

TEST_F(ScriptedDownloadTest, EmptyDataIsNoZlibStream) {
    ScriptedPeer peer;
    peer.readUntilClosed();
    ASSERT_TRUE(download(peer, {{"Interface/AddOns/Bagnon/Bagnon.lua", 0, 0, md5Of("")}}));
    EXPECT_EQ(job.copyStatus(), "Decompression error: -3");
}

TEST_F(ScriptedDownloadTest, StreamLongerThanAnnouncedDoesNotFit) {
    std::string packed = deflated("twelve bytes");
    ScriptedPeer peer;
    peer.send(packed).readUntilClosed();
    const std::string path = "Interface/AddOns/Größere Taschen/Übersicht.lua";
    ASSERT_TRUE(
        download(peer, {{path, 5, static_cast<std::int32_t>(packed.size()), md5Of("twelv")}}));
    EXPECT_EQ(job.copyStatus(), "Decompression error: -5");
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(path + ".new"));
}

// A server that lies about a file (its length or its digest) never gets it installed: the old
// file stays, the report names it, and the next file is still fetched.
TEST_F(ScriptedDownloadTest, DataThatDoesNotMatchTheListIsNeverInstalled) {
    struct Lie {
        std::string sent;
        std::int32_t size;
        std::string digest;
    } lies[] = {
        {"evil!", 5, md5Of("good!")},   // another content of the announced length
        {"short", 100, md5Of("short")}, // fewer bytes than announced
        {"x", 1, "D41D8CD98F00B204E9800998ECF8427E"},
    };
    // Names longer than a string object holds in place, so that a report line read from a freed
    // file would show (and AddressSanitizer would catch it).
    const std::string lied = "Interface/AddOns/Lügner/Ärgerliche Daten.lua";
    const std::string next = "Interface/AddOns/Lügner/Nächste Datei.lua";
    for (const Lie& lie : lies) {
        settings.reportLines.clear();
        writeFile(lied, "old");
        std::string packed = deflated(lie.sent), nextPacked = deflated("next");
        ScriptedPeer peer;
        peer.send(packed + nextPacked).readUntilClosed();
        ASSERT_TRUE(download(
            peer, {{lied, lie.size, static_cast<std::int32_t>(packed.size()), lie.digest},
                   {next, 4, static_cast<std::int32_t>(nextPacked.size()), md5Of("next")}}));
        EXPECT_EQ(readFile(lied), "old") << lie.sent;
        EXPECT_FALSE(exists(lied + ".new"));
        EXPECT_FALSE(exists(lied + ".prepatch"));
        EXPECT_EQ(readFile(next), "next");
        EXPECT_EQ(
            settings.reportLines,
            (std::vector<std::string>{"Error: couldn't verify " + replaceChar(lied, '/', '\\'),
                                      "New: " + replaceChar(next, '/', '\\')}))
            << lie.sent;
        ::unlink(next.c_str());
        ::unlink((next + ".prepatch").c_str());
    }
}

// A temporary file made ahead whose name has since been taken by another file is not written to:
// the download gets a file of its own, and the other file never becomes the download.
TEST_F(ScriptedDownloadTest, TemporaryMadeAheadIsUsedOnlyWhileItsNameLeadsToIt) {
    const std::string first = "Interface/AddOns/Vorlauf/Erste Datei.lua";
    const std::string second = "Interface/AddOns/Vorlauf/Zweite Datei.lua";
    std::string a = letters(3000, 1), b = letters(5000, 2);
    std::string packedA = deflated(a), packedB = deflated(b);
    std::vector<DownloadEntry> entries = {
        {first, 3000, static_cast<std::int32_t>(packedA.size()), md5Of(a)},
        {second, 5000, static_cast<std::int32_t>(packedB.size()), md5Of(b)}};
    ScriptedPeer peer;
    peer.send(packedA + packedB).readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    ASSERT_TRUE(pass([&](WorkerJob& worker) {
        worker.connect();
        Downloader downloader(worker);
        downloader.plan(entries);
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!exists(second + ".new") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        writeFile("planted by another program", "not the download");
        ::rename("planted by another program", (second + ".new").c_str());
        for (const DownloadEntry& entry : entries)
            downloader.downloadFile(entry);
        downloader.finish();
        worker.close();
    }));
    peer.finish();
    EXPECT_EQ(readFile(first), a);
    EXPECT_EQ(readFile(second), b);
    EXPECT_FALSE(exists(second + ".new"));
}

// Every size downloads, whatever buffer its plain or its compressed bytes meet the edge of: two
// dozen empty files and more, one byte, 4 KiB (a receive), 64 KiB (what is inflated at once) and
// 256 KiB (a block between the threads), each plus and minus one, and a large file.
TEST_F(ScriptedDownloadTest, EveryEdgeOfEveryBufferDownloads) {
    std::vector<DownloadEntry> entries;
    std::vector<std::string> contents;
    std::string stream;
    auto add = [&](const std::string& path, const std::string& plain, const std::string& packed) {
        entries.push_back({path, static_cast<std::int32_t>(plain.size()),
                           static_cast<std::int32_t>(packed.size()), md5Of(plain)});
        contents.push_back(plain);
        stream += packed;
    };
    for (int i = 0; i < 30; ++i)
        add("Interface/AddOns/Leere Dateien/Nummer " + std::to_string(i) + ".lua", "",
            deflated(""));
    // A stream of stored blocks exactly `length` bytes long.
    auto storedOfLength = [](std::size_t length, unsigned seed) {
        std::string plain = noise(length - 5 * (length / 65535 + 1) - 6, seed);
        std::string packed = storedDeflated(plain);
        for (int tries = 0; packed.size() != length && tries < 64; ++tries) {
            plain.resize(packed.size() < length ? plain.size() + 1 : plain.size() - 1, 'x');
            packed = storedDeflated(plain);
        }
        return std::make_pair(plain, packed);
    };
    unsigned seed = 1;
    for (std::size_t edge : {4096, 65536, 262144}) {
        for (std::size_t size : {edge - 1, edge, edge + 1}) {
            std::string path = "Interface/AddOns/Größen/" + std::to_string(size);
            std::string plain = noise(size, seed++);
            add(path + " plain.lua", plain, deflated(plain));
            auto [stored, packed] = storedOfLength(size, seed++);
            EXPECT_EQ(packed.size(), size);
            add(path + " stored.lua", stored, packed);
        }
    }
    add("Interface/AddOns/Größen/ein Byte.lua", "1", deflated("1"));
    add("Interface/AddOns/Größen/groß.lua", letters(5 << 20, 77), deflated(letters(5 << 20, 77)));
    ScriptedPeer peer;
    peer.send(stream).readUntilClosed();
    ASSERT_TRUE(download(peer, entries));
    EXPECT_EQ(job.fatalMessage(), std::nullopt);
    for (std::size_t i = 0; i < entries.size(); ++i)
        EXPECT_TRUE(readFile(entries[i].path) == contents[i]) << entries[i].path;
    EXPECT_EQ(settings.installErrors, 0);
}

TEST_F(ScriptedDownloadTest, HostilePatchListNeverWritesOutsideTheGame) {
    TempDir outside("pelvar-outside");
    std::string escape = std::string("..\\") +
                         std::filesystem::path(outside.path()).filename().string() + "\\evil.txt";
    std::string packed = deflated("evil");
    ScriptedPeer peer;
    peer.expect("P 1\n")
        .send(escape + "\n4 " + std::to_string(packed.size()) + "\nd\nD\n")
        .readUntilClosed();
    peer.start();
    ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
    ASSERT_TRUE(patch());
    peer.finish();
    EXPECT_EQ(job.copyStatus(), "Corrupt patch info, aborting");
    EXPECT_FALSE(exists(outside / "evil.txt"));
    EXPECT_FALSE(exists(outside / "evil.txt.new"));
    EXPECT_EQ(peer.received(), "P 1\n") << "no file was requested";
}

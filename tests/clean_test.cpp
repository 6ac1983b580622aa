#include "job_channel/worker_job.h"
#include "patcher/clean.h"
#include "tests/support/game_test.h"

#include <unistd.h>

namespace {

class CleanTest : public GameTest {
protected:
    // Runs the walk from "Interface" with the given distribution; gives cleanList.
    std::vector<std::string> walk(const std::vector<std::string>& distribution) {
        settings.cleanList.clear();
        settings.reportLines.clear();
        EXPECT_TRUE(pass([&](WorkerJob& worker) {
            for (const std::string& path : distribution)
                for (const char* suffix : {"", ".nopatch", ".prepatch"})
                    worker.distributionFileSet[path + suffix] = 1;
            cleanDirectory(worker, "Interface");
            report = settings.reportLines;
        }));
        return {settings.cleanList.begin(), settings.cleanList.end()};
    }
    // The report lines of the walk (without what the end of the pass adds).
    std::vector<std::string> report;
};

} // namespace

TEST_F(CleanTest, SelectsUnlistedFilesDepthFirstInListingOrder) {
    for (const char* path :
         {"Interface/FrameXML/UIParent.lua", "Interface/FrameXML/UIParent.lua.prepatch",
          "Interface/FrameXML/Old.lua", "Interface/FrameXML/Old.lua.prepatch",
          "Interface/FrameXML/FrameXML.toc", "Interface/AddOns/Zed/Zed.lua",
          "Interface/AddOns/alpha/alpha.lua", "Interface/AddOns/Listed/listed.lua",
          "Interface/Modules/keep.lua", "Interface/modules/walked.lua", "Interface/readme.txt"})
        writeFile(path, "x");
    makeDirectories("Interface/Leerer Ordner");
    settings.keepClean = 1;
    testing::internal::CaptureStdout();
    auto selected = walk({"Interface/FrameXML/UIParent.lua", "Interface/AddOns/Listed/Listed.lua"});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(selected, (std::vector<std::string>{
                            "Interface/AddOns/alpha/alpha.lua",
                            "Interface/AddOns/Listed/listed.lua", // differs only in case
                            "Interface/AddOns/Zed/Zed.lua",
                            "Interface/FrameXML/Old.lua",
                            "Interface/FrameXML/Old.lua.prepatch",
                            "Interface/modules/walked.lua",
                            "Interface/readme.txt",
                        }));
    EXPECT_NE(out.find("skipping Modules\n"), std::string::npos);
    EXPECT_TRUE(report.empty());
    EXPECT_TRUE(exists("Interface/Leerer Ordner")) << "the walk moves nothing";
}

TEST_F(CleanTest, MarkersKeepFilesAndDirectories) {
    writeFile("Interface/AddOns/MyAddon/MyAddon.lua", "x");
    writeFile("Interface/AddOns/MyAddon.nopatch", "");
    writeFile("Interface/FrameXML/Bindings.xml", "x");
    writeFile("Interface/FrameXML/Bindings.xml.nopatch", "");
    writeFile("Interface/FrameXML/Stray.lua", "x");
    writeFile("Interface/Odd.nopatch.txt", "x");
    settings.keepClean = 1;
    settings.completeCheck = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(walk({}), std::vector<std::string>{"Interface/FrameXML/Stray.lua"});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(report, (std::vector<std::string>{
                          "Not cleaning directory Interface\\AddOns\\MyAddon (.nopatch)",
                          "Not cleaning Interface\\FrameXML\\Bindings.xml (.nopatch)"}));
    EXPECT_NE(out.find("skipping Odd.nopatch.txt (.nopatch)\n"), std::string::npos);
}

TEST_F(CleanTest, MarkerBesideInterfaceStopsTheWholeWalk) {
    writeFile("Interface/AddOns/Bagnon/Bagnon.lua", "x");
    writeFile("Interface.nopatch", "");
    settings.keepClean = 1;
    settings.completeCheck = 1;
    EXPECT_TRUE(walk({}).empty());
    EXPECT_EQ(report, std::vector<std::string>{"Not cleaning directory Interface (.nopatch)"});
}

TEST_F(CleanTest, WithoutKeepCleanItOnlyReports) {
    writeFile("Interface/AddOns/Größere Taschen/Übersicht.lua", "x");
    settings.keepClean = 0;
    settings.completeCheck = 1;
    EXPECT_TRUE(walk({}).empty());
    EXPECT_EQ(report,
              std::vector<std::string>{
                  "Not cleaning Interface\\AddOns\\Größere Taschen\\Übersicht.lua (disabled)"});
}

TEST_F(CleanTest, LinkedDirectoriesAreNeverFollowedNorSetAside) {
    TempDir workingCopy("pelvar-addon");
    writeFile(workingCopy / "Dev.lua", "my work");
    makeDirectories("Interface/AddOns");
    ASSERT_EQ(::symlink(workingCopy.path().c_str(), "Interface/AddOns/Dev"), 0);
    ASSERT_EQ(::symlink("missing-target", "Interface/AddOns/Dangling"), 0);
    settings.keepClean = 1;
    settings.completeCheck = 1;
    EXPECT_EQ(walk({}), std::vector<std::string>{"Interface/AddOns/Dangling"});
    EXPECT_EQ(report, std::vector<std::string>{
                          "Not cleaning directory Interface\\AddOns\\Dev (symbolic link)"});
    EXPECT_EQ(readFile(workingCopy / "Dev.lua"), "my work");

    // An Interface that is itself a link is not cleaned at all, and the report says so.
    ASSERT_EQ(::rename("Interface", "Real"), 0);
    ASSERT_EQ(::symlink("Real", "Interface"), 0);
    settings.completeCheck = 0;
    EXPECT_TRUE(walk({}).empty());
    EXPECT_EQ(report, std::vector<std::string>{"Not cleaning directory Interface (symbolic link)"});
}

TEST_F(CleanTest, UnlistableDirectoryIsReported) {
    settings.keepClean = 1;
    EXPECT_TRUE(walk({}).empty());
    EXPECT_EQ(report, std::vector<std::string>{"ERROR: couldn't clean Interface"});
}

#include "base/fs.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FsTest : public ::testing::Test {
protected:
    TempDir game;
    CurrentDirectory here{game.path()};
};

} // namespace

TEST_F(FsTest, MakeDirsTakesBothSeparatorsAndNeverTheLastName) {
    makeDirs("x\\y/z.txt");
    EXPECT_TRUE(isDirectory("x"));
    EXPECT_TRUE(isDirectory("x/y"));
    EXPECT_FALSE(fileExists("x/y/z.txt"));
    EXPECT_FALSE(fileExists("x\\y")) << "a backslash separates, it is not part of a name";
    makeDirs("single.txt");
    EXPECT_FALSE(fileExists("single.txt"));
    makeDirs("a/b/c/");
    EXPECT_TRUE(isDirectory("a/b/c"));
}

TEST_F(FsTest, ReplaceCharCopies) {
    std::string path = "Interface/FrameXML/UIParent.lua";
    EXPECT_EQ(replaceChar(path, '/', '\\'), "Interface\\FrameXML\\UIParent.lua");
    EXPECT_EQ(path, "Interface/FrameXML/UIParent.lua");
    EXPECT_EQ(replaceChar("a\\b\\c", '\\', '/'), "a/b/c");
}

TEST_F(FsTest, ListingIsInWindowsOrderWithDotDotFirst) {
    for (const char* name : {"b.lua", "A.lua", "_under", "Zeta", "alpha", ".hidden", "B2", "a"})
        writeFile(name, "");
    makeDirectories("Sub");
    auto names = listDirectory(".");
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{"..", ".hidden", "a", "A.lua", "alpha", "b.lua",
                                                "B2", "Sub", "Zeta", "_under"}));
    makeDirectories("empty");
    EXPECT_EQ(*listDirectory("empty"), std::vector<std::string>{".."});
    EXPECT_FALSE(listDirectory("missing"));
    EXPECT_FALSE(listDirectory("a"));
}

TEST_F(FsTest, ExistenceAndKinds) {
    writeFile("file", "x");
    makeDirectories("dir");
    ASSERT_EQ(::symlink("dir", "link"), 0);
    EXPECT_TRUE(fileExists("file"));
    EXPECT_TRUE(fileExists("dir"));
    EXPECT_FALSE(fileExists("missing"));
    EXPECT_FALSE(isDirectory("file"));
    EXPECT_FALSE(isDirectory("missing"));
    EXPECT_TRUE(isDirectory("dir"));
    EXPECT_TRUE(isDirectory("link"));
    EXPECT_TRUE(isSymbolicLink("link"));
    EXPECT_FALSE(isSymbolicLink("dir"));
}

TEST_F(FsTest, OpenForReadingTakesOnlyRegularFiles) {
    writeFile("file", "x");
    makeDirectories("dir");
    ASSERT_EQ(::mkfifo("fifo", 0600), 0);
    EXPECT_TRUE(openForReading("file"));
    EXPECT_FALSE(openForReading("dir"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(openForReading("fifo")) << "a FIFO without a writer would block the pass";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(openForReading("/dev/zero")) << "a device would never end";
    EXPECT_FALSE(openForReading("missing"));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FsTest, RenameNeverReplaces) {
    writeFile("old", "old");
    writeFile("taken", "taken");
    EXPECT_FALSE(renameFile("old", "taken"));
    EXPECT_EQ(readFile("old"), "old");
    EXPECT_EQ(readFile("taken"), "taken");
    EXPECT_FALSE(renameFile("missing", "new"));
    EXPECT_TRUE(renameFile("old", "new"));
    EXPECT_FALSE(fileExists("old"));
    EXPECT_EQ(readFile("new"), "old");
    makeDirectories("d1/inner");
    EXPECT_TRUE(renameFile("d1", "d2"));
    EXPECT_TRUE(isDirectory("d2/inner"));
    EXPECT_TRUE(removeFile("new"));
    EXPECT_FALSE(removeFile("new"));
    EXPECT_FALSE(removeFile("d2"));
}

TEST_F(FsTest, RecycleMovesATreeToTheTrash) {
    TempDir home("pelvar-home");
    ScopedEnv homeVariable("HOME", home.path());
    ScopedEnv dataVariable("XDG_DATA_HOME", nullptr);
    writeFile("Pelvar_Cleaned/Interface/AddOns/Old/Old.lua", "old");
    EXPECT_EQ(recycle("Pelvar_Cleaned"), 0);
    EXPECT_FALSE(fileExists("Pelvar_Cleaned"));
    EXPECT_EQ(
        readFile(home / ".local/share/Trash/files/Pelvar_Cleaned/Interface/AddOns/Old/Old.lua"),
        "old");
    std::string info = readFile(home / ".local/share/Trash/info/Pelvar_Cleaned.trashinfo");
    EXPECT_NE(info.find("Path=" + game.path() + "/Pelvar_Cleaned"), std::string::npos) << info;
    EXPECT_FALSE(fileExists("files")) << "nothing of the trash lands in the game directory";
    EXPECT_FALSE(fileExists("info"));
    EXPECT_NE(recycle("missing"), 0);
}

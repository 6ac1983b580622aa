#include "base/fs.h"
#include "base/trash.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <filesystem>
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
    makeDirs("Interface\\AddOns\\Größere Taschen/Übersicht.lua");
    EXPECT_TRUE(isDirectory("Interface"));
    EXPECT_TRUE(isDirectory("Interface/AddOns/Größere Taschen"));
    EXPECT_FALSE(fileExists("Interface/AddOns/Größere Taschen/Übersicht.lua"));
    EXPECT_FALSE(fileExists("Interface\\AddOns"))
        << "a backslash separates, it is not part of a name";
    makeDirs("ReadMe_Interface.txt");
    EXPECT_FALSE(fileExists("ReadMe_Interface.txt"));
    makeDirs("Interface/AddOns/日本語/Locales/");
    EXPECT_TRUE(isDirectory("Interface/AddOns/日本語/Locales"));
}

TEST_F(FsTest, ReplaceCharCopies) {
    std::string path = "Interface/FrameXML/UIParent.lua";
    EXPECT_EQ(replaceChar(path, '/', '\\'), "Interface\\FrameXML\\UIParent.lua");
    EXPECT_EQ(path, "Interface/FrameXML/UIParent.lua");
    EXPECT_EQ(replaceChar("Interface\\AddOns\\日本語\\設定.lua", '\\', '/'),
              "Interface/AddOns/日本語/設定.lua");
}

TEST_F(FsTest, ListingIsInWindowsOrderWithDotDotFirst) {
    for (const char* name :
         {"bagnon_settings.lua", "Auctionator_Data.lua", "_SharedLibraries", "ZygorGuidesViewer",
          "auctionator_history", ".bagnon-settings.bak", "Bagnon_Settings2", "auctionator_data"})
        writeFile(name, "");
    makeDirectories("SavedInstances_Cache");
    auto names = listDirectory(".");
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{
                          "..", ".bagnon-settings.bak", "auctionator_data", "Auctionator_Data.lua",
                          "auctionator_history", "bagnon_settings.lua", "Bagnon_Settings2",
                          "SavedInstances_Cache", "ZygorGuidesViewer", "_SharedLibraries"}));
    makeDirectories("Interface/AddOns/Leerer Ordner");
    EXPECT_EQ(*listDirectory("Interface/AddOns/Leerer Ordner"), std::vector<std::string>{".."});
    EXPECT_FALSE(listDirectory("Interface/AddOns/Fehlender Ordner"));
    EXPECT_FALSE(listDirectory("auctionator_data"));
}

namespace {

const std::string file = "Interface/AddOns/Größere Taschen/Übersicht.lua";
const std::string directory = "Interface/AddOns/Größere Taschen";
const std::string missing = "Interface/AddOns/Größere Taschen/Fehlende Datei.lua";

} // namespace

TEST_F(FsTest, ExistenceAndKinds) {
    writeFile(file, "x");
    const std::string link = "Interface/AddOns/Größere Taschen (Verknüpfung)";
    ASSERT_EQ(::symlink("Größere Taschen", link.c_str()), 0);
    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(fileExists(directory));
    EXPECT_FALSE(fileExists(missing));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_FALSE(isDirectory(missing));
    EXPECT_TRUE(isDirectory(directory));
    EXPECT_TRUE(isDirectory(link));
    EXPECT_TRUE(isSymbolicLink(link));
    EXPECT_FALSE(isSymbolicLink(directory));
}

TEST_F(FsTest, OpenForReadingTakesOnlyRegularFiles) {
    writeFile(file, "x");
    const std::string fifo = "Interface/AddOns/Größere Taschen/Übersicht.toc";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(openForReading(file));
    EXPECT_FALSE(openForReading(directory));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(openForReading(fifo)) << "a FIFO without a writer would block the pass";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(openForReading("/dev/zero")) << "a device would never end";
    EXPECT_FALSE(openForReading(missing));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FsTest, RenameNeverReplaces) {
    const std::string old = "Interface/AddOns/日本語/設定.lua.new";
    const std::string taken = "Interface/AddOns/日本語/設定.lua";
    const std::string renamed = "Interface/AddOns/日本語/設定 (Kopie).lua";
    writeFile(old, "old");
    writeFile(taken, "taken");
    EXPECT_FALSE(renameFile(old, taken));
    EXPECT_EQ(readFile(old), "old");
    EXPECT_EQ(readFile(taken), "taken");
    EXPECT_FALSE(renameFile("Interface/AddOns/日本語/欠けている.lua", renamed));
    EXPECT_TRUE(renameFile(old, renamed));
    EXPECT_FALSE(fileExists(old));
    EXPECT_EQ(readFile(renamed), "old");
    makeDirectories("Interface/AddOns/Größere Taschen/Locales");
    EXPECT_TRUE(renameFile("Interface/AddOns/Größere Taschen", "Interface/AddOns/Große Taschen"));
    EXPECT_TRUE(isDirectory("Interface/AddOns/Große Taschen/Locales"));
    EXPECT_TRUE(removeFile(renamed));
    EXPECT_FALSE(removeFile(renamed));
    EXPECT_FALSE(removeFile("Interface/AddOns/Große Taschen"));
}

// Names of every kind go to the trash and come back, each under a name of its own; a trash that
// refuses new entries is given up on at once, and the file stays.
TEST_F(FsTest, TrashEntriesAreReservedMovedAndRestored) {
    TempDir data("pelvar-data");
    ScopedEnv dataVariable("XDG_DATA_HOME", data.path());
    const std::string trash = data / "Trash";
    struct Case {
        std::string name;
        std::string entry; // its name in the trash
        std::string path;  // as the information file writes it down
    };
    const Case cases[] = {
        {"Übersicht der Taschen.lua", "Übersicht der Taschen.lua",
         "%C3%9Cbersicht%20der%20Taschen.lua"},
        {"Übersicht der Taschen.lua", "Übersicht der Taschen.lua.2",
         "%C3%9Cbersicht%20der%20Taschen.lua"},
        {"Latin-1 \xDC"
         "bersicht 100%.lua",
         "Latin-1 \xDC"
         "bersicht 100%.lua",
         "Latin-1%20%DCbersicht%20100%25.lua"},
        {"", "", ""},
        {std::string(240, 'x') + "\xC3\x9C.lua", std::string(200, 'x'),
         std::string(240, 'x') + "%C3%9C.lua"},
    };
    for (const Case& c : cases) {
        std::string path = "Interface/AddOns/Alt/" + c.name;
        if (c.name.empty()) {
            TrashEntry entry;
            std::string why;
            EXPECT_FALSE(reserveTrashEntry(path, entry, why)) << "a directory's own entry";
            continue;
        }
        writeFile(path, c.entry);
        TrashEntry entry;
        std::string why;
        ASSERT_TRUE(reserveTrashEntry(path, entry, why)) << why;
        EXPECT_EQ(entry.path, trash + "/files/" + c.entry);
        EXPECT_EQ(readFile(entry.info)
                      .find("[Trash Info]\nPath=" + game.path() + "/Interface/AddOns/Alt/" +
                            c.path + "\nDeletionDate="),
                  0u)
            << readFile(entry.info);
        ASSERT_TRUE(moveIntoTrash(path, entry, why)) << why;
        EXPECT_EQ(readFile(entry.path), c.entry);
    }
    TrashEntry first{trash + "/files/Übersicht der Taschen.lua",
                     trash + "/info/Übersicht der Taschen.lua.trashinfo"};
    EXPECT_TRUE(restoreFromTrash(first.path, first.path, "Interface/Zurück/Übersicht.lua"));
    EXPECT_EQ(readFile("Interface/Zurück/Übersicht.lua"), "Übersicht der Taschen.lua");
    EXPECT_FALSE(exists(first.info)) << "a restored entry leaves nothing in the trash";
    EXPECT_TRUE(exists(trash + "/info/Übersicht der Taschen.lua.2.trashinfo"));

    // A tree goes whole, nothing of the trash lands in the game directory, and it comes back
    // file by file; the entry goes with its last file.
    writeFile("Pelvar_Cleaned/Interface/A/Eins.lua", "1");
    writeFile("Pelvar_Cleaned/Interface/B/Zwei.lua", "2");
    std::string trashed;
    ASSERT_EQ(recycle("Pelvar_Cleaned", &trashed), 0);
    EXPECT_EQ(trashed, trash + "/files/Pelvar_Cleaned");
    EXPECT_FALSE(fileExists("Pelvar_Cleaned") || fileExists("files") || fileExists("info"));
    EXPECT_NE(recycle("Interface/AddOns/Fehlender Ordner"), 0);
    for (const char* file : {"Interface/A/Eins.lua", "Interface/B/Zwei.lua"}) {
        EXPECT_TRUE(exists(trash + "/info/Pelvar_Cleaned.trashinfo"));
        EXPECT_TRUE(restoreFromTrash(trashed + "/" + file, trashed, file));
    }
    EXPECT_FALSE(exists(trashed));
    EXPECT_FALSE(exists(trash + "/info/Pelvar_Cleaned.trashinfo"));
    EXPECT_FALSE(restoreFromTrash(trashed + "/gone", trashed, "Interface/gone"));

    // The trash's info/ is not a directory that takes entries: refused at once, file in place.
    std::filesystem::rename(trash + "/info", trash + "/info.aside");
    writeFile(trash + "/info", "not a directory");
    writeFile("Interface/Bleibt.lua", "stays");
    std::string why;
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(recycle("Interface/Bleibt.lua", nullptr, &why), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(why.find(trash + "/info"), std::string::npos) << why;
    EXPECT_EQ(readFile("Interface/Bleibt.lua"), "stays");
}

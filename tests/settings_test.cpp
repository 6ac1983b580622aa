#include "base/format_string.h"
#include "base/text.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>

namespace {

// Reads rows straight from the database file, as a user with the sqlite3 tool would.
std::vector<std::string> queryColumn(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW)
        rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

} // namespace

TEST(FormatString, CutsAt511Characters) {
    std::string text;
    formatString(text, "%s", std::string(600, 'x').c_str());
    EXPECT_EQ(text, std::string(511, 'x'));
    formatString(text, "%d bytes uploaded  -  Done!", 12345);
    EXPECT_EQ(text, "12345 bytes uploaded  -  Done!");
    formatString(text, "%ld", 4294967296L);
    EXPECT_EQ(text, "4294967296");
}

class SettingsTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string dbPath = dir / "settings.db";
};

TEST_F(SettingsTest, EmptyStoreGivesTheDefaults) {
    Settings settings(dbPath);
    EXPECT_TRUE(settings.storeError().empty());
    EXPECT_EQ(settings.distribution, 1);
    EXPECT_EQ(settings.mustChooseDistribution, 1);
    EXPECT_EQ(settings.patchPelvar, 1);
    EXPECT_EQ(settings.autoRunWoW, 0);
    EXPECT_EQ(settings.runWindowed + settings.noSound + settings.openGL + settings.keepClean, 0);
    EXPECT_EQ(settings.completeCheck, 0);
    EXPECT_EQ(settings.Username, "");
    EXPECT_EQ(settings.Password, "");
    EXPECT_EQ(settings.storedWdbVersion, 0);
    EXPECT_EQ(settings.itemCacheOffset, 0);
    EXPECT_EQ(settings.questCacheOffset, 0);
    EXPECT_EQ(settings.uploadEnabled, 1);
    EXPECT_EQ(settings.distListPending, 1);
    EXPECT_EQ(settings.loginPrompted, 0);
}

TEST_F(SettingsTest, ValuesAreLoadedAtConstruction) {
    {
        Settings first(dbPath);
        first.writeString("Distribution", "0");
        first.writeFlag("autoRunWoW", 7);
        first.writeString("KeepClean", "1");
        first.writeString("RunWindowed", "2");
        first.writeString("OpenGL", "");
        first.writeString("patchPelvar", "0");
        first.writeString("Username", "thrall");
        first.writeString("Password", "secret");
        first.writeString("wdbVersion", "5");
        first.writeString("wdbitems", "123456789012");
        first.writeString("wdbquests", "77x");
    }
    Settings settings(dbPath);
    EXPECT_EQ(settings.distribution, 0);
    EXPECT_EQ(settings.mustChooseDistribution, 0);
    EXPECT_EQ(settings.autoRunWoW, 1);
    EXPECT_EQ(settings.keepClean, 1);
    EXPECT_EQ(settings.runWindowed, 0) << "a flag stored as \"2\" gives its default";
    EXPECT_EQ(settings.openGL, 0) << "a flag stored as \"\" gives its default";
    EXPECT_EQ(settings.patchPelvar, 0);
    EXPECT_EQ(settings.Username, "thrall");
    EXPECT_EQ(settings.Password, "secret");
    EXPECT_EQ(settings.storedWdbVersion, 5);
    EXPECT_EQ(settings.itemCacheOffset, 123456789012L);
    EXPECT_EQ(settings.questCacheOffset, 77);
}

TEST_F(SettingsTest, FlagsFallBackToTheirDefault) {
    Settings settings(dbPath);
    settings.writeString("patchPelvar", "2");
    EXPECT_EQ(settings.readFlag("patchPelvar", 1), 1);
    EXPECT_EQ(settings.readFlag("patchPelvar", 0), 0);
    settings.writeString("patchPelvar", "");
    EXPECT_EQ(settings.readFlag("patchPelvar", 1), 1);
    settings.writeString("patchPelvar", " 1");
    EXPECT_EQ(settings.readFlag("patchPelvar", 0), 0);
    settings.writeString("patchPelvar", "0");
    EXPECT_EQ(settings.readFlag("patchPelvar", 1), 0);
}

TEST_F(SettingsTest, DistributionTextWithoutDigitsMeansNoPatching) {
    Settings(dbPath).writeString("Distribution", "abc");
    Settings settings(dbPath);
    EXPECT_EQ(settings.distribution, 0);
    EXPECT_EQ(settings.mustChooseDistribution, 0);
}

TEST_F(SettingsTest, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    Settings settings(dbPath);
    settings.writeString("wdbitems", "100");
    EXPECT_EQ(settings.readString("wdbItems"), "100");
    settings.writeString("WDBITEMS", "200");
    EXPECT_EQ(settings.readString("wdbitems"), "200");
    EXPECT_EQ(queryColumn(dbPath, "SELECT name FROM registry"),
              std::vector<std::string>{"wdbitems"});
    EXPECT_EQ(queryColumn(dbPath, "SELECT key FROM registry"),
              std::vector<std::string>{"Software\\Mirelgan"});
    settings.deleteValue("WdbItems");
    EXPECT_EQ(settings.readString("wdbitems"), "");
    settings.deleteValue("never written");
}

TEST_F(SettingsTest, ATextOf256BytesOrMoreReadsAsEmpty) {
    Settings settings(dbPath);
    settings.writeString("Username", std::string(255, 'u'));
    EXPECT_EQ(settings.readString("Username"), std::string(255, 'u'));
    settings.writeString("Username", std::string(256, 'u'));
    EXPECT_EQ(settings.readString("Username"), "");
    EXPECT_EQ(Settings(dbPath).Username, "");
}

TEST_F(SettingsTest, TwoThreadsWriteAtOnce) {
    Settings settings(dbPath);
    // Names are built by appending: GCC 12 sees a false overlap (-Wrestrict) in an inlined
    // `"w" + std::to_string(i)` of a Release build.
    auto name = [](char prefix, int i) {
        std::string text(1, prefix);
        text += std::to_string(i);
        return text;
    };
    auto writer = [&settings, &name](char prefix) {
        for (int i = 0; i < 300; ++i)
            settings.writeString(name(prefix, i), std::to_string(i));
    };
    std::thread window(writer, 'w');
    std::thread worker(writer, 'k');
    for (int i = 0; i < 300; ++i)
        settings.readString(name('w', i));
    window.join();
    worker.join();
    EXPECT_EQ(queryColumn(dbPath, "SELECT count(*) FROM registry"),
              std::vector<std::string>{"600"});
    EXPECT_EQ(settings.readString("k299"), "299");
}

TEST_F(SettingsTest, BatchAppliesInOrder) {
    Settings settings(dbPath);
    settings.writeString("a", "old");
    EXPECT_TRUE(settings.key.apply({{"a", std::nullopt}, {"b", "1"}, {"A", "new"}}));
    EXPECT_EQ(settings.readString("a"), "new");
    EXPECT_EQ(settings.readString("b"), "1");
}

TEST_F(SettingsTest, DatabaseUsesWriteAheadLogAndTheDocumentedSchema) {
    Settings settings(dbPath);
    settings.writeString("x", "y");
    EXPECT_EQ(queryColumn(dbPath, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    auto schema = queryColumn(dbPath, "SELECT sql FROM sqlite_master WHERE name = 'registry'");
    ASSERT_EQ(schema.size(), 1u);
    EXPECT_EQ(schema[0], "CREATE TABLE registry (key TEXT NOT NULL, name TEXT NOT NULL COLLATE "
                         "NOCASE, data TEXT NOT NULL, PRIMARY KEY (key, name))");
}

// The digests of those days name no game directory: they go, and every setting stays.
TEST_F(SettingsTest, StoreOfTheEarlierVersionKeepsEverySettingAndDropsItsDigests) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    const std::string digest = "0123456789abcdef0123456789abcdef";
    std::string sql = "CREATE TABLE registry (key TEXT NOT NULL, name TEXT NOT NULL COLLATE "
                      "NOCASE, data TEXT NOT NULL, PRIMARY KEY (key, name));"
                      "INSERT INTO registry VALUES "
                      "('Software\\Mirelgan', 'Password', '" +
                      digest +
                      "'),"
                      "('Software\\Mirelgan', 'Username', 'thrall'),"
                      "('Software\\Mirelgan', 'Distribution', '3'),"
                      "('Software\\Mirelgan', 'Interface/AddOns/Bagnon/Bagnon.lua', '" +
                      digest +
                      "'),"
                      "('Software\\Mirelgan', 'Pelvar.txt', '" +
                      digest +
                      "'),"
                      "('Software\\Mirelgan', 'Interface/Odd.lua', 'not a digest');";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    for (int opening = 0; opening < 2; ++opening) {
        Settings settings(dbPath);
        EXPECT_EQ(settings.Password, digest) << "a password that looks like a digest stays";
        EXPECT_EQ(settings.Username, "thrall");
        EXPECT_EQ(settings.distribution, 3);
        EXPECT_EQ(queryColumn(dbPath, "SELECT count(*) FROM digests"),
                  std::vector<std::string>{"0"});
    }
    EXPECT_EQ(
        queryColumn(dbPath, "SELECT name FROM registry ORDER BY name"),
        (std::vector<std::string>{"Distribution", "Interface/Odd.lua", "Password", "Username"}));
}

TEST_F(SettingsTest, PlaceFollowsTheEnvironmentWithPrivateModes) {
    {
        ScopedEnv settingsVariable("MIRELGAN_SETTINGS", nullptr);
        ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").c_str());
        EXPECT_EQ(defaultSettingsPath(), dir / "config/Mirelgan/settings.db");
        Settings settings;
        ASSERT_TRUE(settings.storeError().empty()) << settings.storeError();
        struct stat info {};
        ASSERT_EQ(::stat((dir / "config/Mirelgan").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        ASSERT_EQ(::stat((dir / "config/Mirelgan/settings.db").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    {
        ScopedEnv settingsVariable("MIRELGAN_SETTINGS", nullptr);
        ScopedEnv config("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(defaultSettingsPath(), "/home/someone/.config/Mirelgan/settings.db");
    }
    ScopedEnv settingsVariable("MIRELGAN_SETTINGS", (dir / "elsewhere.db").c_str());
    EXPECT_EQ(defaultSettingsPath(), dir / "elsewhere.db");
}

TEST_F(SettingsTest, UnopenableStoreGivesDefaultsAndIgnoresWrites) {
    writeFile(dir / "file", "not a directory");
    Settings settings(dir / "file/settings.db");
    EXPECT_FALSE(settings.storeError().empty());
    settings.writeString("Distribution", "3");
    EXPECT_EQ(settings.readString("Distribution"), "");
    EXPECT_EQ(settings.distribution, 1);
    EXPECT_EQ(settings.mustChooseDistribution, 1);
}

TEST(DecimalValue, ReadsLikeTheCLibrary) {
    EXPECT_EQ(decimalValue("42"), 42);
    EXPECT_EQ(decimalValue("  -7abc"), -7);
    EXPECT_EQ(decimalValue("+3"), 3);
    EXPECT_EQ(decimalValue("x1"), 0);
    EXPECT_EQ(decimalValue(""), 0);
    EXPECT_EQ(decimalValue("99999999999999999999999"), LONG_MAX);
}

// A store of the version before the record of passes gets its tables and keeps every value.
TEST_F(SettingsTest, StoreOfTheVersionBeforeGetsTheRecordOfPasses) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db,
                     "CREATE TABLE registry (key TEXT NOT NULL, name TEXT NOT NULL COLLATE "
                     "NOCASE, data TEXT NOT NULL, PRIMARY KEY (key, name));"
                     "CREATE TABLE digests (path TEXT PRIMARY KEY NOT NULL, digest TEXT "
                     "NOT NULL);"
                     "INSERT INTO registry VALUES ('Software\\Mirelgan', 'Username', 'jaina');"
                     "INSERT INTO digests VALUES ('Interface/AddOns/日本語/設定.lua', 'd');"
                     "PRAGMA user_version = 1;",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    Settings settings(dbPath);
    EXPECT_EQ(settings.Username, "jaina");
    EXPECT_EQ(queryColumn(dbPath, "PRAGMA user_version"), std::vector<std::string>{"3"});
    EXPECT_NE(settings.key.beginPass("/home/jaina/Games/World of Warcraft"), 0);
}

// Two installations share the store, never their digests; a batch is written whole or not at
// all, and the write that failed is named.
TEST_F(SettingsTest, DigestsByGameDirectoryAndBatchesAllOrNothing) {
    Settings settings(dbPath);
    const std::string first = "/home/someone/Games/World of Warcraft";
    const std::string second = "/mnt/zweite Platte/World of Warcraft";
    const std::string path = "Interface/AddOns/Ünïcødé/Ünïcødé.lua";
    ASSERT_TRUE(settings.key.applyDigests(first, {{path, "11111111111111111111111111111111"}}));
    ASSERT_TRUE(settings.key.applyDigests(second, {{path, "22222222222222222222222222222222"}}));
    using Digests = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(settings.key.readDigests(first),
              (Digests{{path, "11111111111111111111111111111111"}}));
    ASSERT_TRUE(settings.key.applyDigests(second, {{path, std::nullopt}}));
    EXPECT_TRUE(settings.key.readDigests(second).empty());
    EXPECT_EQ(settings.key.readDigests(first).size(), 1u) << "a rollback's writes stay in its own";

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON registry WHEN NEW.name = "
                           "'Refused' BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    settings.writeString("KeepClean", "0");
    EXPECT_FALSE(settings.key.apply({{"KeepClean", "1"}, {"Refused", "x"}, {"Other", "y"}}));
    std::string failure = settings.key.takeFailure();
    EXPECT_NE(failure.find("Refused"), std::string::npos) << failure;
    EXPECT_EQ(settings.readString("KeepClean"), "0");
    EXPECT_EQ(settings.readString("Other"), "");
}

// The record keeps each game directory's passes apart, newest first, the files of a pass in the
// order of their changes, only the newest passes of a directory, and the markers by directory.
TEST_F(SettingsTest, RecordOfPassesByGameDirectory) {
    SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.open(dbPath, error)) << error;
    const std::string here = "/home/someone/Games/World of Warcraft ☃";
    const std::string there = "/mnt/other/World of Warcraft";
    std::int64_t first = store.beginPass(here);
    std::int64_t elsewhere = store.beginPass(there);
    std::int64_t second = store.beginPass(here);
    ASSERT_TRUE(first != 0 && elsewhere != 0 && second != 0);
    std::vector<PassFile> files = {
        {0, "Interface/AddOns/Ünïcødé/Ünïcødé.lua", "replaced", "old", "new", "", ""},
        {0, "Interface/AddOns/Brand/New.lua", "installed", "", "new", "", ""},
        {0, "Interface/AddOns/Stale/Stale.lua", "cleaned", "", "",
         "Pelvar_Cleaned/Interface/AddOns/Stale/Stale.lua", ""},
    };
    ASSERT_TRUE(store.recordPassFiles(second, files));
    EXPECT_TRUE(store.markPassFilesMade({files[0].id, files[2].id}, true));
    EXPECT_TRUE(store.markPassFilesMade({files[2].id}, false));
    files[0].made = true;
    files[2].place = "/trash/files/Pelvar_Cleaned/Interface/AddOns/Stale/Stale.lua";
    files[0].outcome = "restored";
    EXPECT_TRUE(store.updatePassFiles({files[2], files[0]}));
    std::vector<PassFile> read = store.passFiles(second).value();
    ASSERT_EQ(read.size(), 3u);
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(read[i].id, files[i].id);
        EXPECT_EQ(std::tie(read[i].path, read[i].change, read[i].oldDigest, read[i].newDigest,
                           read[i].place, read[i].outcome, read[i].made),
                  std::tie(files[i].path, files[i].change, files[i].oldDigest, files[i].newDigest,
                           files[i].place, files[i].outcome, files[i].made));
    }
    EXPECT_TRUE(store.passFiles(first).value().empty());
    EXPECT_TRUE(store.setPassRolledBack(second));
    auto passes = store.passesOf(here).value();
    ASSERT_EQ(passes.size(), 2u);
    EXPECT_EQ(passes[0].id, second);
    EXPECT_TRUE(passes[0].rolledBack);
    EXPECT_EQ(passes[1].id, first);
    EXPECT_FALSE(passes[1].rolledBack);
    EXPECT_EQ(store.passesOf(there).value().size(), 1u);

    for (int i = 0; i < SettingsStore::passesKept; ++i)
        store.beginPass(here);
    EXPECT_EQ(store.passesOf(here).value().size(), std::size_t(SettingsStore::passesKept));
    EXPECT_TRUE(store.passFiles(second).value().empty()) << "the files of a pass go with it";
    EXPECT_EQ(store.passesOf(there).value().size(), 1u);

    EXPECT_TRUE(store.addHeldMarker(here, "Interface/AddOns/Bagnon/Bagnon.lua.nopatch"));
    EXPECT_TRUE(store.addHeldMarker(here, "Interface/AddOns/Auctionator/Auctionator.lua.nopatch"));
    EXPECT_TRUE(store.addHeldMarker(here, "Interface/AddOns/Bagnon/Bagnon.lua.nopatch"));
    EXPECT_TRUE(store.addHeldMarker(there, "Interface/AddOns/Clique/Clique.lua.nopatch"));
    EXPECT_TRUE(store.removeHeldMarker(here, "Interface/AddOns/Bagnon/Bagnon.lua.nopatch"));
    EXPECT_EQ(store.heldMarkers(here),
              std::vector<std::string>{"Interface/AddOns/Auctionator/Auctionator.lua.nopatch"});
    EXPECT_EQ(store.heldMarkers(there),
              std::vector<std::string>{"Interface/AddOns/Clique/Clique.lua.nopatch"});

    // A record that cannot be read is told from an empty one.
    SettingsStore closed;
    EXPECT_FALSE(closed.passesOf(here));
    EXPECT_FALSE(closed.passFiles(second));
    EXPECT_FALSE(closed.heldMarkers(here));
}

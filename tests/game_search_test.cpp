#include "app/shell/game_location.h"
#include "app/shell/launcher.h"
#include "app/shell/process_start.h"
#include "app/shell/steam_library.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Paths = std::optional<std::vector<std::string>>;

std::string real(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

void makeExecutable(const std::string& path, const std::string& script) {
    writeFile(path, script);
    ::chmod(path.c_str(), 0755);
}

// A program that writes its WINEPREFIX and its arguments, one a line, to `record`.
std::string recordingScript(const std::string& record) {
    return "#!/bin/sh\n{ echo \"WINEPREFIX=$WINEPREFIX\"; printf '%s\\n' \"$@\"; } > '" + record +
           "'\n";
}

// A Wine prefix whose C: drive is its drive_c; its registry holds the game's key with
// `installPath` unless that is empty.
void makePrefix(const std::string& prefix, const std::string& installPath) {
    makeDirectories(prefix + "/drive_c");
    makeDirectories(prefix + "/dosdevices");
    ASSERT_EQ(::symlink("../drive_c", (prefix + "/dosdevices/c:").c_str()), 0);
    std::string registry = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n";
    if (!installPath.empty()) {
        std::string escaped;
        for (char c : installPath)
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        registry += "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
                    "\"InstallPath\"=\"" +
                    escaped + "\"\n";
    }
    writeFile(prefix + "/system.reg", registry);
}

// A Windows game executable: not a program this system runs by itself.
void makeGame(const std::string& directory, const std::string& executable) {
    writeFile(directory + "/" + executable, "MZ");
}

// Runs `body` in a child process started in `directory`; gives what the child wrote to `record`
// ("" when nothing did).
template <typename Body>
std::string inChild(const std::string& directory, const std::string& record, Body body) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(directory.c_str()) == 0)
            body();
        ::_exit(99);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return exists(record) ? readFile(record) : "";
}

// A home directory with the game in a Lutris prefix (its key names "Wow.exe", a runner is
// installed), a second Lutris game known only by its exe (with the runner set for every wine
// game), a malformed Lutris configuration, a Bottles bottle with its runner, an empty Flatpak
// bottle, and a Steam library with the game in a compatdata prefix.
class GameSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string lutris = home / ".config/lutris/games";
        makePrefix(home / "Games/wow", "C:\\Program Files\\World of Warcraft\\");
        makeGame(home / "Games/wow/drive_c/Program Files/World of Warcraft", "Wow.exe");
        writeFile(lutris + "/world-of-warcraft-1700000000.yml",
                  "game:\n  arch: win64\n  exe: drive_c/Program Files/World of Warcraft/Wow.exe\n"
                  "  prefix: ~/Games/wow\nsystem: {}\nwine:\n  version: lutris-7.2\n");
        makeExecutable(home / ".local/share/lutris/runners/wine/lutris-7.2/bin/wine",
                       recordingScript(record));

        makePrefix(home / "Games/classic-prefix", "");
        makeGame(home / "Games/classic", "WoW.exe");
        writeFile(home / ".local/share/lutris/games/classic.yaml",
                  "game:\n  exe: " + home / "Games/classic/WOW.EXE" +
                      "\n  prefix: " + home / "Games/classic-prefix" + "\n");
        writeFile(home / ".config/lutris/runners/wine.yml", "wine:\n  version: lutris-7.2\n");
        writeFile(lutris + "/broken.yml", "game:\n  prefix: [unclosed\n");
        writeFile(lutris + "/shaped-otherwise.yml", "game: 5\nwine: [1, 2]\n");
        writeFile(lutris + "/native.yml", "game:\n  exe: /usr/bin/true\n");

        const std::string bottles = home / ".local/share/bottles";
        makePrefix(bottles + "/bottles/Azeroth", "C:\\Games\\WoW\\");
        makeGame(bottles + "/bottles/Azeroth/drive_c/Games/WoW", "WoW.exe");
        writeFile(bottles + "/bottles/Azeroth/bottle.yml", "Name: Azeroth\nRunner: soda-7\n");
        makeExecutable(bottles + "/runners/soda-7/bin/wine", "#!/bin/sh\n");
        makePrefix(home / ".var/app/com.usebottles.bottles/data/bottles/bottles/Empty", "");

        const std::string steam = home / ".local/share/Steam";
        makeDirectories(home / ".steam");
        ASSERT_EQ(::symlink(steam.c_str(), (home / ".steam/steam").c_str()), 0);
        writeFile(steam + "/steamapps/libraryfolders.vdf",
                  "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" + steam +
                      "\"\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" + home / "SteamLibrary" +
                      "\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"2001\"\t\t\"1\"\n\t\t}\n\t}\n}\n");
        makePrefix(home / "SteamLibrary/steamapps/compatdata/2001/pfx", "D:\\WoW\\");
        makeDirectories(home / "SteamLibrary/games");
        ASSERT_EQ(
            ::symlink((home / "SteamLibrary/games").c_str(),
                      (home / "SteamLibrary/steamapps/compatdata/2001/pfx/dosdevices/d:").c_str()),
            0);
        makeGame(home / "SteamLibrary/games/WoW", "wow.exe");
    }

    TempDir home, elsewhere, records;
    std::string record = records / "record";
    ScopedEnv homeVariable{"HOME", home.path()};
    ScopedEnv noPrefix{"WINEPREFIX", nullptr};
    CurrentDirectory start{elsewhere.path()};
};

} // namespace

TEST(SteamLibraryFile, ListsEveryLibraryAndRefusesMalformedText) {
    const std::vector<std::pair<std::string, Paths>> cases = {
        {"\"libraryfolders\" { \"0\" { \"path\" \"/a\" \"apps\" { \"10\" \"5\" } }\n"
         "// a comment { \"path\" \"/no\"\n \"1\" { \"label\" \"x\" \"path\" \"/b \\\"c\\\\\" } }",
         Paths{{"/a", "/b \"c\\"}}},
        {"\"LibraryFolders\"\n{\n\t\"TimeNextStatsReport\"\t\t\"1\"\n\t\"1\"\t\t\"/old\"\n}\n",
         Paths{{"/old"}}},
        {"libraryfolders { 0 { path /unquoted } }", Paths{{"/unquoted"}}},
        {"\"libraryfolders\" { \"x\" { \"path\" \"/not-numbered\" } }",
         Paths{std::vector<std::string>{}}},
        {"", Paths{std::vector<std::string>{}}},
        {"\"libraryfolders\" { \"0\" { \"path\" \"/a\" }", std::nullopt},
        {"\"libraryfolders\" { } }", std::nullopt},
        {"\"libraryfolders\" { \"0\" { \"path\" \"/a", std::nullopt},
        {"\"libraryfolders\" { \"0\" }", std::nullopt},
        {std::string(40, '{'), std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(steamLibraryPaths(text), expected) << text;
}

TEST_F(GameSearchTest, FindsTheGameInEveryKindOfPrefix) {
    GameSearchResult search = searchGames(true);
    const std::string lutrisGame = real(home / "Games/wow/drive_c/Program Files/World of Warcraft");
    const std::string lutrisWine = home / ".local/share/lutris/runners/wine/lutris-7.2/bin/wine";
    const std::string bottle = real(home / ".local/share/bottles/bottles/Azeroth");
    const std::string steamPrefix = real(home / "SteamLibrary/steamapps/compatdata/2001/pfx");
    EXPECT_EQ(
        gameListLines(search),
        (std::vector<std::string>{
            "* " + lutrisGame + "\t" + real(home / "Games/wow") + "\tLutris " +
                home / ".config/lutris/games/world-of-warcraft-1700000000.yml, wine " + lutrisWine,
            "  " + real(home / "Games/classic") + "\t" + real(home / "Games/classic-prefix") +
                "\tLutris " + home / ".local/share/lutris/games/classic.yaml, wine " + lutrisWine,
            "  " + bottle + "/drive_c/Games/WoW\t" + bottle + "\tBottles Azeroth, wine " +
                home / ".local/share/bottles/runners/soda-7/bin/wine",
            "  " + real(home / "SteamLibrary/games/WoW") + "\t" + steamPrefix + "\tSteam app 2001",
        }));
    ASSERT_EQ(search.installations.size(), 4u);
    EXPECT_EQ(search.installations[0].executable, "Wow.exe");
    EXPECT_EQ(search.installations[0].source, GameSource::lutris);
    EXPECT_EQ(search.installations[1].executable, "WoW.exe");
    EXPECT_EQ(search.installations[3].executable, "wow.exe");
    EXPECT_EQ(search.installations[3].source, GameSource::steam);
    EXPECT_EQ(search.installations[3].runtime.wine, "") << "the PATH's wine";

    std::string looked = lookedText(search);
    for (const std::string& place :
         {elsewhere.path() + ": no WoW.exe\n", home / ".wine (~/.wine): no system.reg\n",
          home / ".config/lutris/games/broken.yml: not a readable Lutris configuration",
          "(Lutris " + home / ".config/lutris/games/native.yml): its exe /usr/bin/true is another",
          std::string("(Bottles Empty): no InstallPath of the game\n"),
          home / ".local/share/Steam/steamapps/compatdata: no Wine prefix\n"})
        EXPECT_NE(looked.find(place), std::string::npos) << place << " in\n" << looked;
    std::size_t steamRoot = looked.find("/steamapps/compatdata: no Wine prefix");
    EXPECT_EQ(looked.find("/steamapps/compatdata: no", steamRoot + 1), std::string::npos)
        << "Steam's two homes are one";

    // Start-up stops at the first, unless $WINEPREFIX names another prefix with the game.
    EXPECT_EQ(searchGames(false).installations.size(), 1u);
    ScopedEnv variable("WINEPREFIX", home / "SteamLibrary/steamapps/compatdata/2001/pfx");
    search = searchGames(true);
    ASSERT_EQ(search.installations.size(), 4u) << "the Steam game is listed once";
    EXPECT_EQ(search.installations[0].source, GameSource::winePrefixVariable);
    EXPECT_EQ(search.installations[0].origin, "$WINEPREFIX");
    EXPECT_EQ(search.installations[0].runtime.prefix, steamPrefix);

    search = enterGame();
    ASSERT_TRUE(search.used());
    EXPECT_EQ(real("."), real(home / "SteamLibrary/games/WoW"));
}

TEST_F(GameSearchTest, CurrentDirectoryComesFirstAndKeepsThePrefixAroundIt) {
    const std::string lutrisGame = home / "Games/wow/drive_c/Program Files/World of Warcraft";
    CurrentDirectory inGame(lutrisGame);
    GameSearchResult search = searchGames(false);
    ASSERT_EQ(search.installations.size(), 1u);
    const GameInstallation& here = search.installations[0];
    EXPECT_EQ(here.source, GameSource::currentDirectory);
    EXPECT_EQ(here.executable, "Wow.exe");
    EXPECT_EQ(here.runtime.prefix, real(home / "Games/wow"));
    EXPECT_EQ(here.runtime.wine, home / ".local/share/lutris/runners/wine/lutris-7.2/bin/wine");
    EXPECT_EQ(searchGames(true).installations.size(), 4u) << "the same game in its prefix, once";

    // A game outside every prefix keeps the environment's, as it always did.
    CurrentDirectory inClassic(home / "Games/classic");
    EXPECT_EQ(searchGames(false).installations[0].runtime.prefix, "");
    ScopedEnv variable("WINEPREFIX", home / "Games/classic-prefix");
    EXPECT_EQ(searchGames(false).installations[0].runtime.prefix,
              real(home / "Games/classic-prefix"));
}

TEST_F(GameSearchTest, NothingFoundSaysWhereItLooked) {
    std::filesystem::remove_all(home / ".config");
    std::filesystem::remove_all(home / ".local");
    std::filesystem::remove_all(home / ".var");
    std::filesystem::remove_all(home / "SteamLibrary");
    GameSearchResult search = enterGame();
    EXPECT_EQ(search.used(), nullptr);
    EXPECT_TRUE(gameListLines(search).empty());
    EXPECT_EQ(real("."), real(elsewhere.path()));
    EXPECT_EQ(lookedText(search),
              elsewhere.path() + ": no WoW.exe\n" + home / ".config/lutris/games" +
                  ": no Lutris game configuration\n" + home / ".local/share/lutris/games" +
                  ": no Lutris game configuration\n" + home / ".local/share/bottles/bottles" +
                  ": no bottle\n" + home / ".var/app/com.usebottles.bottles/data/bottles/bottles" +
                  ": no bottle\n" + home / ".steam/steam" + ": no Steam\n" +
                  home / ".local/share/Steam" + ": no Steam\n" + home / ".wine" +
                  " (~/.wine): no system.reg\n");
}

TEST_F(GameSearchTest, GameStartsInItsPrefixWithItsWine) {
    GameSearchResult search = searchGames(true);
    ASSERT_EQ(search.installations.size(), 4u);
    // As "Run WoW" starts the game the search found.
    auto runWoW = [](const GameInstallation& installation) {
        return [&installation] { startGame(installation, {"-windowed", "two words"}); };
    };
    // The Lutris runner's wine, straight away.
    const GameInstallation& lutris = search.installations[0];
    EXPECT_EQ(inChild(lutris.directory, record, runWoW(lutris)),
              "WINEPREFIX=" + real(home / "Games/wow") + "\nWow.exe\n-windowed\ntwo words\n");

    // No runner: the PATH's wine, after the game failed to start by itself.
    ::unlink(record.c_str());
    TempDir bin;
    makeExecutable(bin / "wine", recordingScript(record));
    ScopedEnv path("PATH", bin.path() + ":/usr/bin:/bin");
    ScopedEnv otherPrefix("WINEPREFIX", "/somewhere/else");
    const GameInstallation& steam = search.installations[3];
    EXPECT_EQ(inChild(steam.directory, record, runWoW(steam)),
              "WINEPREFIX=" + steam.runtime.prefix + "\nwow.exe\n-windowed\ntwo words\n");

    // The runner's wine never starts a game that is not there.
    ::unlink(record.c_str());
    EXPECT_EQ(inChild(elsewhere.path(), record, runWoW(lutris)), "");
    EXPECT_EQ(replaceProcess("Wow.exe", {}, true, lutris.runtime),
              "Wow.exe: No such file or directory");
    EXPECT_STREQ(std::getenv("WINEPREFIX"), "/somewhere/else") << "a failed start changes nothing";
}

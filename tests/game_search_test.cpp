#include "game/game_choice.h"
#include "game/game_location.h"
#include "game/launcher.h"
#include "game/process_start.h"
#include "game/steam_library.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sqlite3.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
        makePrefix(bottles + "/bottles/Azeroth", "C:\\Games\\World of Warcraft\\");
        makeGame(bottles + "/bottles/Azeroth/drive_c/Games/World of Warcraft", "WoW.exe");
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
        makePrefix(home / "SteamLibrary/steamapps/compatdata/2001/pfx", "D:\\World of Warcraft\\");
        makeDirectories(home / "SteamLibrary/games");
        ASSERT_EQ(
            ::symlink((home / "SteamLibrary/games").c_str(),
                      (home / "SteamLibrary/steamapps/compatdata/2001/pfx/dosdevices/d:").c_str()),
            0);
        makeGame(home / "SteamLibrary/games/World of Warcraft", "wow.exe");
        makeExecutable(home / "SteamLibrary/steamapps/common/Proton 8.0/proton",
                       recordingScript(record));
    }

    TempDir home, elsewhere, records;
    std::string record = records / "record";
    ScopedEnv homeVariable{"HOME", home.path()};
    ScopedEnv noPrefix{"WINEPREFIX", nullptr};
    ScopedEnv dataHome{"XDG_DATA_HOME", nullptr};
    ScopedEnv configHome{"XDG_CONFIG_HOME", nullptr};
    ScopedEnv systemTools{"MIRELGAN_STEAM_SYSTEM_TOOLS", ""};
    CurrentDirectory start{elsewhere.path()};
};

} // namespace

TEST(SteamLibraryFile, ListsEveryLibraryAndRefusesMalformedText) {
    const std::vector<std::pair<std::string, Paths>> cases = {
        {"\"libraryfolders\" { \"0\" { \"path\" \"/home/thrall/.local/share/Steam\" "
         "\"apps\" { \"10\" \"5\" } }\n"
         "// a comment { \"path\" \"/home/thrall/Kommentar\"\n \"1\" { \"label\" \"x\" \"path\" "
         "\"/mnt/Zweite Platte/Steam \\\"Bibliothek\\\\\" } }",
         Paths{{"/home/thrall/.local/share/Steam", "/mnt/Zweite Platte/Steam \"Bibliothek\\"}}},
        {"\"LibraryFolders\"\n{\n\t\"TimeNextStatsReport\"\t\t\"1\"\n\t\"1\"\t\t\"/home/thrall/"
         "Alte Bibliothek\"\n}\n",
         Paths{{"/home/thrall/Alte Bibliothek"}}},
        {"libraryfolders { 0 { path /media/spiele/SteamLibrary } }",
         Paths{{"/media/spiele/SteamLibrary"}}},
        {"\"libraryfolders\" { \"x\" { \"path\" \"/home/thrall/Nicht nummeriert\" } }",
         Paths{std::vector<std::string>{}}},
        {"", Paths{std::vector<std::string>{}}},
        {"\"libraryfolders\" { \"0\" { \"path\" \"/home/thrall/.local/share/Steam\" }",
         std::nullopt},
        {"\"libraryfolders\" { } }", std::nullopt},
        {"\"libraryfolders\" { \"0\" { \"path\" \"/home/thrall/.local/share/Steam", std::nullopt},
        {"\"libraryfolders\" { \"0\" }", std::nullopt},
        {std::string(40, '{'), std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(steamLibraryPaths(text), expected) << text;
}

TEST_F(GameSearchTest, FindsTheGameInEveryKindOfPrefix) {
    GameSearchResult search = searchGames({.everyInstallation = true});
    const std::string lutrisGame = real(home / "Games/wow/drive_c/Program Files/World of Warcraft");
    const std::string lutrisWine = home / ".local/share/lutris/runners/wine/lutris-7.2/bin/wine";
    const std::string bottle = real(home / ".local/share/bottles/bottles/Azeroth");
    const std::string steamPrefix = real(home / "SteamLibrary/steamapps/compatdata/2001/pfx");
    EXPECT_EQ(
        gameListLines(search),
        (std::vector<std::string>{
            "* 1\t" + real(home / "Games/classic") + "\t" + real(home / "Games/classic-prefix") +
                "\tLutris " + home / ".local/share/lutris/games/classic.yaml\twine " + lutrisWine +
                "\tused: found first",
            "  2\t" + lutrisGame + "\t" + real(home / "Games/wow") + "\tLutris " +
                home / ".config/lutris/games/world-of-warcraft-1700000000.yml\twine " + lutrisWine,
            "  3\t" + bottle + "/drive_c/Games/World of Warcraft\t" + bottle +
                "\tBottles Azeroth\twine " + home / ".local/share/bottles/runners/soda-7/bin/wine",
            "  4\t" + real(home / "SteamLibrary/games/World of Warcraft") + "\t" + steamPrefix +
                "\tSteam app 2001\tProton " + real(home / "SteamLibrary") +
                "/steamapps/common/Proton 8.0/proton",
        }));
    ASSERT_EQ(search.installations.size(), 4u);
    EXPECT_EQ(search.installations[1].executable, "Wow.exe");
    EXPECT_EQ(search.installations[1].source, GameSource::lutris);
    EXPECT_EQ(search.installations[0].executable, "WoW.exe");
    EXPECT_EQ(search.installations[3].executable, "wow.exe");
    EXPECT_EQ(search.installations[3].source, GameSource::steam);

    std::string looked = lookedText(search);
    for (const std::string& place :
         {elsewhere.path() + ": no WoW.exe\n", home / ".wine (~/.wine): no system.reg\n",
          home / ".config/lutris/games/broken.yml: not a readable Lutris configuration",
          std::string("(Bottles Empty): no InstallPath of the game\n"),
          home / ".local/share/Steam/steamapps/compatdata: no Wine prefix\n"})
        EXPECT_NE(looked.find(place), std::string::npos) << place << " in\n" << looked;
    EXPECT_EQ(looked.find("native.yml"), std::string::npos) << "a native game claims no prefix";
    std::size_t steamRoot = looked.find("/steamapps/compatdata: no Wine prefix");
    EXPECT_EQ(looked.find("/steamapps/compatdata: no", steamRoot + 1), std::string::npos)
        << "Steam's two homes are one";

    // $WINEPREFIX names the installation in its prefix: start-up stops there.
    ScopedEnv variable("WINEPREFIX", home / "SteamLibrary/steamapps/compatdata/2001/pfx");
    search = searchGames({.everyInstallation = true});
    ASSERT_EQ(search.installations.size(), 4u) << "the Steam game is listed once";
    EXPECT_EQ(search.installations[0].source, GameSource::winePrefixVariable);
    EXPECT_EQ(search.installations[0].runtime.prefix, steamPrefix);
    EXPECT_EQ(gameListLines(search)[0].substr(gameListLines(search)[0].find("\t$WINEPREFIX")),
              "\t$WINEPREFIX, in the prefix of Steam app 2001\tProton " +
                  real(home / "SteamLibrary") +
                  "/steamapps/common/Proton 8.0/proton\tused: named by $WINEPREFIX")
        << "the prefix's launcher starts it however it was found";
    search = enterGame();
    ASSERT_TRUE(search.used());
    EXPECT_EQ(search.installations.size(), 1u);
    EXPECT_EQ(real("."), real(home / "SteamLibrary/games/World of Warcraft"));
    // The choice among all is offered from where start-up began, not from the game directory.
    GameSearchResult every = searchEveryInstallation(search);
    EXPECT_EQ(every.installations.size(), 4u);
    EXPECT_EQ(every.whyUsed(), "named by $WINEPREFIX");
}

// Several installations: the one named, else the one chosen before, else the one played last.
TEST_F(GameSearchTest, UsesTheInstallationThePlayerMeans) {
    TempDir state;
    Settings settings(state / "settings.db");
    auto search = [&] { return searchGames({.everyInstallation = false, .settings = &settings}); };
    GameSearchResult found = search();
    ASSERT_EQ(found.installations.size(), 4u);
    const std::string bottle = found.installations[2].directory;
    const std::string steamGame = found.installations[3].directory;
    EXPECT_EQ(found.notes.at(0), "Using " + found.installations[0].directory +
                                     ", found first of 4 installations of WoW, none played yet; "
                                     "choose another under Configure or with pelvar-cli --game");
    // The game rewrites its settings and caches each time it runs.
    writeFile(bottle + "/WTF/Config.wtf", "SET gxWindow \"1\"\n");
    writeFile(steamGame + "/wdb/enUS/itemcache.wdb", "WDB");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (bottle + "/WTF/Config.wtf").c_str(), times, 0), 0);
    EXPECT_TRUE(search().notes.at(0).starts_with("Using " + steamGame + ", played last of 4"));

    // A choice, stored by its directory however long, is used at every start.
    EXPECT_EQ(chooseInstallation(settings, found, home / "nowhere"),
              "no installation of the game was found in " + home / "nowhere");
    const std::string longName = home / (std::string(150, 'x') + "/World of Warcraft ") +
                                 std::string(150, 'y') + " \xc3\x9c";
    makeDirectories(longName);
    ASSERT_EQ(::rename(bottle.c_str(), longName.c_str()), 0);
    ASSERT_EQ(::symlink(longName.c_str(), bottle.c_str()), 0);
    EXPECT_EQ(chooseInstallation(settings, searchEveryInstallation(search()), longName), "");
    found = search();
    EXPECT_EQ(found.used()->directory, longName);
    EXPECT_TRUE(found.notes.empty());
    std::vector<InstallationRow> rows = installationRows(searchEveryInstallation(found));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2].label, longName + "  (Bottles Azeroth)");
    EXPECT_TRUE(rows[2].used && rows[2].why == "chosen" && !rows[1].used && rows[1].why == "");
    EXPECT_EQ(rows[1].label,
              found.installations[1].directory + "  (Lutris world-of-warcraft-1700000000.yml)");
    // A short choice leaves no piece of a long one; a long one with a torn piece is dropped.
    ASSERT_EQ(chooseInstallation(settings, found, steamGame), "");
    EXPECT_EQ(settings.readString("GameDirectory2"), "") << "no piece of the long choice is left";
    ASSERT_EQ(chooseInstallation(settings, found, longName), "");
    settings.writeString("GameDirectory2", "torn"); // one of its pieces
    found = search();
    EXPECT_EQ(found.whyUsed(), "played last");
    EXPECT_EQ(found.notes.at(0), "The game chosen before could not be read: the choice is dropped");
    ASSERT_EQ(chooseInstallation(settings, found, steamGame), "");

    // One whose game is gone is dropped, and says so; the only one needs no choice.
    std::filesystem::remove_all(home / "Games");
    std::filesystem::remove_all(steamGame);
    found = search();
    ASSERT_EQ(found.installations.size(), 1u) << lookedText(found);
    EXPECT_EQ(found.whyUsed(), "the only one");
    EXPECT_EQ(found.notes.at(0), "The game chosen before, in " + steamGame +
                                     ", is no longer there: the choice is dropped");
    EXPECT_FALSE(storedGameChoice(settings).present);
}

TEST_F(GameSearchTest, CurrentDirectoryComesFirstAndKeepsThePrefixAroundIt) {
    const std::string lutrisGame = home / "Games/wow/drive_c/Program Files/World of Warcraft";
    CurrentDirectory inGame(lutrisGame);
    GameSearchResult search = searchGames();
    ASSERT_EQ(search.installations.size(), 1u);
    EXPECT_EQ(search.whyUsed(), "named by the current directory");
    const GameInstallation& here = search.installations[0];
    EXPECT_EQ(here.source, GameSource::currentDirectory);
    EXPECT_EQ(here.executable, "Wow.exe");
    EXPECT_EQ(here.runtime.prefix, real(home / "Games/wow"));
    EXPECT_EQ(here.runtime.wine, home / ".local/share/lutris/runners/wine/lutris-7.2/bin/wine");
    EXPECT_EQ(searchGames({.everyInstallation = true}).installations.size(), 4u)
        << "the same game in its prefix, once";

    // A game outside every prefix keeps the environment's, as it always did.
    CurrentDirectory inClassic(home / "Games/classic");
    EXPECT_EQ(searchGames().installations[0].runtime.prefix, "");
    ScopedEnv variable("WINEPREFIX", home / "Games/classic-prefix");
    EXPECT_EQ(searchGames().installations[0].runtime.prefix, real(home / "Games/classic-prefix"));
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
    std::string looked = elsewhere.path() + ": no WoW.exe\n";
    for (const std::string& lutris : {home / ".local/share/lutris", home / ".config/lutris",
                                      home / ".var/app/net.lutris.Lutris/data/lutris",
                                      home / ".var/app/net.lutris.Lutris/config/lutris"})
        looked += lutris + "/games: no Lutris game configuration\n";
    for (const std::string& bottles :
         {home / ".local/share/bottles", home / ".var/app/com.usebottles.bottles/data/bottles"})
        looked += bottles + "/bottles: no bottle\n";
    for (const std::string& steam : {home / ".steam/steam", home / ".local/share/Steam",
                                     home / ".var/app/com.valvesoftware.Steam/.local/share/Steam"})
        looked += steam + ": no Steam\n";
    EXPECT_EQ(lookedText(search), looked + home / ".wine" + " (~/.wine): no system.reg\n");
}

TEST_F(GameSearchTest, GameStartsInItsPrefixWithItsWine) {
    GameSearchResult search = searchGames({.everyInstallation = true});
    ASSERT_EQ(search.installations.size(), 4u);
    std::swap(search.installations[0], search.installations[1]);
    // As "Run WoW" starts the game the search found.
    auto runWoW = [](const GameInstallation& installation) {
        return [&installation] { startGame(installation, {"-windowed", "two words"}); };
    };
    // The Lutris runner's wine, straight away.
    const GameInstallation& lutris = search.installations[0];
    EXPECT_EQ(inChild(lutris.directory, record, runWoW(lutris)),
              "WINEPREFIX=" + real(home / "Games/wow") + "\nWow.exe\n-windowed\ntwo words\n");

    // A prefix that no launcher owns: the PATH's wine.
    ::unlink(record.c_str());
    TempDir bin;
    makeExecutable(bin / "wine", recordingScript(record));
    ScopedEnv path("PATH", bin.path() + ":/usr/bin:/bin");
    ScopedEnv otherPrefix("WINEPREFIX", "/home/thrall/.wine-anderes-spiel");
    GameInstallation plain = search.installations[3];
    plain.runtime = WineRuntime{};
    plain.runtime.prefix = search.installations[3].runtime.prefix;
    EXPECT_EQ(inChild(plain.directory, record, runWoW(plain)),
              "WINEPREFIX=" + plain.runtime.prefix + "\nwow.exe\n-windowed\ntwo words\n");

    // The runner's wine never starts a game that is not there.
    ::unlink(record.c_str());
    GameInstallation moved = lutris;
    moved.directory = elsewhere.path();
    EXPECT_EQ(inChild(elsewhere.path(), record, runWoW(moved)), "");
    EXPECT_EQ(startGame(moved, {}), "Wow.exe: No such file or directory");
    EXPECT_STREQ(std::getenv("WINEPREFIX"), "/home/thrall/.wine-anderes-spiel")
        << "a failed start changes nothing";
}

namespace {

// A WoW.exe as the game ships it: a PE file for 32-bit x86.
std::string peProgram() {
    std::string file(0x80, '\0');
    file.replace(0, 2, "MZ");
    file[0x3C] = 0x40; // where the PE header starts
    file.replace(0x40, 6, std::string("PE\0\0\x4C\x01", 6));
    return file;
}

// A runner that writes how it was started to `record`: its own path, its argument count and
// arguments one a line, then its whole environment.
std::string startRecorder(const std::string& record) {
    return "#!/bin/sh\n{ echo \"$0\"; echo $#; printf '%s\\n' \"$@\"; env; } > '" + record + "'\n";
}

struct Started {
    std::string program;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
};

Started parseStart(const std::string& recorded) {
    std::istringstream lines(recorded);
    Started started;
    std::string line;
    std::getline(lines, started.program);
    std::getline(lines, line);
    for (int count = std::stoi(line); count > 0 && std::getline(lines, line); --count)
        started.arguments.push_back(line);
    while (std::getline(lines, line))
        if (std::size_t equals = line.find('='); equals != std::string::npos)
            started.environment[line.substr(0, equals)] = line.substr(equals + 1);
    return started;
}

// What a fake launcher home holds: configuration files (their "~" stands for the home), runners
// that record how they were started, the game, directories, Wine prefixes whose game key holds an
// InstallPath ("" for none), Lutris's database of games (SQL values of runner, configpath and
// directory), and the dconf database with Bottles' directory for bottles.
struct HomeFile {
    enum Kind { text, runner, game, directory, prefix, database, dconf } kind;
    std::string path;
    std::string content = {};
};
using Layout = std::vector<HomeFile>;

Layout operator+(Layout layout, const Layout& more) {
    layout.insert(layout.end(), more.begin(), more.end());
    return layout;
}

// A dconf database with the string `value` at /com/usebottles/bottles/custom-bottles-path, in
// GVDB's 32-bit words: the header, the root hash table (one bucket) with two items, the key's
// directory and the key, each naming its parent and its part of the name; the parts; the value.
std::string dconfDatabase(const std::string& value) {
    const std::string directory = "/com/usebottles/bottles/", key = "custom-bottles-path";
    auto size = [](const std::string& text) { return static_cast<std::uint32_t>(text.size()); };
    const std::uint32_t parts = 24 + 12 + 2 * 24, variant = parts + size(directory + key);
    std::string file = "GVariant";
    for (std::uint32_t word : {0u, 0u, 24u, parts, 0u, 1u, 0u, 0u, 0xFFFFFFFFu, parts,
                               size(directory) | 'L' << 16, 0u, 0u, 0u, 0u, parts + size(directory),
                               size(key) | 'v' << 16, variant, variant + size(value) + 3})
        for (int shift = 0; shift < 32; shift += 8)
            file += static_cast<char>(word >> shift);
    return file + directory + key + value + std::string("\0\0s", 3);
}

std::string withHome(std::string text, const std::string& home) {
    for (std::size_t at = 0; (at = text.find('~', at)) != std::string::npos; at += home.size())
        text.replace(at, 1, home);
    return text;
}

void layOut(const std::string& home, const Layout& layout, const std::string& record) {
    for (const HomeFile& file : layout) {
        const std::string path = home + "/" + file.path;
        switch (file.kind) {
        case HomeFile::text:
            writeFile(path, withHome(file.content, home));
            break;
        case HomeFile::runner:
            makeExecutable(path, startRecorder(record));
            break;
        case HomeFile::game:
            writeFile(path, peProgram());
            break;
        case HomeFile::directory:
            makeDirectories(path);
            break;
        case HomeFile::prefix:
            makePrefix(path, file.content);
            break;
        case HomeFile::dconf:
            writeFile(path, dconfDatabase(home + file.content));
            break;
        case HomeFile::database: {
            sqlite3* db = nullptr;
            EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            const std::string sql =
                "CREATE TABLE games (id INTEGER PRIMARY KEY, name TEXT, slug "
                "TEXT, runner TEXT, directory TEXT, configpath TEXT, lastplayed "
                "INTEGER); INSERT INTO games (runner, configpath, directory) VALUES " +
                withHome(file.content, home);
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
            break;
        }
        }
    }
}

const std::string lutrisRunners = ".local/share/lutris/runners/wine/";
const std::string lutrisConfiguration = ".config/lutris/games/world-of-warcraft.yml";
const std::string lutrisRunner = lutrisRunners + "lutris-7.2-2-x86_64";
const std::string wowInLutris = "Games/wow/drive_c/Program Files/World of Warcraft";

// A Lutris game in its prefix, its runner's options given by `wine`.
Layout lutrisGame(const std::string& wine) {
    return {{HomeFile::prefix, "Games/wow", "C:\\Program Files\\World of Warcraft\\"},
            {HomeFile::game, wowInLutris + "/Wow.exe", ""},
            {HomeFile::text, lutrisConfiguration,
             "game:\n  arch: win64\n  exe: drive_c/Program Files/World of Warcraft/Wow.exe\n"
             "  prefix: ~/Games/wow\nsystem:\n  env:\n    DXVK_HUD: fps,devinfo\n"
             "    __GL_SHADER_DISK_CACHE: 1\nwine:\n" +
                 wine}};
}

const std::string lutrisOptions = "  version: lutris-7.2-2-x86_64\n  esync: true\n  fsync: false\n"
                                  "  dxvk: true\n  vkd3d: false\n  overrides:\n"
                                  "    dinput8: native,builtin\n    d3d9: builtin\n";
const Layout lutrisWithRunner =
    lutrisGame(lutrisOptions) + Layout{{HomeFile::runner, lutrisRunner + "/bin/wine", ""}};

using Variables = std::vector<std::pair<std::string, std::string>>;
const Variables lutrisVariables = {
    {"WINEDEBUG", "-all"},
    {"WINEESYNC", "1"},
    {"WINEFSYNC", "0"},
    {"WINEDLLOVERRIDES",
     "winemenubuilder.exe=;d3d9=b;d3d10core=n,b;d3d11=n,b;dxgi=n,b;dinput8=n,b"},
    {"DXVK_HUD", "fps,devinfo"},
    {"__GL_SHADER_DISK_CACHE", "1"},
};

const std::string bottles = ".local/share/bottles/";

Layout bottle(const std::string& directory, const std::string& runner,
              const std::string& parameters) {
    return {{HomeFile::prefix, directory, "C:\\Games\\World of Warcraft\\"},
            {HomeFile::game, directory + "/drive_c/Games/World of Warcraft/WoW.exe", ""},
            {HomeFile::text, directory + "/bottle.yml",
             "Arch: win64\nCustom_Path: false\nDLL_Overrides:\n  dinput8: n,b\nDXVK: dxvk-2.3\n"
             "Environment: Gaming\nEnvironment_Variables:\n  DXVK_HUD: compiler\n  MANGOHUD: '1'\n"
             "Name: Azeroth\nParameters:\n" +
                 parameters + "Path: Azeroth\nRunner: " + runner + "\nVersioning: false\n"}};
}

const std::string flatpakBottles = ".var/app/com.usebottles.bottles/data/bottles/";
const Layout sodaRunner = {{HomeFile::runner, bottles + "runners/soda-7.0-9/bin/wine", ""}};

const std::string steamApps = "SteamLibrary/steamapps/";
const std::string steamPrefix = steamApps + "compatdata/2001/pfx";
const std::string steamTools = ".local/share/Steam/compatibilitytools.d/";
const std::string flatpakSteam = ".var/app/com.valvesoftware.Steam/";

// A Steam library with the game in app 2001's prefix (its InstallPath without the trailing
// backslash), three Protons and a runtime that is none, and config.vdf's CompatToolMapping; under
// `root`, where Steam's Flatpak keeps its home, unless that is empty.
Layout steam(const std::string& mapping, const std::string& root = "") {
    return {{HomeFile::prefix, root + steamPrefix, "C:\\Games\\World of Warcraft"},
            {HomeFile::game, root + steamPrefix + "/drive_c/Games/World of Warcraft/Wow.exe", ""},
            {HomeFile::text, root + ".local/share/Steam/steamapps/libraryfolders.vdf",
             "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"~/.local/share/Steam\"\n\t}\n"
             "\t\"1\"\n\t{\n\t\t\"path\"\t\t\"~/SteamLibrary\"\n\t}\n}\n"},
            {HomeFile::text, root + ".local/share/Steam/config/config.vdf",
             "\"InstallConfigStore\"\n{\n\t\"Software\"\n\t{\n\t\t\"Valve\"\n\t\t{\n"
             "\t\t\t\"Steam\"\n\t\t\t{\n\t\t\t\t\"CompatToolMapping\"\n\t\t\t\t{\n" +
                 mapping + "\t\t\t\t}\n\t\t\t}\n\t\t}\n\t}\n}\n"},
            {HomeFile::runner, root + steamApps + "common/Proton 7.0/proton", ""},
            {HomeFile::runner, root + steamApps + "common/Proton 8.0/proton", ""},
            {HomeFile::runner, root + steamApps + "common/Proton - Experimental/proton", ""},
            {HomeFile::directory, root + steamApps + "common/SteamLinuxRuntime_sniper", ""}};
}

std::string mapped(const std::string& app, const std::string& tool) {
    return "\t\t\t\t\t\"" + app + "\"\n\t\t\t\t\t{\n\t\t\t\t\t\t\"name\"\t\t\"" + tool +
           "\"\n\t\t\t\t\t\t\"config\"\t\t\"\"\n\t\t\t\t\t\t\"priority\"\t\t\"250\"\n\t\t\t\t\t}\n";
}

// A tool of one's own in compatibilitytools.d, which says its name in compatibilitytool.vdf.
Layout ownTool(const std::string& directory, const std::string& tool,
               const std::string& tools = steamTools) {
    return {{HomeFile::runner, tools + directory + "/proton", ""},
            {HomeFile::text, tools + directory + "/compatibilitytool.vdf",
             "\"compatibilitytools\"\n{\n  \"compat_tools\"\n  {\n    \"" + tool +
                 "\" // an internal name\n    {\n      \"install_path\" \".\"\n"
                 "      \"display_name\" \"" +
                 tool +
                 "\"\n      \"from_oslist\" \"windows\"\n      \"to_oslist\" \"linux\"\n"
                 "    }\n  }\n}\n"}};
}

const Variables steamVariables = {
    {"STEAM_COMPAT_DATA_PATH", "~/SteamLibrary/steamapps/compatdata/2001"},
    {"STEAM_COMPAT_CLIENT_INSTALL_PATH", "~/.local/share/Steam"},
    {"SteamAppId", "2001"},
    {"SteamGameId", "2001"},
    {"STEAM_COMPAT_APP_ID", "2001"},
    {"WINEESYNC", ""},
    {"WINEDLLOVERRIDES", ""},
};

// A launcher's layout in a fresh home, how the game is reached there, and how it must start:
// the program (under the home; "" for the PATH's wine), its arguments before the game's own,
// the prefix, the variables ("" for one that must be unset); or why it cannot.
struct LaunchCase {
    const char* name = "";
    Layout layout = {};
    std::string winePrefix = {};     // $WINEPREFIX, under the home; "" for none
    std::string startDirectory = {}; // under the home; "" for a directory elsewhere
    std::string program = {};
    std::vector<std::string> arguments = {};
    std::string prefix = {};
    Variables variables = {};
    std::string failure = {};   // "~" for the home
    Variables environment = {}; // set for the search and the start
};

// Lutris turns fsync on by default only where the kernel has futex_waitv (or futex2).
const bool kernelFsync = ::syscall(449, nullptr, 0, 0, nullptr, 0) == 0 || errno != ENOSYS ||
                         std::filesystem::is_directory("/sys/kernel/futex2");
const std::string lutrisData = ".local/share/lutris/";
const std::string lutrisFlatpak = ".var/app/net.lutris.Lutris/data/lutris/";

// The Lutris game started as Lutris starts it, however the search reached its prefix.
LaunchCase startedByLutris(const char* name, const std::string& winePrefix,
                           const std::string& startDirectory, const Layout& more = {}) {
    return {.name = name,
            .layout = lutrisWithRunner + more,
            .winePrefix = winePrefix,
            .startDirectory = startDirectory,
            .program = lutrisRunner + "/bin/wine",
            .arguments = {"Wow.exe"},
            .prefix = "Games/wow",
            .variables = lutrisVariables};
}

const std::vector<LaunchCase> launchCases = {
    startedByLutris("Lutris, through its prefix's registry", "", ""),
    startedByLutris("Lutris's prefix as $WINEPREFIX", "Games/wow", ""),
    startedByLutris("the current directory in Lutris's prefix", "", wowInLutris),
    {.name = "Lutris's exe, its layout's shared settings and the newest runner",
     .layout = {{HomeFile::prefix, "Games/classic-prefix", ""},
                {HomeFile::game, "Games/classic/WoW.exe", ""},
                {HomeFile::text, lutrisData + "games/classic.yaml",
                 "game:\n  exe: ~/Games/classic/WoW.exe\n  prefix: ~/Games/classic-prefix\n"
                 "system:\n  env:\n    OWN: game\n    WINEFSYNC: '1'\n"},
                {HomeFile::text, lutrisData + "system.yml",
                 "system:\n  env:\n    SHARED: system\n    OWN: system\n    RUNNER: system\n"
                 "    WINEDEBUG: +relay\n    WINEESYNC: '0'\n"},
                {HomeFile::text, lutrisData + "runners/wine.yml",
                 "system:\n  env:\n    RUNNER: wine\n"},
                {HomeFile::text, ".config/lutris/runners/wine.yml",
                 "wine:\n  version: lutris-7.2-2-x86_64\n"},
                {HomeFile::runner, lutrisRunners + "lutris-7.2-2-x86_64/bin/wine", ""},
                {HomeFile::runner, lutrisRunners + "lutris-8.0-1-x86_64/bin/wine", ""},
                {HomeFile::directory, lutrisRunners + "lutris-9.0-empty", ""}},
     .program = lutrisRunners + "lutris-8.0-1-x86_64/bin/wine",
     .arguments = {"WoW.exe"},
     .prefix = "Games/classic-prefix",
     .variables = {{"WINEESYNC", "1"},
                   {"WINEFSYNC", "1"},
                   {"WINEDEBUG", "-all"},
                   {"WINEDLLOVERRIDES", "winemenubuilder.exe=;d3d9=n,b;d3d10core=n,b;d3d11=n,b;"
                                        "dxgi=n,b;d3d12=n,b;d3d12core=n,b"},
                   {"SHARED", "system"},
                   {"RUNNER", "wine"},
                   {"OWN", "game"}}},
    {.name = "Lutris's runner is not installed",
     .layout = lutrisGame("  version: lutris-9\n"),
     .winePrefix = "Games/wow",
     .failure = "Lutris's wine runner lutris-9 is not installed (looked for ~/" + lutrisRunners +
                "lutris-9/bin/wine)"},
    {.name = "a bottle, through its registry",
     .layout = bottle(bottles + "bottles/Azeroth", "soda-7.0-9", "  dxvk: true\n  sync: fsync\n") +
               sodaRunner,
     .program = bottles + "runners/soda-7.0-9/bin/wine",
     .arguments = {"WoW.exe"},
     .prefix = bottles + "bottles/Azeroth",
     .variables = {{"WINEFSYNC", "1"},
                   {"WINEESYNC", ""},
                   {"WINEDLLOVERRIDES", "winemenubuilder.exe=;d3d9=n,b;d3d10core=n,b;"
                                        "d3d11=n,b;dxgi=n,b;dinput8=n,b"},
                   {"DXVK_HUD", "compiler"},
                   {"MANGOHUD", "1"}}},
    {.name = "a bottle kept elsewhere, as $WINEPREFIX",
     .layout =
         bottle("Custom/Azeroth", "soda-7.0-9", "  sync: esync\n  vkd3d: true\n") + sodaRunner,
     .winePrefix = "Custom/Azeroth",
     .program = bottles + "runners/soda-7.0-9/bin/wine",
     .arguments = {"WoW.exe"},
     .prefix = "Custom/Azeroth",
     .variables = {{"WINEESYNC", "1"},
                   {"WINEFSYNC", ""},
                   {"WINEDLLOVERRIDES", "winemenubuilder.exe=;d3d12=n,b;d3d12core=n,b;dinput8=n,b"},
                   {"DXVK_HUD", "compiler"}}},
    {.name = "a bottle on the system's wine",
     .layout = bottle(bottles + "bottles/Azeroth", "sys-wine-9.0", "  sync: wine\n"),
     .arguments = {"WoW.exe"},
     .prefix = bottles + "bottles/Azeroth",
     .variables = {{"WINEESYNC", ""},
                   {"WINEFSYNC", ""},
                   {"WINEDLLOVERRIDES", "winemenubuilder.exe=;dinput8=n,b"}}},
    {.name = "a bottle's runner is not installed",
     .layout = bottle(bottles + "bottles/Azeroth", "caffe-7.20", ""),
     .failure = "Bottles' runner caffe-7.20 is not installed (looked in "
                "~/.local/share/bottles/runners, "
                "~/.var/app/com.usebottles.bottles/data/bottles/runners)"},
    {.name = "Steam: the Proton that config.vdf maps to the app",
     .layout = steam(mapped("2001", "proton_7") + mapped("0", "proton_experimental")),
     .program = steamApps + "common/Proton 7.0/proton",
     .arguments = {"waitforexitandrun", "Wow.exe"},
     .prefix = steamPrefix,
     .variables = steamVariables},
    {.name = "Steam: the Proton mapped to every app",
     .layout = steam(mapped("0", "proton_experimental")),
     .program = steamApps + "common/Proton - Experimental/proton",
     .arguments = {"waitforexitandrun", "Wow.exe"},
     .prefix = steamPrefix,
     .variables = steamVariables},
    {.name = "Steam: no mapping, the newest Proton",
     .layout = steam(mapped("999", "proton_7")) + ownTool("GE-Proton9-20", "GE-Proton9-20"),
     .program = steamTools + "GE-Proton9-20/proton",
     .arguments = {"waitforexitandrun", "Wow.exe"},
     .prefix = steamPrefix,
     .variables = steamVariables},
    {.name = "Steam: a tool of one's own, as $WINEPREFIX",
     .layout = steam(mapped("2001", "GE-Proton8-25")) + ownTool("ge8", "GE-Proton8-25") +
               ownTool("GE-Proton9-20", "GE-Proton9-20"),
     .winePrefix = steamPrefix,
     .program = steamTools + "ge8/proton",
     .arguments = {"waitforexitandrun", "Wow.exe"},
     .prefix = steamPrefix,
     .variables = steamVariables},
    {.name = "Steam: the mapped Proton is not installed",
     .layout = steam(mapped("2001", "proton_9")),
     .failure = "Proton proton_9, which Steam's config.vdf maps to app 2001, is not installed "
                "(looked in ~/.local/share/Steam/compatibilitytools.d, ~/system-tools, "
                "~/.local/share/Steam/steamapps/common, ~/SteamLibrary/steamapps/common)"},
    {.name = "Steam: the Proton mapped to the app installed for every user",
     .layout = steam(mapped("2001", "Proton-9.0-System")) +
               ownTool("proton-system", "Proton-9.0-System", "system-tools/"),
     .program = "system-tools/proton-system/proton",
     .arguments = {"waitforexitandrun", "Wow.exe"},
     .prefix = steamPrefix,
     .variables = steamVariables},
    {.name = "Steam's Flatpak, whose sandbox keeps its own home",
     .layout = steam(mapped("2001", "proton_7"), flatpakSteam),
     .program = flatpakSteam + steamApps + "common/Proton 7.0/proton",
     .arguments = {"waitforexitandrun", "Wow.exe"},
     .prefix = flatpakSteam + steamPrefix,
     .variables = {{"STEAM_COMPAT_DATA_PATH", "~/" + flatpakSteam + steamApps + "compatdata/2001"},
                   {"STEAM_COMPAT_CLIENT_INSTALL_PATH", "~/" + flatpakSteam + ".local/share/Steam"},
                   {"SteamAppId", "2001"}}},
    {.name = "Lutris 0.5.13's layout: its runner, never the newest, a relative exe from the "
             "game's directory in pga.db, and the game's args",
     .layout =
         {{HomeFile::prefix, "Games/wow-prefix", ""},
          {HomeFile::game, "Games/Spiele/World of Warcraft/Wow.exe"},
          {HomeFile::game, "Games/wow-prefix/World of Warcraft/Wow.exe"},
          {HomeFile::text, lutrisData + "games/wow-1700000000.yml",
           "game:\n  exe: World of Warcraft/Wow.exe\n  prefix: ~/Games/wow-prefix\n"
           "  args: -uid wow_enus \"a b\" 'c d'\nwine:\n  fsync: true\n"},
          {HomeFile::database, lutrisData + "pga.db",
           "('wine', 'other-1', '~/Games/Other'), ('wine', 'wow-1700000000', '~/Games/Spiele')"},
          {HomeFile::text, lutrisData + "system.yml", "system:\n  env:\n    A: b\n"},
          {HomeFile::text, lutrisData + "runners/wine.yml",
           "wine:\n  version: lutris-7.2-2-x86_64\n  show_debug: +fps\n"},
          {HomeFile::runner, lutrisRunner + "/bin/wine"},
          {HomeFile::runner, lutrisRunners + "lutris-8.0-1-x86_64/bin/wine"}},
     .program = lutrisRunner + "/bin/wine",
     .arguments = {"Wow.exe", "-uid", "wow_enus", "a b", "c d"},
     .prefix = "Games/wow-prefix",
     .variables = {{"WINEDEBUG", "+fps"},
                   {"WINEFSYNC", "1"},
                   {"A", "b"},
                   {"PWD", "~/Games/Spiele/World of Warcraft"}}},
    {.name = "Lutris's two layouts under $XDG_CONFIG_HOME and $XDG_DATA_HOME, each its own; an "
             "exe outside every prefix: ~/.wine",
     .layout = {{HomeFile::game, "Games/loose/WoW.exe"},
                {HomeFile::text, "Config/lutris/games/loose.yml",
                 "game:\n  exe: ~/Games/loose/WoW.exe\n"},
                {HomeFile::text, "Config/lutris/runners/wine.yml",
                 "wine:\n  version: lutris-7.2-2-x86_64\n"},
                {HomeFile::text, "Data/lutris/runners/wine.yml",
                 "wine:\n  version: lutris-8.0-1-x86_64\n  show_debug: +all\n"},
                {HomeFile::text, "Data/lutris/games/other.yml", "game:\n  exe: ~/x.exe\n"},
                {HomeFile::runner, "Data/lutris/runners/wine/lutris-7.2-2-x86_64/bin/wine"}},
     .program = "Data/lutris/runners/wine/lutris-7.2-2-x86_64/bin/wine",
     .arguments = {"WoW.exe"},
     .prefix = ".wine",
     .variables = {{"WINEDEBUG", "-all"}, {"WINEFSYNC", kernelFsync ? "1" : "0"}},
     .environment = {{"XDG_CONFIG_HOME", "~/Config"}, {"XDG_DATA_HOME", "~/Data"}}},
    {.name = "Lutris's Flatpak, its exe without a prefix, in another case: the prefix above it",
     .layout = {{HomeFile::prefix, "Games/wow", ""},
                {HomeFile::game, wowInLutris + "/Wow.exe"},
                {HomeFile::text, lutrisFlatpak + "games/wow.yml",
                 "game:\n  exe: ~/Games/wow/drive_c/PROGRAM FILES/world of warcraft/WOW.EXE\n"
                 "wine:\n  show_debug: inherit\n"},
                {HomeFile::runner, lutrisFlatpak + "runners/wine/wine-ge-8/bin/wine"}},
     .program = lutrisFlatpak + "runners/wine/wine-ge-8/bin/wine",
     .arguments = {"Wow.exe"},
     .prefix = "Games/wow",
     .variables = {{"WINEDEBUG", ""}}},
    {.name = "a name matched ignoring case as Wine does, beyond ASCII",
     .layout = {{HomeFile::prefix, ".wine", "C:\\G\\W\xc3\xb6rld\\"},
                {HomeFile::game, ".wine/drive_c/G/W\xc3\x96RLD/WoW.exe"}},
     .arguments = {"WoW.exe"},
     .prefix = ".wine"},
    {.name = "a bottle at a path of its own, in the directory for bottles the desktop's settings "
             "name",
     .layout = bottle("Elsewhere/Azeroth", "soda-7.0-9", "") + sodaRunner +
               Layout{{HomeFile::text, "Zweite Platte/Bottles/Azeroth/placeholder.yml",
                       "Path: ~/Elsewhere/Azeroth\n"},
                      {HomeFile::dconf, ".config/dconf/user", "/Zweite Platte/Bottles"}},
     .program = bottles + "runners/soda-7.0-9/bin/wine",
     .arguments = {"WoW.exe"},
     .prefix = "Elsewhere/Azeroth"},
    {.name = "a 64-bit bottle in Bottles' own directory for bottles, with its runner's wine64",
     .layout =
         bottle("Flaschen/Azeroth", "soda-7.0-9", "") +
         Layout{{HomeFile::text, ".var/app/com.usebottles.bottles/config/glib-2.0/settings/keyfile",
                 "[org/gnome/desktop]\ncustom-bottles-path='/nowhere'\n"
                 "[com/usebottles/bottles]\ncustom-bottles-path = '~/Flaschen'\n"},
                {HomeFile::runner, flatpakBottles + "runners/soda-7.0-9/bin/wine"},
                {HomeFile::runner, flatpakBottles + "runners/soda-7.0-9/bin/wine64"},
                {HomeFile::directory, flatpakBottles + "runners/soda-7.0-9/lib/wine/i386-windows"}},
     .program = flatpakBottles + "runners/soda-7.0-9/bin/wine64",
     .arguments = {"WoW.exe"},
     .prefix = "Flaschen/Azeroth"},
    {.name = "~/.wine, which no launcher owns",
     .layout = {{HomeFile::prefix, ".wine", "C:\\World of Warcraft\\"},
                {HomeFile::game, ".wine/drive_c/World of Warcraft/WoW.exe", ""}},
     .arguments = {"WoW.exe"},
     .prefix = ".wine",
     .variables = {{"WINEESYNC", ""}, {"WINEDLLOVERRIDES", ""}, {"STEAM_COMPAT_DATA_PATH", ""}}},
    {.name = "a 32-bit game and a runner without 32-bit support",
     .layout = lutrisWithRunner +
               Layout{{HomeFile::directory, lutrisRunner + "/lib/wine/x86_64-windows", ""},
                      {HomeFile::directory, lutrisRunner + "/lib/wine/x86_64-unix", ""}},
     .failure = "~/" + wowInLutris + "/Wow.exe is a 32-bit Windows program, and the wine ~/" +
                lutrisRunner + "/bin/wine has no 32-bit support (no lib/wine/i386-windows in ~/" +
                lutrisRunner + ")"},
    startedByLutris("a 32-bit game and a runner with 32-bit support", "", "",
                    {{HomeFile::directory, lutrisRunner + "/lib/wine/x86_64-windows", ""},
                     {HomeFile::directory, lutrisRunner + "/lib/wine/i386-windows", ""}}),
    {.name = "a 32-bit game and a wine64 alone",
     .layout = lutrisGame("  version: wine64-only\n") +
               Layout{{HomeFile::runner, lutrisRunners + "wine64-only/bin/wine64", ""}},
     .failure = "~/" + wowInLutris + "/Wow.exe is a 32-bit Windows program, and the wine ~/" +
                lutrisRunners + "wine64-only/bin/wine64 has no 32-bit support (no " +
                "lib/wine/i386-windows in ~/" + lutrisRunners + "wine64-only)"},
    {.name = "a runner that cannot be executed",
     .layout = lutrisGame(lutrisOptions) +
               Layout{{HomeFile::text, lutrisRunner + "/bin/wine", "#!/bin/sh\n"}},
     .failure = "the wine of Lutris ~/" + lutrisConfiguration + ", ~/" + lutrisRunner +
                "/bin/wine, cannot be executed"},
};

} // namespace

// Each case: the game found as start-up finds it, then started as "Run WoW" starts it.
TEST(LauncherStart, EachLauncherStartsTheGameWithItsRunnerAndSettings) {
    for (const LaunchCase& c : launchCases) {
        SCOPED_TRACE(c.name);
        TempDir homeDirectory, elsewhere, records, bin;
        const std::string home = real(homeDirectory.path());
        const std::string record = records / "started";
        const std::string failure = records / "failure";
        layOut(home, c.layout, record);
        makeExecutable(bin / "wine", startRecorder(record));
        inChild(c.startDirectory.empty() ? elsewhere.path() : home + "/" + c.startDirectory, record,
                [&] {
                    ::setenv("HOME", home.c_str(), 1);
                    ::setenv("PATH", (bin.path() + ":/usr/bin:/bin").c_str(), 1);
                    if (c.winePrefix.empty())
                        ::unsetenv("WINEPREFIX");
                    else
                        ::setenv("WINEPREFIX", (home + "/" + c.winePrefix).c_str(), 1);
                    for (const char* name :
                         {"WINEESYNC", "WINEFSYNC", "WINEDLLOVERRIDES", "WINEDEBUG",
                          "STEAM_COMPAT_DATA_PATH", "SteamAppId", "XDG_DATA_HOME",
                          "XDG_CONFIG_HOME", "STEAM_EXTRA_COMPAT_TOOLS_PATHS"})
                        ::unsetenv(name);
                    ::setenv("MIRELGAN_STEAM_SYSTEM_TOOLS", (home + "/system-tools").c_str(), 1);
                    for (const auto& [name, value] : c.environment)
                        ::setenv(name.c_str(), withHome(value, home).c_str(), 1);
                    GameSearchResult search = enterGame();
                    writeFile(failure, search.used()
                                           ? startGame(*search.used(), {"-windowed", "two words"})
                                           : "no game: " + lookedText(search));
                });
        if (!c.failure.empty()) {
            EXPECT_EQ(readFile(failure), withHome(c.failure, home));
            EXPECT_FALSE(exists(record)) << "nothing else starts it";
            continue;
        }
        ASSERT_TRUE(exists(record)) << readFile(failure);
        Started started = parseStart(readFile(record));
        EXPECT_EQ(real(started.program),
                  c.program.empty() ? real(bin / "wine") : home + "/" + c.program);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-windowed", "two words"});
        EXPECT_EQ(started.arguments, arguments);
        EXPECT_EQ(started.environment["WINEPREFIX"], home + "/" + c.prefix);
        for (const auto& [name, value] : c.variables)
            if (value.empty())
                EXPECT_EQ(started.environment.count(name), 0u) << name;
            else
                EXPECT_EQ(started.environment[name], withHome(value, home)) << name;
    }
}

// Every prefix of a library is started by the same Proton: it is looked up once, however many
// prefixes the library holds (Steam users have hundreds, and every start-up asks for each).
TEST(LauncherStart, SteamLooksUpEachProtonOnce) {
    for (const auto& [mapping, proton] : {std::pair{mapped("0", "GE-Proton8-25"), "ge8"},
                                          std::pair{std::string(), "GE-Proton9-20"}}) {
        SCOPED_TRACE(proton);
        TempDir homeDirectory;
        const std::string home = real(homeDirectory.path());
        Layout layout = steam(mapping) + ownTool("ge8", "GE-Proton8-25") +
                        ownTool("GE-Proton9-20", "GE-Proton9-20");
        for (int app = 2002; app < 2010; ++app)
            layout.push_back({HomeFile::directory,
                              steamApps + "compatdata/" + std::to_string(app) + "/pfx", ""});
        layOut(home, layout, home + "/record");
        std::vector<std::string> looked;
        const SteamSettings steam(home, looked);
        // Every lookup lists the tools' directory. The events are read after each prefix:
        // the same event twice in a row would count once.
        int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, (home + "/" + steamTools).c_str(), IN_OPEN), 0);
        int listed = 0;
        for (int app = 2001; app < 2010; ++app) {
            std::optional<WineRuntime> runtime = steam.appRuntime(
                home + "/" + steamApps + "compatdata/" + std::to_string(app) + "/pfx");
            ASSERT_TRUE(runtime);
            EXPECT_EQ(runtime->wine, home + "/" + steamTools + proton + "/proton") << app;
            alignas(inotify_event) char events[4096];
            for (ssize_t length = ::read(watch, events, sizeof events), at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                listed += (event->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        ::close(watch);
        EXPECT_EQ(listed, 1) << "the tools' directory is listed once for the library";
    }
}

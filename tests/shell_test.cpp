#include "app/common/configure.h"
#include "app/common/login_flow.h"
#include "app/common/report.h"
#include "game/game_location.h"
#include "harness/process_figures.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ShellTest : public ::testing::Test {
protected:
    TempDir state;
    Settings settings{state / "settings.db"};
};

std::vector<std::string> statusesOf(Settings& settings, const LoginAnswer& answer,
                                    LoginPrompt* seen = nullptr) {
    std::vector<std::string> statuses;
    runLoginFlow(
        settings,
        [&](const LoginPrompt& prompt) {
            if (seen)
                *seen = prompt;
            return answer;
        },
        [&](const std::string& line) { statuses.push_back(line); });
    return statuses;
}

} // namespace

TEST_F(ShellTest, LoginFlowStoresTheAnswer) {
    settings.Username = "old";
    settings.Password = "oldpw";
    LoginPrompt prompt;
    auto statuses = statusesOf(settings, {true, "thrall", "horde", false}, &prompt);
    EXPECT_EQ(prompt.hint, firstLoginHint);
    EXPECT_EQ(prompt.userName, "old");
    EXPECT_EQ(prompt.password, "oldpw");
    EXPECT_EQ(statuses, (std::vector<std::string>{"Please enter username and password", ""}));
    EXPECT_EQ(settings.Username, "thrall");
    EXPECT_EQ(settings.readString("Username"), "thrall");
    EXPECT_EQ(settings.readString("Password"), "horde");
    EXPECT_EQ(settings.loginPrompted, 1);

    statusesOf(settings, {true, "ignored", "ignored", true}, &prompt);
    EXPECT_EQ(prompt.hint, failedLoginHint) << "every later showing says the login failed";
    EXPECT_EQ(settings.readString("Username"), "anonymous");
    EXPECT_EQ(settings.readString("Password"), "");
    EXPECT_EQ(settings.uploadEnabled, 1);
}

TEST_F(ShellTest, CancelKeepsTheAccountAndSwitchesTheUploadOff) {
    settings.Username = "thrall";
    settings.Password = "horde";
    statusesOf(settings, {false, "typed", "typed", true});
    EXPECT_EQ(settings.uploadEnabled, 0);
    EXPECT_EQ(settings.Username, "thrall");
    EXPECT_EQ(settings.readString("Password"), "horde") << "saved again";
}

TEST_F(ShellTest, EmptyUserNameWritesNothing) {
    settings.writeString("Username", "stored");
    statusesOf(settings, {true, "", "pw", false});
    EXPECT_EQ(settings.Username, "");
    EXPECT_EQ(settings.readString("Username"), "stored");
}

TEST_F(ShellTest, DistributionRowsAndTheirDefault) {
    auto rows = distributionRows({"3 Full", "7 Lite", "12Extra", "Beta", std::string(600, '9')});
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].name, noDistributionRow);
    EXPECT_EQ(rows[0].number, 0);
    EXPECT_EQ(rows[1].name, "Full");
    EXPECT_EQ(rows[1].number, 3);
    EXPECT_EQ(rows[3].name, "Extra");
    EXPECT_EQ(rows[3].number, 12);
    EXPECT_EQ(rows[4].name, "Beta");
    EXPECT_EQ(rows[4].number, 0);
    EXPECT_EQ(rows[5].number, INT_MAX);
    EXPECT_EQ(defaultRow(rows, 7), 2u);
    EXPECT_EQ(defaultRow(rows, 5), 1u);
    EXPECT_EQ(defaultRow(rows, 0), 0u);
    EXPECT_EQ(defaultRow(distributionRows({}), 5), std::nullopt);
    EXPECT_EQ(defaultRow(distributionRows({}), 0), 0u);
}

TEST_F(ShellTest, AcceptStoresWhatChangedAndAsksForAPassOnlyWhenItMatters) {
    settings.distribution = 3;
    ConfigureChoice none = ConfigureChoice::fromSettings(settings);
    none.selectedNumber = 0;
    EXPECT_FALSE(acceptConfiguration(settings, none, false));
    EXPECT_EQ(settings.readString("Distribution"), "0");
    EXPECT_EQ(settings.distribution, 0);

    ConfigureChoice other = ConfigureChoice::fromSettings(settings);
    other.selectedNumber = 7;
    other.runWindowed = 1;
    EXPECT_TRUE(acceptConfiguration(settings, other, false));
    EXPECT_FALSE(acceptConfiguration(settings, other, true)) << "never a second pass";
    EXPECT_EQ(settings.readString("RunWindowed"), "1");
    EXPECT_EQ(settings.readString("NoSound"), "") << "an unchanged option is not written";

    ConfigureChoice same = ConfigureChoice::fromSettings(settings);
    same.selectedNumber = 7;
    EXPECT_FALSE(acceptConfiguration(settings, same, false));

    ConfigureChoice onAndOff = ConfigureChoice::fromSettings(settings);
    onAndOff.toggleKeepClean();
    onAndOff.toggleKeepClean();
    EXPECT_TRUE(acceptConfiguration(settings, onAndOff, false));
    EXPECT_EQ(settings.readString("KeepClean"), "");
}

TEST_F(ShellTest, ReportTextWithAndWithoutPelvarTxt) {
    TempDir game;
    CurrentDirectory inGame(game.path());
    const std::string added = "New: Interface\\AddOns\\Bagnon\\Bagnon.lua";
    const std::string changed = "Changed: Interface\\FrameXML\\UIParent.lua";
    const std::string cleaned = "Cleaned Interface\\AddOns\\Größere Taschen\\Übersicht.lua";
    settings.reportLines = {added, changed, cleaned};
    EXPECT_EQ(takeReportText(settings),
              added + "\n" + changed + "\n" + cleaned + "\n" + std::string(reportNotice));
    EXPECT_TRUE(settings.reportLines.empty());

    writeFile("Pelvar.txt", std::string("No line end") + '\0' + "hidden");
    settings.reportLines = {added};
    EXPECT_EQ(takeReportText(settings), added + "\n\nNo line end" + std::string(reportNotice));

    ::unlink("Pelvar.txt");
    makeDirectories("Pelvar.txt");
    settings.reportLines = {added};
    EXPECT_EQ(takeReportText(settings), added + "\n" + std::string(reportNotice))
        << "a directory named Pelvar.txt is no Pelvar.txt";
    std::filesystem::remove("Pelvar.txt");

    std::string exact(4096, 'p');
    writeFile("Pelvar.txt", exact);
    EXPECT_EQ(takeReportText(settings), "\n" + exact + reportNotice);
    EXPECT_EQ(std::string(reportNotice).substr(0, 70), std::string(68, '_') + "\n\n");

    // A huge Pelvar.txt shows its first MiB, and says how much it left out.
    for (std::size_t size :
         {std::size_t(1) << 20, (std::size_t(1) << 20) + 1, std::size_t(3) << 20}) {
        writeFile("Pelvar.txt", std::string(size, 'q'));
        std::string text = takeReportText(settings);
        std::string note = size > (1 << 20)
                               ? "\n[The rest of Pelvar.txt, " + std::to_string(size - (1 << 20)) +
                                     " bytes, is not shown.]\n"
                               : "";
        EXPECT_TRUE(text == "\n" + std::string(1 << 20, 'q') + note + reportNotice) << size;
    }
}

TEST(GameLocation, InstallPathFromAWinePrefix) {
    std::string registry =
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
        "[Software\\\\Other] 1700000000\n\"InstallPath\"=\"C:\\\\Program Files\\\\Other "
        "Game\\\\\"\n\n"
        "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1700000001\n"
        "#time=1d9b6e0b8a5d7b2\n\"GamePath\"=\"x\"\n"
        "\"InstallPath\"=\"D:\\\\Games\\\\World of Warcraft \\\"EU\\\" \\x20ac\\\\\"\r\n";
    EXPECT_EQ(installPathsFromRegistry(registry),
              std::vector<std::string>{"D:\\Games\\World of Warcraft \"EU\" \xe2\x82\xac\\"});
    // The native key's value comes first wherever it stands; a value both hold, once.
    const std::string native = "[software\\\\blizzard entertainment\\\\world of warcraft]\n";
    EXPECT_EQ(installPathsFromRegistry(registry + native +
                                       "\"installpath\"=\"E:\\\\Spiele\\\\World of Warcraft\"\n"),
              (std::vector<std::string>{"E:\\Spiele\\World of Warcraft",
                                        "D:\\Games\\World of Warcraft \"EU\" \xe2\x82\xac\\"}));
    EXPECT_EQ(installPathsFromRegistry(native +
                                       "\"InstallPath\"=\"E:\\\\Spiele\\\\World of Warcraft\"\n"
                                       "[Software\\\\Wow6432Node"
                                       "\\\\Blizzard Entertainment\\\\World of Warcraft]\n"
                                       "\"InstallPath\"=\"E:\\\\Spiele\\\\World of Warcraft\"\n"),
              std::vector<std::string>{"E:\\Spiele\\World of Warcraft"});
    EXPECT_TRUE(installPathsFromRegistry(
                    "[Software\\\\Other]\n\"InstallPath\"=\"C:\\\\Program Files\\\\Other Game\"\n")
                    .empty());
    // Wine writes a character beyond the first 65536 as a pair of UTF-16 escapes; half a pair is
    // no character.
    const std::vector<std::pair<std::string, std::string>> escapes = {
        {"\\xd83d\\xdc09 Drake", "\xF0\x9F\x90\x89 Drake"},
        {"\\xD83D\\xDE00\\x41", "\xF0\x9F\x98\x80"
                                "A"},
        {"\\xdbff\\xdfff", "\xF4\x8F\xBF\xBF"},
        {"\\xd83dx", "\xEF\xBF\xBDx"},
        {"\\xd83d\\x41", "\xEF\xBF\xBD"
                         "A"},
        {"\\xde00", "\xEF\xBF\xBD"},
        {"\\xd83d", "\xEF\xBF\xBD"},
    };
    for (const auto& [escaped, text] : escapes)
        EXPECT_EQ(installPathsFromRegistry(native + "\"InstallPath\"=\"C:\\\\Spiele\\\\" + escaped +
                                           "\"\n"),
                  std::vector<std::string>{"C:\\Spiele\\" + text})
            << escaped;
    // From a file, read a block at a time: the key's and the value's lines may straddle two
    // blocks, and the last line may lack its line end.
    TempDir prefix;
    const std::string key = "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n";
    const std::string value = "\"InstallPath\"=\"C:\\\\Spiele\\\\World of Warcraft\\\\\"";
    const std::size_t line = key.size();
    for (std::size_t intoKey : {5ul, line - 1, line, line + 10, line + value.size()}) {
        std::string padding(65536 - intoKey, 'x');
        padding.front() = ';';
        padding.back() = '\n';
        writeFile(prefix / "system.reg", padding + key + value + "\n");
        EXPECT_EQ(readInstallPaths(prefix.path()),
                  std::vector<std::string>{"C:\\Spiele\\World of Warcraft\\"})
            << intoKey;
        writeFile(prefix / "system.reg", padding + key + value);
        EXPECT_EQ(readInstallPaths(prefix.path()),
                  std::vector<std::string>{"C:\\Spiele\\World of Warcraft\\"})
            << intoKey;
    }
    // A file that never breaks its line (a crash may leave one full of zeros) is read in little
    // memory, and the lines around an overlong one still count.
    const std::size_t zeros = std::size_t(256) << 20;
    writeFile(prefix / "system.reg", key + "\"GamePath\"=\"");
    ASSERT_EQ(::truncate((prefix / "system.reg").c_str(), static_cast<off_t>(zeros)), 0);
    std::ofstream(prefix / "system.reg", std::ios::app) << "\"\n" << value << "\n";
    pid_t child = ::fork();
    if (child == 0) {
        long before = processStatusKiB(::getpid(), "VmHWM");
        bool found = readInstallPaths(prefix.path()) ==
                     std::vector<std::string>{"C:\\Spiele\\World of Warcraft\\"};
        long grown = processStatusKiB(::getpid(), "VmHWM") - before;
        ::_exit(!found ? 1 : grown > 32 * 1024 ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "1: the value was not found, 2: the peak memory grew by more than 32 MiB";
    EXPECT_EQ(cutAtLastBackslash("D:\\Games\\World of Warcraft\\"), "D:\\Games\\World of Warcraft");
    EXPECT_EQ(cutAtLastBackslash("D:\\World of Warcraft"), "D:");
    EXPECT_EQ(cutAtLastBackslash("World of Warcraft"), "World of Warcraft");
}

TEST(GameLocation, DrivesMapThroughDosdevicesIgnoringCase) {
    TempDir prefix, disk;
    makeDirectories(prefix / "dosdevices");
    makeDirectories(disk / "Games/World of Warcraft");
    writeFile(disk / "Games/World of Warcraft/WoW.exe", "");
    ASSERT_EQ(::symlink(disk.path().c_str(), (prefix / "dosdevices/d:").c_str()), 0);
    EXPECT_EQ(unixPathOf(prefix.path(), "D:\\games\\WORLD OF WARCRAFT"),
              prefix / "dosdevices/d:/Games/World of Warcraft");
    EXPECT_EQ(unixPathOf(prefix.path(), "D:"), prefix / "dosdevices/d:");
    EXPECT_FALSE(unixPathOf(prefix.path(), "D:\\Games\\Fehlendes Spiel"));
    EXPECT_FALSE(unixPathOf(prefix.path(), "E:\\Games\\World of Warcraft"));
    EXPECT_FALSE(unixPathOf(prefix.path(), "\\\\nas-im-keller\\spiele\\World of Warcraft"));

    TempDir elsewhere, home;
    ScopedEnv homeVariable("HOME", home.path());
    ScopedEnv prefixVariable("WINEPREFIX", prefix.path());
    CurrentDirectory start(elsewhere.path());
    writeFile(prefix / "system.reg", "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
                                     "\"InstallPath\"=\"D:\\\\Games\\\\World of Warcraft\\\\\"\n");
    ASSERT_TRUE(enterGame().used());
    EXPECT_EQ(readFile("WoW.exe"), "");
}

TEST(GameLocation, EveryInstallPathIsTriedAndTheMessageNamesWhatWasSearched) {
    TempDir prefix, disk, elsewhere, home;
    ScopedEnv homeVariable("HOME", home.path());
    ScopedEnv prefixVariable("WINEPREFIX", prefix.path());
    CurrentDirectory start(elsewhere.path());
    makeDirectories(prefix / "dosdevices");
    ASSERT_EQ(::symlink(disk.path().c_str(), (prefix / "dosdevices/d:").c_str()), 0);
    const std::string drive = prefix / "dosdevices/d:";
    const std::string native = "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n";
    const std::string wow64 =
        "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n";
    auto value = [](const std::string& path) {
        std::string escaped;
        for (char c : path)
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return "\"InstallPath\"=\"" + escaped + "\"\n";
    };
    struct Case {
        std::string registry;
        std::string gameDirectory; // under D:, "" for none
        std::string found;         // the directory entered, under D:; "" when none is
        std::string why;           // what the search says of the prefix when none is
    };
    const std::vector<Case> cases = {
        // Without its trailing backslash the value still names the game's directory.
        {native + value("D:\\Games\\World of Warcraft"), "Games/World of Warcraft",
         "Games/World of Warcraft", ""},
        // The cut directory comes first when it holds the game.
        {native + value("D:\\Games\\World of Warcraft"), "Games", "Games", ""},
        {native + value("D:\\Games\\Missing"), "Games/World of Warcraft", "",
         "InstallPath D:\\Games\\Missing: no WoW.exe in D:\\Games (" + drive +
             "/Games), nor D:\\Games\\Missing (not there)"},
        {native + value("D:\\Games\\Missing\\"), "", "",
         "InstallPath D:\\Games\\Missing\\: no WoW.exe in D:\\Games\\Missing (not there)"},
        // A 64-bit view value that leads nowhere does not hide the Wow6432Node one.
        {wow64 + value("D:\\Games\\World of Warcraft\\") + native +
             value("D:\\Alte Spiele\\WoW Classic\\"),
         "Games/World of Warcraft", "Games/World of Warcraft", ""},
        {native + value("D:\\Alte Spiele\\WoW Classic\\") + wow64 +
             value("E:\\Spiele\\World of Warcraft\\"),
         "Games", "",
         "InstallPath D:\\Alte Spiele\\WoW Classic\\: no WoW.exe in D:\\Alte Spiele\\WoW Classic "
         "(not there); InstallPath E:\\Spiele\\World of Warcraft\\: no WoW.exe in "
         "E:\\Spiele\\World of Warcraft (not there)"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(disk / "Games");
        makeDirectories(disk / "Games/World of Warcraft");
        if (!c.gameDirectory.empty())
            writeFile(disk / (c.gameDirectory + "/WoW.exe"), "");
        writeFile(prefix / "system.reg", c.registry);
        CurrentDirectory again(elsewhere.path());
        GameSearchResult search = enterGame();
        if (!c.found.empty()) {
            ASSERT_TRUE(search.used()) << c.registry << lookedText(search);
            EXPECT_EQ(search.used()->directory,
                      std::filesystem::canonical(disk / c.found).string());
            EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(disk / c.found));
        } else {
            EXPECT_EQ(search.used(), nullptr) << c.registry;
            std::string line = prefix.path() + " ($WINEPREFIX): " + c.why + "\n";
            EXPECT_NE(lookedText(search).find(line), std::string::npos) << line << " in\n"
                                                                        << lookedText(search);
        }
    }
}

namespace {

// Runs start-up's search in a child process started in `start`; gives what a stub Pelvar.exe
// recorded ("" when none ran) or, when the search returned, "returned <source> in <directory>".
std::string searchInChild(const std::string& start, const std::vector<std::string>& arguments,
                          const std::string& record) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(start.c_str()) != 0)
            ::_exit(126);
        GameSearchResult search = enterGameOrHandOver(arguments);
        const GameInstallation* used = search.used();
        char here[4096];
        writeFile(record, "returned " + std::to_string(used ? static_cast<int>(used->source) : -1) +
                              " in " + (::getcwd(here, sizeof here) ? here : "?"));
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return exists(record) ? readFile(record) : "";
}

} // namespace

TEST(GameLocation, HandOverToTheCopyKeptInTheGameDirectory) {
    TempDir prefix, disk, elsewhere, records, home;
    ScopedEnv homeVariable("HOME", home.path());
    ScopedEnv prefixVariable("WINEPREFIX", prefix.path());
    makeDirectories(prefix / "dosdevices");
    makeDirectories(disk / "Spiele/World of Warcraft");
    ASSERT_EQ(::symlink(disk.path().c_str(), (prefix / "dosdevices/d:").c_str()), 0);
    writeFile(prefix / "system.reg", "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
                                     "\"InstallPath\"=\"D:\\\\Spiele\\\\World of Warcraft\\\\\"\n");
    writeFile(disk / "Spiele/World of Warcraft/WoW.exe", "");
    std::string record = records / "record";
    writeFile(disk / "Spiele/World of Warcraft/Pelvar.exe",
              "#!/bin/sh\n{ pwd; echo \"$WINEPREFIX\"; printf '%s\\n' \"$0\" \"$@\"; } > " +
                  record + "\n");
    ::chmod((disk / "Spiele/World of Warcraft/Pelvar.exe").c_str(), 0755);

    // The copy gets the program's own arguments one by one, and the prefix the game is in.
    EXPECT_EQ(searchInChild(elsewhere.path(), {"-x", "a b"}, record),
              disk / "Spiele/World of Warcraft\n" + prefix.path() + "\nPelvar.exe\n-x\na b\n");

    // Started in the game directory, the program runs itself.
    ::unlink(record.c_str());
    std::string result = searchInChild(disk / "Spiele/World of Warcraft", {"-x"}, record);
    EXPECT_EQ(result.substr(0, 11), "returned 0 ") << result;

    // No copy in the game directory: the program runs itself there.
    ::unlink((disk / "Spiele/World of Warcraft/Pelvar.exe").c_str());
    result = searchInChild(elsewhere.path(), {}, record);
    EXPECT_EQ(result.substr(0, 11),
              "returned " + std::to_string(static_cast<int>(GameSource::winePrefixVariable)) + " ")
        << result;
    EXPECT_NE(result.find("/Spiele/World of Warcraft"), std::string::npos);
}

#include "app/shell/configure.h"
#include "app/shell/game_location.h"
#include "app/shell/login_flow.h"
#include "app/shell/report.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
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
    settings.reportLines = {"New: a", "Changed: b", "Cleaned c"};
    EXPECT_EQ(takeReportText(settings),
              "New: a\nChanged: b\nCleaned c\n" + std::string(reportNotice));
    EXPECT_TRUE(settings.reportLines.empty());

    writeFile("Pelvar.txt", std::string("No line end") + '\0' + "hidden");
    settings.reportLines = {"New: a"};
    EXPECT_EQ(takeReportText(settings), "New: a\n\nNo line end" + std::string(reportNotice));

    ::unlink("Pelvar.txt");
    makeDirectories("Pelvar.txt");
    settings.reportLines = {"New: a"};
    EXPECT_EQ(takeReportText(settings), "New: a\n" + std::string(reportNotice))
        << "a directory named Pelvar.txt is no Pelvar.txt";
    std::filesystem::remove("Pelvar.txt");

    std::string exact(4096, 'p');
    writeFile("Pelvar.txt", exact);
    EXPECT_EQ(takeReportText(settings), "\n" + exact + reportNotice);
    EXPECT_EQ(std::string(reportNotice).substr(0, 70), std::string(68, '_') + "\n\n");
}

TEST(ReadableText, WindowsTextAndTerminalControls) {
    struct Case {
        std::string bytes;
        std::string readable;     // the report window and the status line
        std::string terminal;     // a status line on the terminal
        std::string terminalText; // the report on the terminal
    };
    const Case cases[] = {
        {"Caf\xc3\xa9 \xe2\x82\xac", "Caf\xc3\xa9 \xe2\x82\xac", "Caf\xc3\xa9 \xe2\x82\xac",
         "Caf\xc3\xa9 \xe2\x82\xac"},
        // Windows-1252, line by line: a valid UTF-8 line next to it stays as it is.
        {"Caf\xe9 \x80\x93\x94\x81\n\xc3\xa9",
         "Caf\xc3\xa9 \xe2\x82\xac\xe2\x80\x9c\xe2\x80\x9d\xc2\x81\n\xc3\xa9",
         "Caf\xc3\xa9 \xe2\x82\xac\xe2\x80\x9c\xe2\x80\x9d^[A^J\xc3\xa9",
         "Caf\xc3\xa9 \xe2\x82\xac\xe2\x80\x9c\xe2\x80\x9d^[A\n\xc3\xa9"},
        // Overlong, surrogate and cut-short sequences are no UTF-8.
        {"\xc0\xaf \xed\xa0\x80 \xe2\x82",
         "\xc3\x80\xc2\xaf \xc3\xad\xc2\xa0\xe2\x82\xac \xc3\xa2\xe2\x80\x9a",
         "\xc3\x80\xc2\xaf \xc3\xad\xc2\xa0\xe2\x82\xac \xc3\xa2\xe2\x80\x9a",
         "\xc3\x80\xc2\xaf \xc3\xad\xc2\xa0\xe2\x82\xac \xc3\xa2\xe2\x80\x9a"},
        // Clearing the screen, setting the title, moving back over a line, 8-bit CSI.
        {"\x1b[2J\x1b]0;pwned\x07 a\rb\tc\x7f\r\nd\xc2\x9b"
         "31m",
         "\x1b[2J\x1b]0;pwned\x07 a\rb\tc\x7f\r\nd\xc2\x9b"
         "31m",
         "^[[2J^[]0;pwned^G a^Mb^Ic^?^M^Jd^[[31m", "^[[2J^[]0;pwned^G a^Mb\tc^?\nd^[[31m"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readableText(c.bytes), c.readable) << c.bytes;
        EXPECT_EQ(terminalText(c.bytes, false), c.terminal) << c.bytes;
        EXPECT_EQ(terminalText(c.bytes, true), c.terminalText) << c.bytes;
    }
}

TEST(GameLocation, InstallPathFromAWinePrefix) {
    std::string registry =
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
        "[Software\\\\Other] 1700000000\n\"InstallPath\"=\"C:\\\\Wrong\\\\\"\n\n"
        "[Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of Warcraft] 1700000001\n"
        "#time=1d9b6e0b8a5d7b2\n\"GamePath\"=\"x\"\n"
        "\"InstallPath\"=\"D:\\\\Games\\\\World of Warcraft \\\"EU\\\" \\x20ac\\\\\"\r\n";
    EXPECT_EQ(installPathFromRegistry(registry),
              "D:\\Games\\World of Warcraft \"EU\" \xe2\x82\xac\\");
    EXPECT_EQ(installPathFromRegistry("[software\\\\blizzard entertainment\\\\world of warcraft]\n"
                                      "\"installpath\"=\"E:\\\\WoW\"\n"),
              "E:\\WoW");
    EXPECT_FALSE(installPathFromRegistry("[Software\\\\Other]\n\"InstallPath\"=\"C:\\\\x\"\n"));
    EXPECT_EQ(cutAtLastBackslash("D:\\WoW\\"), "D:\\WoW");
    EXPECT_EQ(cutAtLastBackslash("D:\\WoW"), "D:");
    EXPECT_EQ(cutAtLastBackslash("WoW"), "WoW");
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
    EXPECT_FALSE(unixPathOf(prefix.path(), "D:\\Missing"));
    EXPECT_FALSE(unixPathOf(prefix.path(), "E:\\Games"));
    EXPECT_FALSE(unixPathOf(prefix.path(), "\\\\server\\share"));

    TempDir elsewhere;
    CurrentDirectory start(elsewhere.path());
    writeFile(prefix / "system.reg", "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
                                     "\"InstallPath\"=\"D:\\\\Games\\\\World of Warcraft\\\\\"\n");
    EXPECT_EQ(findGame(prefix.path()), GameSearch::installed);
    EXPECT_EQ(readFile("WoW.exe"), "");

    // Without the trailing backslash the cut leaves the drive, where no game is.
    CurrentDirectory again(elsewhere.path());
    writeFile(prefix / "system.reg", "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
                                     "\"InstallPath\"=\"D:\\\\Games\\\\World of Warcraft\"\n");
    EXPECT_EQ(findGame(prefix.path()), GameSearch::notFound);
}

namespace {

// Runs start-up's search in a child process started in `start`; gives what a stub Pelvar.exe
// recorded ("" when none ran) or, when the search returned, "returned <n> in <directory>".
std::string searchInChild(const std::string& start, const std::string& prefix,
                          const std::vector<std::string>& arguments, const std::string& record) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(start.c_str()) != 0)
            ::_exit(126);
        GameSearch found = findGameOrHandOver(prefix, arguments);
        char here[4096];
        writeFile(record, "returned " + std::to_string(static_cast<int>(found)) + " in " +
                              (::getcwd(here, sizeof here) ? here : "?"));
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return exists(record) ? readFile(record) : "";
}

} // namespace

TEST(GameLocation, HandOverToTheCopyKeptInTheGameDirectory) {
    TempDir prefix, disk, elsewhere, records;
    makeDirectories(prefix / "dosdevices");
    makeDirectories(disk / "WoW");
    ASSERT_EQ(::symlink(disk.path().c_str(), (prefix / "dosdevices/d:").c_str()), 0);
    writeFile(prefix / "system.reg", "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
                                     "\"InstallPath\"=\"D:\\\\WoW\\\\\"\n");
    writeFile(disk / "WoW/WoW.exe", "");
    std::string record = records / "record";
    writeFile(disk / "WoW/Pelvar.exe",
              "#!/bin/sh\n{ pwd; printf '%s\\n' \"$0\" \"$@\"; } > " + record + "\n");
    ::chmod((disk / "WoW/Pelvar.exe").c_str(), 0755);

    EXPECT_EQ(searchInChild(elsewhere.path(), prefix.path(), {"-x", "a b"}, record),
              disk / "WoW\nPelvar.exe\n-x\na b\n");

    // Started in the game directory, the program runs itself.
    ::unlink(record.c_str());
    std::string result = searchInChild(disk / "WoW", prefix.path(), {"-x"}, record);
    EXPECT_EQ(result.substr(0, 11), "returned 0 ") << result;

    // No copy in the game directory: the program runs itself there.
    ::unlink((disk / "WoW/Pelvar.exe").c_str());
    result = searchInChild(elsewhere.path(), prefix.path(), {}, record);
    EXPECT_EQ(result.substr(0, 11), "returned 1 ") << result;
    EXPECT_NE(result.find("/WoW"), std::string::npos);
}

#include "settings/settings.h"
#include "tests/support/helpers.h"
#include "tests/support/process.h"
#include "tests/support/test_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string table(std::size_t rows) {
    std::string text = "Mirelgan_Data = {\n";
    for (std::size_t i = 0; i < rows; ++i)
        text += "  [" + std::to_string(i) + "] = \"an item seen in Orgrimmar\",\n";
    return text + "}\n";
}

std::string bytes(std::size_t count, char seed) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<char>(seed + i * 31);
    return data;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// pelvar-cli against the reference server, in a fresh game directory, with its settings and the
// user's trash outside the game.
class CliTest : public ::testing::Test {
protected:
    TempDir state{"pelvar-state"};
    TempDir game{"pelvar-game"};
    TestServer server;

    CliTest() { writeFile(game / "WoW.exe", ""); }

    ProcessResult cli(std::vector<std::string> arguments, const std::string& input = "") {
        arguments.insert(arguments.begin(), PELVAR_CLI);
        return runProcess(arguments, game.path(), environment(), input);
    }
    std::vector<std::pair<std::string, std::string>> environment() const {
        return {{"MIRELGAN_SETTINGS", state / "settings.db"},
                {"MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(server.port())},
                {"HOME", state.path()},
                {"XDG_DATA_HOME", ""},
                {"WINEPREFIX", state / "no-prefix"}};
    }
    Settings stored() { return Settings(state / "settings.db"); }
    void storeAccount(const std::string& user, const std::string& password) {
        Settings settings = Settings(state / "settings.db");
        settings.writeString("Username", user);
        settings.writeString("Password", password);
    }
};

} // namespace

TEST_F(CliTest, FirstAndSecondPassWithANewAccount) {
    server.options()->wdbVersion = 7;
    server.addFile("1 Standard", "Interface/AddOns/Foo/Foo.lua", "foo");
    server.addFile("1 Standard", "Pelvar.txt", "Pelvar 1.0 is out.\n");
    storeAccount("thrall", "lok'tar");
    stored().writeString("Distribution", "1");
    writeFile(game / "WTF/Account/THRALL/SavedVariables.lua",
              "Before = 1\n" + table(3) + "After = 2\n");
    writeFile(game / "WDB/itemcache.wdb", bytes(3000, 1));
    writeFile(game / "WDB/questcache.wdb", bytes(1000, 2));

    ProcessResult first = cli({});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    ASSERT_EQ(server.uploadNames(), std::vector<std::string>{"000001-thrall.zeppelin"});
    EXPECT_EQ(server.uploads()[0],
              "Mirelgan_Data " + std::to_string(table(3).size()) + "\n" + table(3))
        << "caches are only recorded on the first upload";
    EXPECT_EQ(server.accounts(), std::vector<std::string>{"thrall"});
    EXPECT_EQ(readFile(game / "WTF/Account/THRALL/SavedVariables.lua"), "Before = 1\nAfter = 2\n");
    EXPECT_EQ(readFile(game / "Interface/AddOns/Foo/Foo.lua"), "foo");
    std::string expectedReport = "New: Interface\\AddOns\\Foo\\Foo.lua\nNew: Pelvar.txt\n\n"
                                 "Pelvar 1.0 is out.\n____";
    EXPECT_TRUE(contains(first.out, "PatchReport\n" + expectedReport)) << first.out;
    std::size_t packed = deflated(server.uploads()[0]).size();
    EXPECT_TRUE(contains(first.out, "\n" + std::to_string(packed) + " bytes uploaded  -  Done!\n"))
        << first.out;
    EXPECT_FALSE(contains(first.out, "m_version")) << "trace lines stay off the status lines";
    EXPECT_FALSE(contains(first.out, "\r")) << "no progress bar without a terminal";
    EXPECT_EQ(stored().readString("wdbItems"), "3000");
    EXPECT_EQ(stored().readString("wdbVersion"), "7");

    // The second pass: a new table and grown caches.
    writeFile(game / "WTF/Account/THRALL/SavedVariables.lua", table(5));
    writeFile(game / "WDB/itemcache.wdb", bytes(3000, 1) + bytes(200, 3));
    writeFile(game / "WDB/questcache.wdb", bytes(1000, 2) + bytes(50, 4));
    ProcessResult second = cli({});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    ASSERT_EQ(server.uploads().size(), 2u);
    EXPECT_TRUE(server.uploads()[1] == "Mirelgan_Data " + std::to_string(table(5).size()) + "\n" +
                                           table(5) + "itemcache.wdb 200\n" + bytes(200, 3) +
                                           "questcache.wdb 50\n" + bytes(50, 4));
    EXPECT_FALSE(contains(second.out, "PatchReport")) << "nothing changed, nothing to report";
}

TEST_F(CliTest, TwoAccountsAreHarvestedOverTwoPasses) {
    stored().writeString("Distribution", "0");
    writeFile(game / "WTF/Account/ALPHA/SavedVariables.lua", table(2));
    writeFile(game / "WTF/Account/BETA/SavedVariables.lua", table(4));
    EXPECT_EQ(cli({"--anonymous"}).exitCode, 0);
    EXPECT_EQ(cli({"--anonymous"}).exitCode, 0);
    auto uploads = server.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_TRUE(contains(uploads[0], table(2)));
    EXPECT_TRUE(contains(uploads[1], table(4)));
}

TEST_F(CliTest, LoginWithoutATerminalOrAnOptionIsCancelled) {
    stored().writeString("Distribution", "0");
    writeFile(game / "WTF/Account/ACC/SavedVariables.lua", table(3));
    ProcessResult result = cli({});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(contains(result.out, "Skipping Mirelgan Upload\nDone!\n")) << result.out;
    EXPECT_TRUE(server.uploads().empty());
    EXPECT_EQ(readFile(game / "WTF/Account/ACC/SavedVariables.lua"), table(3))
        << "a skipped upload leaves the table where it was";
    EXPECT_FALSE(exists(game / "WTF/Account/ACC/SavedVariables.lua.old"));
}

TEST_F(CliTest, OptionsChooseTheDistributionKeepCleanAndTheCompleteCheck) {
    server.addFile("1 Standard", "Interface/A.lua", "a");
    server.addFile("2 Lite", "Interface/B.lua", "b");
    writeFile(game / "Interface/Stray.lua", "stray");
    ProcessResult result = cli({"--distribution", "2", "--keep-clean", "on", "--complete-check"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(stored().readString("Distribution"), "2");
    EXPECT_EQ(stored().readString("KeepClean"), "1");
    EXPECT_EQ(readFile(game / "Interface/B.lua"), "b");
    EXPECT_FALSE(exists(game / "Interface/A.lua"));
    EXPECT_FALSE(exists(game / "Interface/Stray.lua"));
    EXPECT_TRUE(contains(result.out, "Cleaned Interface\\Stray.lua\nFile Check Complete.\n____"))
        << result.out;

    ProcessResult unknown = cli({"--distribution", "5"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(contains(unknown.err, "distribution 5 is not offered")) << unknown.err;
}

TEST_F(CliTest, NoGameAndBadUsage) {
    ::unlink((game / "WoW.exe").c_str());
    ProcessResult noGame = cli({});
    EXPECT_EQ(noGame.exitCode, 2);
    EXPECT_EQ(noGame.err, "Can't find WoW, aborting\n");
    EXPECT_EQ(cli({"--frobnicate"}).exitCode, 2);
    EXPECT_EQ(cli({"--keep-clean", "maybe"}).exitCode, 2);
}

TEST_F(CliTest, FatalEndGivesExitCodeOne) {
    server.addFile("1 Standard", "Interface/A.lua", std::string(20000, 'a'));
    server.options()->corruptPath = "Interface/A.lua";
    stored().writeString("Distribution", "1");
    ProcessResult result = cli({});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Decompression error: -3\n");
    EXPECT_TRUE(contains(result.out, "Decompression error: -3\nDone!\n")) << result.out;
}

TEST_F(CliTest, RunGameStartsItWithTheOptionsAndTheCommandLine) {
    stored().writeString("Distribution", "0");
    stored().writeString("RunWindowed", "1");
    stored().writeString("OpenGL", "1");
    writeFile(game / "WoW.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.txt\n");
    ::chmod((game / "WoW.exe").c_str(), 0755);
    EXPECT_EQ(cli({}).exitCode, 0);
    EXPECT_FALSE(exists(game / "args.txt")) << "never without --run-game";
    EXPECT_EQ(cli({"--run-game", "--", "-console"}).exitCode, 0);
    EXPECT_EQ(readFile(game / "args.txt"), "-console\n-windowed\n-opengl\n");
}

TEST_F(CliTest, TerminalAsksForTheLogin) {
    stored().writeString("Distribution", "0");
    writeFile(game / "WTF/Account/ACC/SavedVariables.lua", table(3));
    int terminal = -1;
    pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        if (::chdir(game.path().c_str()) != 0)
            ::_exit(126);
        for (const auto& [name, value] : environment())
            value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
        ::execl(PELVAR_CLI, PELVAR_CLI, nullptr);
        ::_exit(127);
    }
    std::string screen;
    auto readUntil = [&](const std::string& text) {
        while (!contains(screen, text)) {
            pollfd waiting{terminal, POLLIN, 0};
            if (::poll(&waiting, 1, 10000) <= 0)
                return false;
            char block[4096];
            ssize_t got = ::read(terminal, block, sizeof block);
            if (got <= 0)
                return false;
            screen.append(block, static_cast<std::size_t>(got));
        }
        return true;
    };
    auto type = [&](const std::string& text) {
        ASSERT_EQ(::write(terminal, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    ASSERT_TRUE(readUntil("Username:")) << screen;
    EXPECT_TRUE(
        contains(screen, "Hint: don't use the same login/pass combination you use for WoW"));
    type("jaina\n");
    ASSERT_TRUE(readUntil("Password:")) << screen;
    type("proudmoore\n");
    ASSERT_TRUE(readUntil("Upload Anonymously? [y/N]")) << screen;
    type("n\n");
    ASSERT_TRUE(readUntil("Done!")) << screen;
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(terminal);
    EXPECT_FALSE(contains(screen, "proudmoore")) << "the password is not echoed";
    EXPECT_TRUE(contains(screen, "%\r")) << "a progress bar on a terminal";
    EXPECT_EQ(stored().Username, "jaina");
    EXPECT_EQ(stored().Password, "proudmoore");
    EXPECT_EQ(server.uploadNames(), std::vector<std::string>{"000001-jaina.zeppelin"});
}

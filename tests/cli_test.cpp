#include "harness/content.h"
#include "harness/loopback.h"
#include "settings/settings.h"
#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/test_server.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

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
        return cliWith(environment(), std::move(arguments), input);
    }
    ProcessResult cliWith(const Environment& environment, std::vector<std::string> arguments,
                          const std::string& input = "") {
        arguments.insert(arguments.begin(), PELVAR_CLI);
        return runProcess(arguments, game.path(), environment, input);
    }
    // The environment with one variable changed.
    Environment environmentWith(const std::string& name, const std::string& value) const {
        Environment changed = environment();
        std::erase_if(changed, [&](const auto& entry) { return entry.first == name; });
        changed.emplace_back(name, value);
        return changed;
    }
    Environment environment() const {
        return {{"MIRELGAN_SETTINGS", state / "settings.db"},
                {"MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(server.port())},
                {"HOME", state.path()},
                {"XDG_DATA_HOME", ""},
                {"XDG_CONFIG_HOME", ""},
                {"STEAM_COMPAT_DATA_PATH", ""},
                {"MIRELGAN_STEAM_SYSTEM_TOOLS", state / "no-tools"},
                {"WINEPREFIX", state / "no-prefix"}};
    }
    Settings stored() { return Settings(state / "settings.db"); }
    // A table of its own each time: the server takes the same table twice for one upload.
    void writeTable() {
        writeFile(game / "WTF/Account/ACC/SavedVariables.lua", table(3 + tablesWritten++));
    }
    std::size_t tablesWritten = 0;
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

// The reference server resets the connection when it does not store an upload (here: over the
// anonymous quota), whether the patch list follows the upload or nothing does: the table stays
// in its file, byte for byte, and goes once the server takes it.
TEST_F(CliTest, AnUploadTheServerRefusesLeavesTheTableInItsFile) {
    server.addFile("1 Standard", "Interface/AddOns/Bagnon/Bagnon.lua", "a");
    const std::string saved = game / "WTF/Account/ACC/SavedVariables.lua";
    std::size_t passes = 0;
    for (const char* distribution : {"0", "1"}) {
        stored().writeString("Distribution", distribution);
        // Another table for each: the server takes the same one twice for one upload.
        const std::string saving = "Before = 1\n" + table(3 + passes);
        writeFile(saved, saving);
        server.options()->anonymousQuota = 100;
        ProcessResult refused = cli({"--anonymous"});
        EXPECT_EQ(readFile(saved), saving) << distribution;
        EXPECT_FALSE(exists(saved + ".old")) << distribution;
        EXPECT_FALSE(contains(refused.out, "bytes uploaded  -  Done!")) << refused.out;
        auto log = server.log();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& line) {
                                    return contains(line, "upload refused, closing");
                                }),
                  ++passes);
        EXPECT_EQ(server.uploads().size(), passes - 1);
        if (distribution == std::string("1")) {
            EXPECT_EQ(readFile(game / "Interface/AddOns/Bagnon/Bagnon.lua"), "a")
                << "the patching goes on";
        }

        server.options()->anonymousQuota = 64 << 20;
        ProcessResult taken = cli({"--anonymous"});
        EXPECT_EQ(taken.exitCode, 0) << taken.out << taken.err;
        EXPECT_EQ(readFile(saved), "Before = 1\n") << distribution;
        EXPECT_TRUE(contains(taken.out, "bytes uploaded  -  Done!")) << taken.out;
        EXPECT_EQ(server.uploads().size(), passes);
        ::unlink((saved + ".old").c_str());
    }
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
    server.addFile("1 Standard", "Interface/AddOns/Auctionator/Auctionator.lua", "a");
    server.addFile("2 Lite", "Interface/AddOns/Bagnon/Bagnon.lua", "b");
    writeFile(game / "Interface/Stray.lua", "stray");
    ProcessResult result = cli({"--distribution", "2", "--keep-clean", "on", "--complete-check"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(stored().readString("Distribution"), "2");
    EXPECT_EQ(stored().readString("KeepClean"), "1");
    EXPECT_EQ(readFile(game / "Interface/AddOns/Bagnon/Bagnon.lua"), "b");
    EXPECT_FALSE(exists(game / "Interface/AddOns/Auctionator/Auctionator.lua"));
    EXPECT_FALSE(exists(game / "Interface/Stray.lua"));
    EXPECT_TRUE(contains(result.out, "Cleaned Interface\\Stray.lua\nThe cleaned files are in the "
                                     "trash: " +
                                         state / ".local/share/Trash/files/Pelvar_Cleaned" +
                                         "\nFile Check Complete.\n____"))
        << result.out;

    ProcessResult unknown = cli({"--distribution", "5"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(contains(unknown.err, "distribution 5 is not offered")) << unknown.err;
}

TEST_F(CliTest, NoGameAndBadUsage) {
    ::unlink((game / "WoW.exe").c_str());
    ProcessResult noGame = cli({});
    EXPECT_EQ(noGame.exitCode, 2);
    EXPECT_TRUE(noGame.err.starts_with("Can't find WoW, aborting\nLooked in:\n" + game.path() +
                                       ": no WoW.exe\n"))
        << noGame.err;
    writeFile(game / "Wow.exe", "");
    ProcessResult list = cli({"--list-games"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_TRUE(list.out.starts_with("* 1\t" + game.path() + "\t")) << list.out;
    EXPECT_EQ(cli({"--frobnicate"}).exitCode, 2);
    ProcessResult version = cli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.starts_with("pelvar-cli ") && version.out.ends_with("\n"))
        << version.out;
    EXPECT_EQ(cli({"--keep-clean", "maybe"}).exitCode, 2);
    for (std::vector<std::string> misuse : {std::vector<std::string>{"--rollback", "--release"},
                                            {"--no-hold"},
                                            {"--release", "--no-hold"},
                                            {"--rollback", "--distribution", "1"},
                                            {"--release", "--anonymous"},
                                            {"--release", "--run-game"}}) {
        ProcessResult refused = cli(misuse);
        EXPECT_EQ(refused.exitCode, 2) << misuse[1];
        EXPECT_TRUE(refused.out.empty()) << refused.out;
    }
}

TEST_F(CliTest, FatalEndGivesExitCodeOne) {
    server.addFile("1 Standard", "Interface/AddOns/Beschädigt/Datei.lua", std::string(20000, 'a'));
    stored().writeString("Distribution", "1");
    struct Case {
        std::function<void()> attack;
        std::string message;
    } cases[] = {
        {[&] { server.options()->corruptPath = "Interface/AddOns/Beschädigt/Datei.lua"; },
         "Decompression error: -3"},
        // A patch list cut short is no list: never "Done!", however little was missing.
        {[&] {
             server.options()->corruptPath.clear();
             server.options()->closeOn = 'P';
             server.options()->closeAfter = 30;
         },
         "Patch list cut short: the server closed the connection"},
    };
    for (const Case& c : cases) {
        c.attack();
        ProcessResult result = cli({});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, c.message + "\n");
        EXPECT_FALSE(contains(result.out, "Done!")) << "a failure never reads Done!";
        EXPECT_EQ(linesOf(result.out).back(), c.message) << result.out;
        std::vector<std::string> lines = linesOf(result.out);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), c.message), 1)
            << "the message that is the closing line is not printed twice";
    }
}

TEST_F(CliTest, EveryStatusLineOnceInOrderAndTheClosingLineLast) {
    server.addFile("1 Standard", "Interface/AddOns/Auctionator/Auctionator.lua", "a");
    server.addFile("1 Standard", "Interface/AddOns/Größere Taschen/Übersicht.lua", "b");
    stored().writeString("Distribution", "1");
    // Übersicht.lua cannot be written
    makeDirectories(game / "Interface/AddOns/Größere Taschen/Übersicht.lua.new");
    ProcessResult result = cli({});
    std::vector<std::string> lines = linesOf(result.out);
    const std::vector<std::string> expected = {
        "Connecting",
        "Connected",
        "Waiting for Response",
        "Patching Pelvar",
        "Downloading Interface\\AddOns\\Auctionator\\Auctionator.lua",
        "Failed to create Interface/AddOns/Größere Taschen/Übersicht.lua.new",
        "Pelvar Patching Complete",
        "PatchReport",
        "New: Interface\\AddOns\\Auctionator\\Auctionator.lua",
        "Error: couldn't create Interface\\AddOns\\Größere Taschen\\Übersicht.lua"};
    auto at = lines.begin();
    for (const std::string& line : expected) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\n" << result.out;
        at = std::find(at, lines.end(), line);
        ASSERT_NE(at, lines.end()) << line << " out of order\n" << result.out;
    }
    EXPECT_EQ(lines.back(), "Done!");
    EXPECT_EQ(result.exitCode, 1) << "a listed file could not be installed";
    EXPECT_TRUE(contains(result.err, "pelvar-cli: 1 listed file could not be installed\n"))
        << result.err;
}

TEST_F(CliTest, RunGameStartsItWithTheOptionsAndTheCommandLine) {
    stored().writeString("Distribution", "0");
    stored().writeString("RunWindowed", "1");
    stored().writeString("OpenGL", "1");
    writeFile(game / "WoW.exe",
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.txt\necho the game runs\nexit 3\n");
    ::chmod((game / "WoW.exe").c_str(), 0755);
    EXPECT_EQ(cli({}).exitCode, 0);
    EXPECT_FALSE(exists(game / "args.txt")) << "never without --run-game";
    // The closing line comes before the game takes the process over; the exit code is the game's.
    ProcessResult started = cli({"--run-game", "--", "-console", "a b"});
    EXPECT_EQ(started.exitCode, 3);
    EXPECT_TRUE(started.out.ends_with("\nDone!\nthe game runs\n")) << started.out;
    EXPECT_EQ(readFile(game / "args.txt"), "-console\na b\n-windowed\n-opengl\n");

    // After a pass that ended early, the game still starts.
    ::unlink((game / "args.txt").c_str());
    ProcessResult failed = cliWith(
        environmentWith("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(freeLoopbackPort())),
        {"--run-game"});
    EXPECT_TRUE(failed.out.ends_with("\nCan't connect!\nthe game runs\n")) << failed.out;
    std::vector<std::string> lines = linesOf(failed.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Can't connect!"), 1);
    EXPECT_EQ(readFile(game / "args.txt"), "-windowed\n-opengl\n");
    // The exit code is then the game's: the failure is told on standard error before the game
    // takes over, as without the game.
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_EQ(failed.err, "Can't connect!\n");
    server.addFile("1 Standard", "Interface/AddOns/Größere Taschen/Übersicht.lua", "b");
    stored().writeString("Distribution", "1");
    makeDirectories(game / "Interface/AddOns/Größere Taschen/Übersicht.lua.new");
    ProcessResult notInstalled = cli({"--run-game"});
    EXPECT_EQ(notInstalled.exitCode, 3);
    EXPECT_EQ(notInstalled.err, "pelvar-cli: 1 listed file could not be installed\n");
    EXPECT_TRUE(notInstalled.out.ends_with("\nDone!\nthe game runs\n")) << notInstalled.out;
    stored().writeString("Distribution", "0");

    // A Windows program and no wine: the user is told why, then the closing line.
    ::chmod((game / "WoW.exe").c_str(), 0644);
    ProcessResult notStarted =
        cliWith(environmentWith("PATH", state / "no-programs"), {"--run-game"});
    EXPECT_EQ(notStarted.exitCode, 1);
    EXPECT_TRUE(notStarted.err.starts_with("pelvar-cli: WoW could not be started: WoW.exe: "))
        << notStarted.err;
    EXPECT_EQ(linesOf(notStarted.out).back(), "Done!");
}

TEST_F(CliTest, AccountForScriptsNeverOnTheCommandLine) {
    stored().writeString("Distribution", "0");
    writeFile(state / "password", "proudmoore\n");

    writeTable();
    ProcessResult fromEnvironment =
        cliWith(environmentWith("MIRELGAN_PASSWORD", "proudmoore"), {"--user", "jaina"});
    EXPECT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
    writeTable();
    ProcessResult fromFile = cli({"--user", "jaina", "--password-file", state / "password"});
    EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
    EXPECT_EQ(server.uploadNames(),
              (std::vector<std::string>{"000001-jaina.zeppelin", "000002-jaina.zeppelin"}));
    EXPECT_EQ(stored().readString("Username"), "") << "the account of a run is not stored";

    // A refused account skips the upload at once, without a question.
    writeTable();
    ProcessResult refused =
        cliWith(environmentWith("MIRELGAN_PASSWORD", "frostmourne"), {"--user", "jaina"});
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_TRUE(contains(refused.out, "Skipping Mirelgan Upload\n")) << refused.out;
    EXPECT_EQ(refused.err, "pelvar-cli: the server refused the login of jaina\n");
    EXPECT_EQ(server.uploadNames().size(), 2u);

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--user", "jaina"},
          {"--password-file", state / "password"},
          {"--user", "jaina", "--password-file", state / "missing"},
          {"--user", "jaina", "--anonymous"},
          {"--user", "jaina", "--password", "proudmoore"}})
        EXPECT_EQ(cli(wrong).exitCode, 2) << wrong.back();
}

TEST_F(CliTest, AnonymousLoginRefusedOnceSkipsTheUpload) {
    // A server that refuses every login, anonymous ones too.
    ScriptedPeer refusing;
    refusing.expect("D\n").send("D\n1\n").expect("L\nanonymous\n\n").send("Login failed\n");
    refusing.readUntilClosed();
    refusing.start();
    stored().writeString("Distribution", "0");
    writeTable();
    ProcessResult result =
        cliWith(environmentWith("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(refusing.port())),
                {"--anonymous"});
    EXPECT_TRUE(refusing.finish()) << refusing.mismatch();
    EXPECT_EQ(refusing.received(), "D\nL\nanonymous\n\n") << "one anonymous login, no more";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "Skipping Mirelgan Upload\n")) << result.out;
}

TEST_F(CliTest, TextFromTheServerOrDiskCannotControlTheTerminal) {
    server.addFile("1 Standard", "Interface/\x1b[2JA.lua", "a");
    server.addFile("1 Standard", "Pelvar.txt", "Caf\xe9 \x1b]0;pwned\x07\r\nnext\rfake\n");
    server.addDistribution("2 \x1b[31mRed");
    stored().writeString("Distribution", "1");
    ProcessResult result = cli({});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_FALSE(contains(result.out, "\x1b")) << result.out;
    EXPECT_TRUE(contains(result.out, "\nDownloading Interface\\^[[2JA.lua\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "\nCaf\xc3\xa9 ^[]0;pwned^G\nnext^Mfake\n")) << result.out;

    ProcessResult offered = cli({"--distribution", "5"});
    EXPECT_EQ(offered.exitCode, 2);
    EXPECT_TRUE(contains(offered.err, "  2  ^[[31mRed\n")) << offered.err;
    EXPECT_FALSE(contains(offered.err, "\x1b"));
}

namespace {

// pelvar-cli on a terminal of its own (a pseudo-terminal) that the test reads and types into.
class Terminal {
public:
    Terminal(const std::string& directory, const Environment& environment) {
        // Everything the child needs is made before the fork.
        std::vector<std::string> entries = changedEnvironment(environment);
        std::vector<char*> variables;
        for (std::string& entry : entries)
            variables.push_back(entry.data());
        variables.push_back(nullptr);
        char* argv[] = {const_cast<char*>(PELVAR_CLI), nullptr};
        child_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (child_ == 0) {
            if (::chdir(directory.c_str()) != 0)
                ::_exit(126);
            ::execve(PELVAR_CLI, argv, variables.data());
            ::_exit(127);
        }
    }
    ~Terminal() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        ::close(master_);
    }

    bool readUntil(const std::string& text) {
        while (!contains(screen, text)) {
            pollfd waiting{master_, POLLIN, 0};
            if (::poll(&waiting, 1, 10000) <= 0)
                return false;
            char block[4096];
            ssize_t got = ::read(master_, block, sizeof block);
            if (got <= 0)
                return false;
            screen.append(block, static_cast<std::size_t>(got));
        }
        return true;
    }
    bool type(const std::string& text) {
        return ::write(master_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    bool echoing() const {
        termios settings{};
        return ::tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }
    // The exit status as waitpid gives it; a program still running after 20 s is killed.
    int wait() {
        int status = 0;
        for (int waited = 0; ::waitpid(child_, &status, WNOHANG) == 0; waited += 10) {
            if (waited == 20000)
                ::kill(child_, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        child_ = -1;
        return status;
    }

    std::string screen;

private:
    int master_ = -1;
    pid_t child_ = -1;
};

} // namespace

TEST_F(CliTest, TerminalAsksForTheLogin) {
    stored().writeString("Distribution", "0");
    writeTable();
    {
        Terminal terminal(game.path(), environment());
        ASSERT_TRUE(terminal.readUntil("Username:")) << terminal.screen;
        EXPECT_TRUE(contains(terminal.screen,
                             "Hint: don't use the same login/pass combination you use for WoW"));
        ASSERT_TRUE(terminal.type("jaina\n"));
        ASSERT_TRUE(terminal.readUntil("Password:")) << terminal.screen;
        EXPECT_FALSE(terminal.echoing()) << "echo is off before the question shows";
        ASSERT_TRUE(terminal.type("proudmoore\n"));
        ASSERT_TRUE(terminal.readUntil("Upload Anonymously? [y/N]")) << terminal.screen;
        EXPECT_TRUE(terminal.echoing());
        ASSERT_TRUE(terminal.type("n\n"));
        ASSERT_TRUE(terminal.readUntil("Done!")) << terminal.screen;
        terminal.wait();
        EXPECT_FALSE(contains(terminal.screen, "proudmoore")) << "the password is not echoed";
        EXPECT_TRUE(contains(terminal.screen, "%\r")) << "a progress bar on a terminal";
    }
    EXPECT_EQ(stored().Username, "jaina");
    EXPECT_EQ(stored().Password, "proudmoore");
    EXPECT_EQ(server.uploadNames(), std::vector<std::string>{"000001-jaina.zeppelin"});

    // Answers typed ahead of their questions are kept, not flushed away.
    stored().writeString("Username", "");
    writeTable();
    {
        Terminal terminal(game.path(), environment());
        ASSERT_TRUE(terminal.readUntil("Username:")) << terminal.screen;
        ASSERT_TRUE(terminal.type("arthas\nfrostmourne\nn\n"));
        ASSERT_TRUE(terminal.readUntil("Done!")) << terminal.screen;
        terminal.wait();
    }
    EXPECT_EQ(stored().Password, "frostmourne");

    // Ended while the password is typed, the program gives the terminal its echo back.
    stored().writeString("Username", "");
    writeTable();
    Terminal terminal(game.path(), environment());
    ASSERT_TRUE(terminal.readUntil("Username:")) << terminal.screen;
    ASSERT_TRUE(terminal.type("sylvanas\n"));
    ASSERT_TRUE(terminal.readUntil("Password:")) << terminal.screen;
    ASSERT_TRUE(terminal.type("\x03")); // Ctrl+C
    [[maybe_unused]] int status = terminal.wait();
#ifndef __SANITIZE_THREAD__
    // (ThreadSanitizer holds back a signal raised in a handler: the program then reads the end of
    // its input and goes on, and gives the echo back all the same.)
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
#endif
    EXPECT_TRUE(terminal.echoing());
}

// The rollback from the terminal: its report shaped like the patch report, then the closing
// line; markers made and released, never the user's own; exit code 1 when something could not
// be restored; the game directory's lock.
TEST_F(CliTest, RollbackAndReleaseFromTheTerminal) {
    ProcessResult nothing = cli({"--rollback"});
    EXPECT_EQ(nothing.exitCode, 0) << nothing.err;
    EXPECT_TRUE(nothing.out.ends_with("PatchReport\nNothing to roll back.\nDone!\n"))
        << nothing.out;

    const std::string replaced = "Interface/AddOns/Ersetzt/Ersetzt.lua";
    const std::string created = "Interface/AddOns/Erschaffen/Erschaffen.lua";
    server.addFile("1 Standard", replaced, "new");
    server.addFile("1 Standard", created, "created");
    stored().writeString("Distribution", "1");
    writeFile(game / replaced, "old");
    ASSERT_EQ(cli({}).exitCode, 0);
    writeFile(game / (created + ".nopatch"), "the user's own marker");

    ProcessResult undone = cli({"--rollback"});
    EXPECT_EQ(undone.exitCode, 0) << undone.err;
    EXPECT_TRUE(undone.out.ends_with("PatchReport\n"
                                     "Restored: Interface\\AddOns\\Ersetzt\\Ersetzt.lua\n"
                                     "Removed: Interface\\AddOns\\Erschaffen\\Erschaffen.lua\n"
                                     "Held: Interface\\AddOns\\Ersetzt\\Ersetzt.lua\n\n"
                                     "____________________________________________________________"
                                     "________\n\nEach held file has a <filename>.nopatch "
                                     "marker beside it, so that the next pass leaves it as it is. "
                                     " To have the held files patched again, run 'pelvar-cli "
                                     "--release' in the game directory: it removes exactly the "
                                     "markers that rollbacks made, never your own.\nDone!\n"))
        << undone.out;
    EXPECT_EQ(readFile(game / replaced), "old");
    EXPECT_EQ(readFile(game / (replaced + ".prepatch")), "new");
    EXPECT_FALSE(exists(game / created));

    int fd = ::open(game.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    for (const char* option : {"--rollback", "--release"}) {
        ProcessResult locked = cli({option});
        EXPECT_EQ(locked.exitCode, 1) << option;
        EXPECT_TRUE(contains(locked.err, "Another pass is running in this game directory"))
            << locked.err;
    }
    ::close(fd);
    EXPECT_TRUE(exists(game / (replaced + ".nopatch")));

    ProcessResult released = cli({"--release"});
    EXPECT_EQ(released.exitCode, 0);
    EXPECT_EQ(released.out, "Released: Interface\\AddOns\\Ersetzt\\Ersetzt.lua\nDone!\n");
    EXPECT_EQ(cli({"--release"}).out, "Nothing to release.\n");
    EXPECT_FALSE(exists(game / (replaced + ".nopatch")));
    EXPECT_EQ(readFile(game / (created + ".nopatch")), "the user's own marker");

    // Patched again; its backup lost, the file cannot be restored.
    ASSERT_EQ(cli({}).exitCode, 0);
    EXPECT_EQ(readFile(game / replaced), "new");
    ::unlink((game / (replaced + ".prepatch")).c_str());
    ProcessResult failed = cli({"--rollback", "--no-hold"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.out.ends_with(
        "PatchReport\nError: couldn't restore Interface\\AddOns\\Ersetzt\\Ersetzt.lua (its "
        "backup no longer holds what the pass replaced)\nThe rollback is not finished: what the "
        "errors above name could not be undone. Once the cause is gone, run the rollback again to "
        "finish it.\nDone!\n"))
        << failed.out;
    EXPECT_TRUE(contains(failed.err, "pelvar-cli: 1 file could not be rolled back")) << failed.err;
    EXPECT_EQ(readFile(game / replaced), "new");
}

// Output that cannot be written (a full disk under a redirection) is no success, whatever the
// program was asked to do.
TEST_F(CliTest, OutputThatCannotBeWrittenIsNoSuccess) {
    for (std::vector<std::string> arguments :
         std::vector<std::vector<std::string>>{{"--version"}, {"--release"}, {}}) {
        arguments.insert(arguments.begin(),
                         {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", PELVAR_CLI});
        ProcessResult full = runProcess(arguments, game.path(), environment());
        EXPECT_EQ(full.exitCode, 1) << arguments.back();
        EXPECT_TRUE(contains(full.err, "pelvar-cli: the output could not be written: No space "
                                       "left on device"))
            << full.err;
    }
}

namespace {

// pelvar-cli with four installations of the game under its home, started outside all of them.
class CliGamesTest : public CliTest {
protected:
    TempDir elsewhere{"pelvar-elsewhere"};
    const std::string steamData = state / ".local/share/Steam/steamapps/compatdata/2001";
    std::vector<std::string> games;

    CliGamesTest() {
        // Wine prefixes whose game key's InstallPath, C:\WoW\, holds the game.
        for (const std::string& prefix :
             {state / ".wine", state / "Lutris prefix",
              state / ".local/share/bottles/bottles/Azeroth", steamData + "/pfx"}) {
            makeDirectories(prefix + "/dosdevices");
            EXPECT_EQ(::symlink("../drive_c", (prefix + "/dosdevices/c:").c_str()), 0);
            writeFile(prefix + "/system.reg",
                      "WINE REGISTRY Version 2\n\n[Software\\\\Blizzard Entertainment\\\\World of "
                      "Warcraft] 1\n\"InstallPath\"=\"C:\\\\WoW\\\\\"\n");
            writeFile(prefix + "/drive_c/WoW/WoW.exe", "MZ");
            games.push_back(prefix + "/drive_c/WoW");
        }
        writeFile(state / ".local/share/lutris/games/wow-1.yml",
                  "game:\n  prefix: " + state / "Lutris prefix" + "\n");
        writeFile(state / ".local/share/Steam/steamapps/libraryfolders.vdf",
                  "\"libraryfolders\" { \"0\" { \"path\" \"" + state / ".local/share/Steam" +
                      "\" } }");
    }
    // pelvar-cli started outside every installation, with `changes` to the environment.
    ProcessResult run(std::vector<std::string> arguments, const Environment& changes = {}) {
        Environment environment = this->environment();
        std::erase_if(environment, [&](const auto& entry) {
            return std::ranges::any_of(
                changes, [&](const auto& change) { return change.first == entry.first; });
        });
        environment.insert(environment.end(), changes.begin(), changes.end());
        arguments.insert(arguments.begin(), PELVAR_CLI);
        return runProcess(arguments, elsewhere.path(), environment);
    }
    // What --list-games lists: each installation by its place in `games` (from 1, one more for
    // another), the one used followed by why, as "1 2 3 (played last) 4".
    std::string marks(const ProcessResult& list) {
        std::string found;
        for (const std::string& line : linesOf(list.out)) {
            std::size_t tab = line.find('\t');
            std::string directory = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
            if (!found.empty())
                found += ' ';
            found += std::to_string(std::find(games.begin(), games.end(), directory) -
                                    games.begin() + 1);
            if (line[0] == '*')
                found.append(" (").append(line.substr(line.rfind("\tused: ") + 7)).append(")");
        }
        return found;
    }
};

} // namespace

TEST_F(CliGamesTest, ListGamesSaysWhichIsUsedAndWhyBeforeAndAfterGame) {
    ProcessResult list = run({"--list-games"});
    EXPECT_EQ(marks(list), "1 (found first) 2 3 4");
    EXPECT_TRUE(contains(list.err, "found first of 4 installations")) << list.err;
    writeFile(games[2] + "/WTF/Config.wtf", "SET gxWindow \"1\"\n");
    EXPECT_EQ(marks(run({"--list-games"})), "1 2 3 (played last) 4");

    EXPECT_EQ(marks(run({"--game", "2"})), "1 2 (chosen) 3 4");
    // A game directory that no place leads to, chosen where the program started, stays chosen.
    EXPECT_EQ(cli({"--game", "1"}).exitCode, 0);
    EXPECT_EQ(marks(run({"--list-games"})), "1 2 3 4 5 (chosen)");
    EXPECT_EQ(run({"--game", games[3]}).exitCode, 0);
    EXPECT_EQ(marks(run({"--list-games"})), "1 2 3 4 (chosen)");
    EXPECT_EQ(marks(run({"--list-games"}, {{"WINEPREFIX", state / "Lutris prefix"}})),
              "2 (named by $WINEPREFIX) 1 3 4");
    EXPECT_EQ(marks(run({"-C", games[0], "--list-games"})), "1 (named by -C) 2 3 4");
    EXPECT_EQ(run({"-C", state / ".wine"}).exitCode, 2)
        << "a directory named without the game is never another's stand-in";
    for (const char* nothing : {"5", "0", "/nowhere"}) {
        ProcessResult refused = run({"--game", nothing});
        EXPECT_EQ(refused.exitCode, 2) << nothing;
        EXPECT_TRUE(contains(refused.err, "no such installation")) << refused.err;
    }
    // The pass runs where the choice says, and says so when the choice is gone.
    std::filesystem::remove_all(games[3]);
    ProcessResult pass = run({"--no-upload"});
    EXPECT_TRUE(pass.out.starts_with("The game chosen before, in " + games[3] +
                                     ", is no longer there: the choice is dropped\nUsing " +
                                     games[2] + ", played last of 3 installations"))
        << pass.out;
}

// The pass before a launcher's own start: the command runs unchanged, from where it was given,
// whatever the pass did, and its exit code stands.
TEST_F(CliGamesTest, LaunchRunsThePassThenTheLaunchersCommand) {
    server.addFile("1 Standard", "Interface/AddOns/Pelvar/Pelvar.lua", "pelvar");
    stored().writeString("Distribution", "1");
    const std::string record = state / "started", runner = state / "proton";
    writeFile(runner, "#!/bin/sh\n{ pwd; printf '%s\\n' \"$@\"; echo \"$WINEPREFIX\"; } > '" +
                          record + "'\necho the game runs\nexit 7\n");
    ::chmod(runner.c_str(), 0755);
    const std::string up = "127.0.0.1:" + std::to_string(server.port()),
                      down = "127.0.0.1:" + std::to_string(freeLoopbackPort()),
                      lutris = state / "Lutris prefix", wait = "waitforexitandrun";
    struct Case {
        const char* name;
        std::string steamData, winePrefix, server; // as the launcher's environment has them
        std::vector<std::string> command;          // after the runner
        std::string game, closing; // where the pass ran ("" for none), its last line
    } cases[] = {
        {"Steam's %command%", steamData, "", up, {wait, games[3] + "/WoW.exe"}, games[3], "Done!"},
        {"Steam's environment alone", steamData, "", up, {wait, "a b"}, games[3], "Done!"},
        {"a command that names the game", "", "", up, {games[2] + "/WoW.exe"}, games[2], "Done!"},
        {"Steam, the server down", steamData, "", down, {wait, "a b"}, "", "Can't connect!"},
        {"Lutris's command prefix", "", lutris, up, {"a b", ""}, games[1], "Done!"},
        {"Lutris, the server down", "", lutris, down, {"WoW.exe"}, "", "Can't connect!"},
        {"no game at all", "", state / "no-prefix", up, {"-x"}, "", "Can't find WoW, aborting"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(record.c_str());
        if (c.closing == "Can't find WoW, aborting")
            for (const char* gone : {".wine", "Lutris prefix", ".local"})
                std::filesystem::remove_all(state / gone);
        std::vector<std::string> arguments = {"--launch", "--", runner};
        arguments.insert(arguments.end(), c.command.begin(), c.command.end());
        ProcessResult launched = run(arguments, {{"STEAM_COMPAT_DATA_PATH", c.steamData},
                                                 {"WINEPREFIX", c.winePrefix},
                                                 {"MIRELGAN_SERVER", c.server}});
        EXPECT_EQ(launched.exitCode, 7) << launched.err;
        EXPECT_TRUE(launched.out.ends_with("\n" + c.closing + "\nthe game runs\n")) << launched.out;
        std::string expected = elsewhere.path() + "\n";
        for (const std::string& argument : c.command)
            expected += argument + "\n";
        EXPECT_EQ(readFile(record), expected + c.winePrefix + "\n") << "unchanged";
        if (!c.game.empty()) {
            EXPECT_EQ(readFile(c.game + "/Interface/AddOns/Pelvar/Pelvar.lua"), "pelvar");
            std::filesystem::remove_all(c.game + "/Interface"); // for the next pass there
        }
    }
    // A mistake in the options, a command that is not there.
    ProcessResult mistaken = run({"--launch", "--distribution", "x", "--", runner});
    EXPECT_EQ(mistaken.exitCode, 7);
    EXPECT_TRUE(contains(mistaken.err, "--distribution takes a number")) << mistaken.err;
    ProcessResult missing = run({"--launch", "--", state / "no-such-runner"});
    EXPECT_EQ(missing.exitCode, 127);
    EXPECT_TRUE(contains(missing.err, "no-such-runner: No such file or directory")) << missing.err;
}

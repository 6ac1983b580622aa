#include "app/common/end_of_pass.h"
#include "game/launcher.h"
#include "game/windows_program.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A "WoW.exe" that writes the arguments it was given, one per line, to args.txt.
void writeStub(const std::string& path, mode_t mode = 0755) {
    writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n");
    ::chmod(path.c_str(), mode);
}

// Starts the game from `game` in a child process; gives what the stub recorded, or "" when
// nothing was started.
std::string startInChild(const std::string& game, const std::vector<std::string>& arguments) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(game.c_str()) == 0)
            startGame(GameInstallation{}, arguments);
        ::_exit(99);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return exists(game + "/args.txt") ? readFile(game + "/args.txt") : "";
}

class LauncherTest : public ::testing::Test {
protected:
    TempDir state;
    Settings settings{state / "settings.db"};
};

using Arguments = std::vector<std::string>;

} // namespace

TEST_F(LauncherTest, OwnArgumentsEachAsGivenThenTheOptions) {
    EXPECT_EQ(gameArguments({}, settings), Arguments{});
    settings.runWindowed = 1;
    settings.openGL = 1;
    EXPECT_EQ(gameArguments({}, settings), (Arguments{"-windowed", "-opengl"}));
    settings.noSound = 1;
    EXPECT_EQ(gameArguments({"-console", "a b", ""}, settings),
              (Arguments{"-console", "a b", "", "-windowed", "-nosound", "-opengl"}));
}

TEST_F(LauncherTest, ClosingStatusLine) {
    EXPECT_EQ(closingStatusLine(0), "Done!");
    EXPECT_EQ(closingStatusLine(12345), "12345 bytes uploaded  -  Done!");
}

TEST_F(LauncherTest, GameGetsItsNameAndEachArgumentApart) {
    TempDir game;
    writeStub(game / "WoW.exe");
    EXPECT_EQ(startInChild(game.path(), {"-x", "a b", "-windowed"}), "-x\na b\n-windowed\n");
    ::unlink((game / "args.txt").c_str());
    EXPECT_EQ(startInChild(game.path(), {}), "\n") << "no argument but its name";
}

TEST_F(LauncherTest, WindowsProgramRunsThroughWine) {
    TempDir game, bin;
    writeStub(game / "WoW.exe", 0644);
    writeFile(bin / "wine", "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.txt\n");
    ::chmod((bin / "wine").c_str(), 0755);
    ScopedEnv path("PATH", bin.path() + ":/usr/bin:/bin");
    EXPECT_EQ(startInChild(game.path(), {"-windowed"}), "WoW.exe\n-windowed\n");
}

TEST_F(LauncherTest, EndOfPassTellsWhyTheGameDidNotStartAndNeverCallsAFailureDone) {
    TempDir game, bin;
    ScopedEnv path("PATH", bin.path());
    CurrentDirectory inGame(game.path());
    writeStub("WoW.exe", 0644); // a Windows program, and no wine to run it
    settings.bytesUploaded = 7;
    PassClosing closing = endOfPassStep(settings, {}, {}, std::nullopt);
    EXPECT_EQ(closing.statusLine, "7 bytes uploaded  -  Done!");
    EXPECT_EQ(closing.startFailure, "") << "no start was wanted";

    settings.autoRunWoW = 1;
    closing = endOfPassStep(settings, {}, {}, std::nullopt);
    EXPECT_NE(closing.startFailure.find("WoW.exe"), std::string::npos) << closing.startFailure;
    EXPECT_EQ(closing.statusLine, "7 bytes uploaded  -  Done!");
    closing = endOfPassStep(settings, {}, {}, "Can't connect!");
    EXPECT_NE(closing.startFailure, "") << "a fatal end still starts the game";
    EXPECT_EQ(closing.statusLine, "Can't connect!");

    writeStub("WoW.exe");
    settings.configureOpen = 1;
    closing = endOfPassStep(settings, {}, {}, std::nullopt);
    EXPECT_EQ(closing.startFailure, "") << "no start while a configuration dialog is open";
    EXPECT_FALSE(exists("args.txt"));
}

TEST(WindowsProgram, MachineFromItsHeaders) {
    // A DOS header whose last field points at a PE header at `at` naming `machine`.
    auto pe = [](std::uint32_t at, const std::string& signature, std::uint16_t machine) {
        std::string file(0x40, '\0');
        file.replace(0, 2, "MZ");
        for (int i = 0; i < 4; ++i)
            file[0x3C + i] = static_cast<char>(at >> (8 * i));
        if (at < 0x1000)
            file.resize(std::max<std::size_t>(file.size(), at));
        return file + signature + static_cast<char>(machine & 0xFF) +
               static_cast<char>(machine >> 8);
    };
    const std::string pe4("PE\0\0", 4);
    const std::vector<std::pair<std::string, ProgramMachine>> cases = {
        {"", ProgramMachine::notWindows},
        {"#!/bin/sh\n", ProgramMachine::notWindows},
        {"MZ", ProgramMachine::windows},
        {pe(0x40, pe4, 0x014C), ProgramMachine::x86},
        {pe(0x80, pe4, 0x8664), ProgramMachine::x64},
        {pe(0x40, pe4, 0xAA64), ProgramMachine::windows},
        {pe(0x40, "PX\0\0", 0x014C), ProgramMachine::windows},
        {pe(0x40, pe4, 0x014C).substr(0, 0x45), ProgramMachine::windows},
        {pe(0xFFFFFFF0, pe4, 0x014C), ProgramMachine::windows},
    };
    TempDir directory;
    const std::string program = directory / "WoW.exe";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        writeFile(program, cases[i].first);
        EXPECT_EQ(programMachine(program), cases[i].second) << i;
    }
    ::unlink(program.c_str());
    ASSERT_EQ(::mkfifo(program.c_str(), 0600), 0);
    EXPECT_EQ(programMachine(program), ProgramMachine::notWindows) << "a FIFO is never opened";
}

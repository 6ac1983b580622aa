// Whole pelvar-cli passes attacked as a user's machine can attack them: the process killed at
// every rename and link of an install and of a rollback, a full disk, and a second pass on the
// same game directory.

#include "harness/content.h"
#include "settings/settings.h"
#include "tests/support/process.h"
#include "tests/support/test_server.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string savedTable =
    "Mirelgan_Data = {\n  [\"items\"] = \"" + std::string(200, 'i') + "\",\n}\n";
const std::string savedRest = "Other = 1\n";

// The files of the game before the pass, and what the distribution makes of them.
struct GameFile {
    std::string path;
    std::optional<std::string> before; // nothing: the file is new
    std::optional<std::string> olderBackup;
    std::string after;
};

class AttackTest : public ::testing::Test {
protected:
    TempDir state{"pelvar-state"};
    TempDir game{"pelvar-game"};
    TestServer server;
    std::vector<GameFile> files = {
        {"Interface/FrameXML/UIParent.lua", letters(9000, 1), std::nullopt, letters(12000, 2)},
        {"Interface/FrameXML/WorldMapFrame.xml", letters(500, 3), std::nullopt, letters(700, 4)},
        {"Interface/AddOns/Größere Taschen/Übersicht.lua", letters(3000, 5), letters(3000, 6),
         letters(2000, 7)},
        {"Interface/AddOns/日本語/設定.lua", std::nullopt, std::nullopt, letters(4000, 8)},
    };

    AttackTest() {
        for (const GameFile& file : files)
            server.addFile("1 Standard", file.path, file.after);
        makeGame();
    }

    void makeGame() {
        fs::remove_all(game.path());
        fs::remove_all(state / "settings.db");
        makeDirectories(game.path());
        writeFile(game / "WoW.exe", "");
        for (const GameFile& file : files) {
            if (file.before)
                writeFile(game / file.path, *file.before);
            if (file.olderBackup)
                writeFile(game / (file.path + ".prepatch"), *file.olderBackup);
        }
        writeFile(game / "WTF/Account/ACC/SavedVariables.lua", savedRest + savedTable);
        Settings settings(state / "settings.db");
        settings.writeString("Distribution", "1");
        settings.writeString("Username", "anonymous");
    }

    ProcessResult cli(std::vector<std::string> wrapper = {},
                      const std::vector<std::string>& arguments = {}) {
        wrapper.push_back(PELVAR_CLI);
        wrapper.insert(wrapper.end(), arguments.begin(), arguments.end());
        return runProcess(wrapper, game.path(),
                          {{"MIRELGAN_SETTINGS", state / "settings.db"},
                           {"MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(server.port())},
                           {"HOME", state.path()},
                           {"XDG_DATA_HOME", ""},
                           {"WINEPREFIX", state / "no-prefix"}});
    }

    // Files that a pass makes on its way and must not leave behind.
    std::vector<std::string> strayTemporaries() const {
        std::vector<std::string> stray;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(game.path())) {
            std::string name = entry.path().filename().string();
            if (name.ends_with(".new"))
                stray.push_back(fs::relative(entry.path(), game.path()).string());
        }
        return stray;
    }

    std::optional<std::string> content(const std::string& path) const {
        if (!exists(game / path))
            return std::nullopt;
        return readFile(game / path);
    }

    // Every file is its old or its new content; a replaced file has its old content as its
    // backup, and a backup that existed is the older one or the file's old content.
    void expectNothingLost(const std::string& when) {
        for (const GameFile& file : files) {
            std::optional<std::string> now = content(file.path);
            std::optional<std::string> backup = content(file.path + ".prepatch");
            bool installed = now == file.after;
            EXPECT_TRUE(installed || now == file.before) << file.path << " " << when;
            if (installed && file.before) {
                EXPECT_EQ(backup, file.before) << file.path << " " << when;
            }
            if (file.olderBackup) {
                EXPECT_TRUE(backup == file.olderBackup || backup == file.before)
                    << file.path << " " << when;
            }
        }
        std::optional<std::string> saved = content("WTF/Account/ACC/SavedVariables.lua");
        std::optional<std::string> old = content("WTF/Account/ACC/SavedVariables.lua.old");
        EXPECT_TRUE(saved == savedRest + savedTable || saved == savedRest) << when;
        if (saved == savedRest) {
            EXPECT_EQ(old, savedRest + savedTable) << when;
        }
    }
};

// A stand-in for the game: rewrites SavedVariables.lua, with a new table, each time the pass
// does the next of `triggers` in the account's directory, in place or through a rename as
// programs do. The pass has its calls there slowed down meanwhile.
class GameWriter {
public:
    struct Trigger {
        std::uint32_t event; // IN_CREATE or IN_MOVED_TO
        std::string name;
    };
    GameWriter(std::string directory, std::vector<Trigger> triggers, bool byRename,
               std::string spare)
        : directory_(std::move(directory)), triggers_(std::move(triggers)), byRename_(byRename),
          spare_(std::move(spare)) {
        watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ::inotify_add_watch(watch_, directory_.c_str(), IN_CREATE | IN_MOVED_TO);
        thread_ = std::thread([this] { run(); });
    }
    ~GameWriter() {
        stopping_ = true;
        thread_.join();
        ::close(watch_);
    }
    // Waits for the writes still due; what the game wrote last, and how many times it wrote.
    std::pair<std::string, std::size_t> finish() {
        stopping_ = true;
        thread_.join();
        thread_ = std::thread([] {});
        return {last_, written_};
    }

private:
    void run() {
        std::size_t ownMoves = 0;
        while (!stopping_ && written_ < triggers_.size()) {
            pollfd waiting{watch_, POLLIN, 0};
            if (::poll(&waiting, 1, 20) <= 0)
                continue;
            alignas(inotify_event) char events[4096];
            ssize_t got = ::read(watch_, events, sizeof events);
            for (char* at = events; got > 0 && at < events + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                at += sizeof(inotify_event) + event->len;
                std::string name = event->len ? event->name : "";
                if (ownMoves > 0 && (event->mask & IN_MOVED_TO) && name == "SavedVariables.lua") {
                    --ownMoves;
                    continue;
                }
                if (written_ < triggers_.size() && (event->mask & triggers_[written_].event) &&
                    name == triggers_[written_].name) {
                    last_ =
                        savedRest + "Written = " + std::to_string(++written_) + "\n" + savedTable;
                    std::string path = directory_ + "/SavedVariables.lua";
                    if (byRename_) {
                        writeFile(spare_, last_);
                        fs::rename(spare_, path);
                        ++ownMoves;
                    } else {
                        writeFile(path, last_);
                    }
                }
            }
        }
    }

    std::string directory_;
    std::vector<Trigger> triggers_;
    bool byRename_;
    std::string spare_;
    int watch_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::string last_;
    std::size_t written_ = 0;
};

} // namespace

// The game writes SavedVariables.lua while a pass takes the table out of it: before the pass
// puts its copy in place, while it does, after it did, twice. The game's write is never undone,
// and on a file system that cannot exchange two files the pass replaces the file in two steps.
TEST_F(AttackTest, TheGamesWriteDuringTheCommitIsNeverUndone) {
    const std::string account = "WTF/Account/ACC/";
    const GameWriter::Trigger backup{IN_CREATE, "SavedVariables.lua.old.new"},
        backedUp{IN_MOVED_TO, "SavedVariables.lua.old"},
        replaced{IN_MOVED_TO, "SavedVariables.lua"};
    struct Trial {
        std::vector<GameWriter::Trigger> writes;
        std::string slowed; // the calls delayed by half a second each
    };
    const Trial trials[] = {
        {{backup}, "rename,renameat2"}, {{backedUp}, "rename,renameat2"},
        {{replaced}, "unlink"},         {{backup, replaced}, "rename,renameat2"},
        {{}, "renameat2:error=EINVAL"},
    };
    for (const Trial& trial : trials) {
        for (bool byRename : {false, true}) {
            std::string what = trial.slowed + " #" + std::to_string(trial.writes.size()) +
                               (byRename ? " by rename" : " in place");
            makeGame();
            Settings(state / "settings.db").writeString("Distribution", "0");
            GameWriter writer(game / account, trial.writes, byRename, state / "spare.lua");
            std::string calls = trial.slowed.substr(0, trial.slowed.find(':'));
            std::string inject =
                calls == trial.slowed ? calls + ":delay_enter=500000" : trial.slowed;
            ProcessResult pass =
                cli({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-o",
                     "/dev/null", "-e", "trace=" + calls, "-e", "inject=" + inject});
            EXPECT_EQ(pass.exitCode, 0) << what << pass.out << pass.err;
            auto [written, writes] = writer.finish();
            ASSERT_EQ(writes, trial.writes.size()) << what << ": the game wrote every time";
            EXPECT_EQ(content(account + "SavedVariables.lua"), writes > 0 ? written : savedRest)
                << what;
            if (writes == 0) {
                EXPECT_EQ(content(account + "SavedVariables.lua.old"), savedRest + savedTable);
            }
            EXPECT_FALSE(exists(game / (account + "SavedVariables.lua.new"))) << what;
            if (byRename && writes == 0)
                break;
        }
    }
}

// The program killed at the `n`-th call of `call` (on `path` only, when given). LeakSanitizer
// cannot work under ptrace: with it, the run that is not killed would end in its complaint.
std::vector<std::string> killedAt(const char* call, int n, const std::string& path = "") {
    std::vector<std::string> wrapper = {"/usr/bin/env",
                                        "ASAN_OPTIONS=detect_leaks=0",
                                        "/usr/bin/strace",
                                        "-f",
                                        "-o",
                                        "/dev/null",
                                        "-e",
                                        std::string("trace=") + call,
                                        "-e",
                                        std::string("inject=") + call +
                                            ":signal=KILL:when=" + std::to_string(n)};
    if (!path.empty())
        wrapper.insert(wrapper.end(), {"-P", path});
    return wrapper;
}

constexpr const char* renamesAndLinks[] = {"link", "linkat", "rename", "renameat", "renameat2"};

// Killed at each rename and link it makes, the pass leaves every file old or new and every backup
// in place, and the next pass repairs everything.
TEST_F(AttackTest, KillAtEveryRenameAndLinkLosesNothing) {
    int kills = 0;
    for (const char* call : renamesAndLinks) {
        for (int n = 1; n <= 40; ++n) {
            makeGame();
            ProcessResult attacked = cli(killedAt(call, n));
            std::string when = std::string(call) + " #" + std::to_string(n);
            if (attacked.exitCode != -1) {
                EXPECT_EQ(attacked.exitCode, 0) << when << attacked.err;
                break; // fewer calls than n: every kill point of this call has been tried
            }
            ++kills;
            expectNothingLost("after a kill at " + when);

            ProcessResult repair = cli();
            ASSERT_EQ(repair.exitCode, 0) << when << repair.out << repair.err;
            for (const GameFile& file : files) {
                EXPECT_EQ(content(file.path), file.after)
                    << file.path << " repaired after " << when;
                if (file.before) {
                    EXPECT_EQ(content(file.path + ".prepatch"), file.before) << when;
                }
            }
            EXPECT_EQ(strayTemporaries(), std::vector<std::string>{}) << when;
            EXPECT_EQ(content("WTF/Account/ACC/SavedVariables.lua"), savedRest) << when;
            EXPECT_EQ(content("WTF/Account/ACC/SavedVariables.lua.old"), savedRest + savedTable)
                << when;
        }
    }
    // Four installs and the saved variables: at least a link and a rename each.
    EXPECT_GE(kills, 10);
}

// Killed at each move of its clean-up (a file set aside, the set-aside directory into the trash),
// the pass has written down where every file goes before it goes: a rollback brings each back
// from where it is, and leaves neither the set-aside directory nor an entry in the trash.
TEST_F(AttackTest, KillAtEveryMoveOfTheCleanUpThenARollbackRecoversEverything) {
    const std::vector<std::string> strays = {"Interface/AddOns/Übrig geblieben/Übrig.lua",
                                             "Interface/AddOns/Übrig geblieben/Zweites.lua"};
    int kills = 0;
    for (int n = 1; n <= 20; ++n) {
        makeGame();
        for (const std::string& stray : strays)
            writeFile(game / stray, "left from an older release: " + stray);
        Settings(state / "settings.db").writeString("KeepClean", "1");
        ProcessResult attacked = cli(killedAt("renameat2", n));
        std::string when = "renameat2 #" + std::to_string(n);
        if (attacked.exitCode != -1) {
            EXPECT_EQ(attacked.exitCode, 0) << when << attacked.err;
            break;
        }
        ++kills;
        ProcessResult rollback = cli({}, {"--rollback", "--no-hold"});
        EXPECT_EQ(rollback.exitCode, 0) << when << rollback.out << rollback.err;
        for (const std::string& stray : strays)
            EXPECT_EQ(content(stray), "left from an older release: " + stray) << when;
        EXPECT_FALSE(content("Pelvar_Cleaned")) << when;
        EXPECT_FALSE(exists(state / ".local/share/Trash/files/Pelvar_Cleaned")) << when;
        EXPECT_FALSE(exists(state / ".local/share/Trash/info/Pelvar_Cleaned.trashinfo")) << when;
        fs::remove_all(state / ".local/share/Trash");
    }
    // The installs' and the clean-up's moves.
    EXPECT_GE(kills, 5);
}

// A disk that fills up keeps the old file, removes what was not written whole, says so and ends
// the pass.
TEST_F(AttackTest, FullDiskKeepsTheOldFileAndEndsThePass) {
    files[0].after = letters(3 << 20, 9);
    server.addFile("1 Standard", files[0].path, files[0].after);
    ProcessResult full = cli({"/usr/bin/prlimit", "--fsize=1000000"});
    EXPECT_EQ(full.exitCode, 1) << full.out << full.err;
    EXPECT_NE(full.out.find("Error: couldn't write Interface\\FrameXML\\UIParent.lua"),
              std::string::npos)
        << full.out;
    EXPECT_NE(full.err.find("Write failed!"), std::string::npos) << full.err;
    EXPECT_EQ(content(files[0].path), files[0].before);
    EXPECT_FALSE(exists(game / (files[0].path + ".new")));
    expectNothingLost("on a full disk");
}

// A second pass on the same game directory ends at once and changes nothing; the first one is
// not disturbed.
TEST_F(AttackTest, SecondPassOnTheSameGameEndsAtOnce) {
    server.options()->chunkSize = 1000;
    server.options()->pause = 50ms;
    ProcessResult first;
    std::thread running([&] { first = cli(); });
    auto deadline = std::chrono::steady_clock::now() + 20s;
    auto started = [&] {
        for (const std::string& line : server.log(false))
            if (line.find(" D:") != std::string::npos)
                return true;
        return false;
    };
    while (!started() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ProcessResult second = cli();
    running.join();
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("Another pass is running in this game directory, aborting"),
              std::string::npos)
        << second.out << second.err;
    EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
    for (const GameFile& file : files)
        EXPECT_EQ(content(file.path), file.after) << file.path;
    EXPECT_EQ(server.uploads().size(), 1u);
}

// A disk without room for a backup's directory entry (or inode) keeps every file as it was and
// says what failed, not that a rename did.
TEST_F(AttackTest, NoRoomForABackupIsSaidSo) {
    ::unlink((game / "WTF/Account/ACC/SavedVariables.lua").c_str());
    ProcessResult full =
        cli({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-o",
             "/dev/null", "-e", "trace=link,linkat", "-e", "inject=link,linkat:error=ENOSPC"});
    EXPECT_EQ(full.exitCode, 1) << full.out << full.err;
    for (const GameFile& file : files) {
        std::string display = file.path;
        std::replace(display.begin(), display.end(), '/', '\\');
        if (file.before) {
            EXPECT_NE(
                full.out.find("Error: no room on the disk to keep the old version of " + display),
                std::string::npos)
                << full.out;
            EXPECT_EQ(content(file.path), file.before);
        } else {
            EXPECT_EQ(content(file.path), file.after) << "a new file needs no backup";
        }
        EXPECT_FALSE(content(file.path + ".new")) << "nothing stays on the full disk";
    }
    EXPECT_EQ(full.out.find("couldn't rename"), std::string::npos) << full.out;
}

// Installed files reach the disk before the digest cache vouches for them: one flush of the file
// system after the downloads, none when nothing was installed.
TEST_F(AttackTest, InstalledFilesAreFlushedBeforeTheyAreRecorded) {
    std::string trace = state / "syscalls";
    auto traced = [&] {
        ProcessResult result = cli({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0",
                                    "/usr/bin/strace", "-f", "-o", trace, "-e", "trace=syncfs"});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        std::string calls = readFile(trace);
        std::size_t count = 0;
        for (std::size_t at = calls.find("syncfs("); at != std::string::npos;
             at = calls.find("syncfs(", at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(traced(), 1u) << "a pass that installed files";
    EXPECT_EQ(traced(), 0u) << "a pass that found everything current";
}

// Killed at each rename and link it makes, a rollback leaves every file old or new with its old
// content kept (in its backup, or between the two renames of its restore in "<file>.new"), and a
// second rollback finishes it: every file as before the pass, each one held. So it does when
// killed while it makes the directories of a recovered file or of its markers, and at each write
// to the settings database up to the last file undone (a removal or a recovery that a kill keeps
// from being written down would go unheld), and as it writes a marker: a marker is whole or
// absent, never an empty one that a release would take for the user's and leave.
TEST_F(AttackTest, KillAtEveryRenameAndLinkOfARollbackThenASecondFinishesIt) {
    const std::string stray = "Interface/AddOns/Übrig geblieben/Übrig.lua";
    const std::string heldBy = "Held by a rollback: ";
    int kills = 0;
    struct Call {
        const char* name;
        int most;
        std::string path = {};
    };
    std::vector<Call> calls;
    for (const char* call : renamesAndLinks)
        calls.push_back({call, 40});
    calls.push_back({"mkdir", 40});
    calls.push_back({"pwrite64", 20});
    calls.push_back({"write", 40, game / (stray + ".nopatch")});
    for (const auto& [call, most, path] : calls) {
        for (int n = 1; n <= most; ++n) {
            makeGame();
            writeFile(game / stray, "left from an older release");
            Settings(state / "settings.db").writeString("KeepClean", "1");
            ProcessResult pass = cli();
            ASSERT_EQ(pass.exitCode, 0) << pass.out << pass.err;
            ASSERT_FALSE(exists(game / stray));

            ProcessResult attacked = cli(killedAt(call, n, path), {"--rollback"});
            std::string when = std::string(call) + " #" + std::to_string(n);
            if (attacked.exitCode != -1) {
                EXPECT_EQ(attacked.exitCode, 0) << when << attacked.out << attacked.err;
                break;
            }
            ++kills;
            for (const GameFile& file : files) {
                std::optional<std::string> now = content(file.path);
                std::optional<std::string> backup = content(file.path + ".prepatch");
                if (!file.before) {
                    EXPECT_TRUE(!now || now == file.after) << file.path << when;
                } else if (now == file.before) {
                    EXPECT_EQ(backup, file.after) << file.path << when;
                } else {
                    EXPECT_EQ(now, file.after) << file.path << when;
                    EXPECT_TRUE(
                        backup == file.before ||
                        (backup == file.after && content(file.path + ".new") == file.before))
                        << file.path << when;
                }
            }

            ProcessResult second = cli({}, {"--rollback"});
            ASSERT_EQ(second.exitCode, 0) << when << second.out << second.err;
            for (const GameFile& file : files) {
                EXPECT_EQ(content(file.path), file.before) << file.path << " after " << when;
                if (file.before) {
                    EXPECT_EQ(content(file.path + ".prepatch"), file.after) << when;
                }
                EXPECT_TRUE(content(file.path + ".nopatch").value_or("").starts_with(heldBy))
                    << file.path << when;
            }
            EXPECT_EQ(content(stray), "left from an older release") << when;
            EXPECT_TRUE(content(stray + ".nopatch").value_or("").starts_with(heldBy)) << when;
        }
    }
    // Three restores of a link and two renames or more each, a removal and a recovery.
    EXPECT_GE(kills, 10);
}

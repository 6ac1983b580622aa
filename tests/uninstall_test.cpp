#include "base/fs.h"
#include "base/trash.h"
#include "tests/support/game_test.h"
#include "uninstall/uninstall.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

class AnsweringDialogs : public UninstallDialogs {
public:
    explicit AnsweringDialogs(bool yes) : yes_(yes) {}
    bool confirm(const std::string& question) override {
        questions.push_back(question);
        return yes_;
    }
    void tellFailure(const std::string& message) override {
        messages.push_back("failure:" + message);
    }
    void tellDone(const std::string& message) override { messages.push_back("done:" + message); }

    std::vector<std::string> questions;
    std::vector<std::string> messages;

private:
    bool yes_;
};

using UninstallTest = GameTest;

} // namespace

TEST_F(UninstallTest, StripsCustomSettingsAndTrashesTheInterface) {
    writeFile("Interface/AddOns/Foo/Foo.lua", "foo");
    std::string config = "SET gxResolution \"1024x768\"\n"
                         "SET Foo_Bar \"1\"\n"
                         "SET Foo.Bar \"1\"\n"
                         "SET showMirelganTips \"1\"\n"
                         "SET xilverMarkerY \"5\"\n"
                         "SET Mirelgan\n"
                         "set Foo_Bar \"lower case\"\n"
                         "SET\n"
                         "SET realmName \"A.B_C\"\n"
                         "SET " +
                         std::string(600, 'L') + "_x \"long\"\n";
    writeFile("WTF/Config.wtf", config);
    AnsweringDialogs dialogs(true);
    EXPECT_EQ(UninstallUi(dialogs), 1);
    EXPECT_EQ(dialogs.questions, std::vector<std::string>{uninstallQuestion});
    EXPECT_EQ(std::string(uninstallQuestion),
              "This will delete the entire Interface\\ directory, as well as removing any custom "
              "UI configuration.\n\n" +
                  std::string(60, ' ') + "Proceed?");
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"done:" + std::string(uninstallDone)});
    EXPECT_FALSE(exists("Interface"));
    EXPECT_EQ(readFile(trashed("Interface/AddOns/Foo/Foo.lua")), "foo");
    // A line of more than 511 characters is judged in pieces: its first piece is a setting with
    // "L..." as its name (no "." or "_" in it, no blank), the rest are not "SET " pieces.
    EXPECT_EQ(readFile("WTF/Config.wtf"), "SET gxResolution \"1024x768\"\n"
                                          "SET Mirelgan\n"
                                          "set Foo_Bar \"lower case\"\n"
                                          "SET\n"
                                          "SET realmName \"A.B_C\"\n"
                                          "SET " +
                                              std::string(600, 'L') + "_x \"long\"\n");
    EXPECT_EQ(readFile("WTF/Config.wtf.stripped"), "SET Foo_Bar \"1\"\n"
                                                   "SET Foo.Bar \"1\"\n"
                                                   "SET showMirelganTips \"1\"\n"
                                                   "SET xilverMarkerY \"5\"\n");
    EXPECT_FALSE(exists("WTF/Config.wtf.new"));

    // A second run replaces the stripped lines with its own.
    writeFile("WTF/Config.wtf", "SET Other_One \"2\"\n");
    EXPECT_EQ(UninstallUi(dialogs), 1);
    EXPECT_EQ(readFile("WTF/Config.wtf.stripped"), "SET Other_One \"2\"\n");
    EXPECT_EQ(readFile("WTF/Config.wtf"), "");
}

TEST_F(UninstallTest, NoAnswerNoChange) {
    writeFile("Interface/AddOns/Bagnon/Bagnon.lua", "a");
    writeFile("WTF/Config.wtf", "SET Foo_Bar \"1\"\n");
    AnsweringDialogs dialogs(false);
    EXPECT_EQ(UninstallUi(dialogs), 0);
    EXPECT_TRUE(exists("Interface/AddOns/Bagnon/Bagnon.lua"));
    EXPECT_EQ(readFile("WTF/Config.wtf"), "SET Foo_Bar \"1\"\n");
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(UninstallTest, NothingThereStillSucceedsWithoutTouchingTheConfiguration) {
    AnsweringDialogs dialogs(true);
    EXPECT_EQ(UninstallUi(dialogs), 0);
    EXPECT_EQ(dialogs.messages,
              std::vector<std::string>{"done:It is done.\nThere was no Interface directory to "
                                       "remove.\nThere was no WTF\\Config.wtf to take custom "
                                       "settings out of."});
}

TEST_F(UninstallTest, FailedTrashIsReportedAndTheConfigurationStillRewritten) {
    makeDirectories("Interface");
    writeFile("WTF/Config.wtf", "SET Foo_Bar \"1\"\nSET keep \"1\"\n");
    ScopedEnv noHome("HOME", "relative-is-no-home");
    ScopedEnv noData("XDG_DATA_HOME", "relative-too");
    AnsweringDialogs dialogs(true);
    EXPECT_EQ(UninstallUi(dialogs), 1);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].starts_with("failure:" + std::string(uninstallFailed) + "\n"))
        << dialogs.messages[0];
    EXPECT_TRUE(exists("Interface"));
    EXPECT_EQ(readFile("WTF/Config.wtf"), "SET keep \"1\"\n");
}

TEST_F(UninstallTest, FullDiskUnderTheStrippedLinesLeavesTheConfigurationAlone) {
    std::string config = "SET keep \"1\"\n";
    for (int i = 0; i < 200; ++i)
        config += "SET Custom_" + std::to_string(i) + " \"a value worth keeping\"\n";
    writeFile("WTF/Config.wtf", config);
    AnsweringDialogs dialogs(true);
    int touched;
    {
        // The disk fills up under the removed lines (written last, at their close); the kept
        // lines fit.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
        rlimit full = before;
        full.rlim_cur = 1024;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
        touched = UninstallUi(dialogs);
        ::setrlimit(RLIMIT_FSIZE, &before);
    }
    EXPECT_EQ(touched, 1);
    EXPECT_EQ(readFile("WTF/Config.wtf"), config) << "no removed line is lost";
    EXPECT_FALSE(exists("WTF/Config.wtf.new"));
    EXPECT_FALSE(exists("WTF/Config.wtf.stripped")) << "a cut list of removed lines is no list";
    EXPECT_EQ(dialogs.messages,
              std::vector<std::string>{"done:It is done.\nThere was no Interface directory to "
                                       "remove.\nThe custom settings could not be taken out of "
                                       "WTF\\Config.wtf, which is unchanged."});
}

TEST(CustomSetting, Rules) {
    EXPECT_FALSE(isCustomSetting("SET gxResolution \"800x600\"\n"));
    EXPECT_TRUE(isCustomSetting("SET a.b 1\n"));
    EXPECT_TRUE(isCustomSetting("SET a_b\n"));
    EXPECT_TRUE(isCustomSetting("SET xMirelgan 1\n"));
    EXPECT_FALSE(isCustomSetting("SET Mirelgan\n"));
    EXPECT_FALSE(isCustomSetting("SET name value.with_dots\n"));
    EXPECT_FALSE(isCustomSetting("SETX a_b\n"));
}

// While a pass holds the game directory (it may be installing into Interface), the removal takes
// nothing away and says why.
TEST_F(UninstallTest, NothingIsRemovedWhileAPassRunsInTheGameDirectory) {
    writeFile("Interface/AddOns/Während/Eines Durchgangs.lua", "installed");
    writeFile("WTF/Config.wtf", "SET Foo_Bar \"1\"\n");
    DirectoryLock pass;
    ASSERT_TRUE(pass.tryLock("."));
    AnsweringDialogs dialogs(true);
    EXPECT_EQ(UninstallUi(dialogs), 0);
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"failure:" + std::string(uninstallBusy)});
    EXPECT_EQ(readFile("Interface/AddOns/Während/Eines Durchgangs.lua"), "installed");
    EXPECT_EQ(readFile("WTF/Config.wtf"), "SET Foo_Bar \"1\"\n");
}

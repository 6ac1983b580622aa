#pragma once

#include "job_channel/job.h"
#include "settings/settings.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_window.h"

#include <chrono>
#include <gtest/gtest.h>

// A fresh game directory as the current directory, with the program's settings and the user's
// trash kept outside it (on the same file system), and a job channel served by a TestWindow.
class GameTest : public ::testing::Test {
protected:
    TempDir state{"pelvar-state"};
    TempDir game{"pelvar-game"};
    CurrentDirectory inGame{game.path()};
    ScopedEnv home{"HOME", state.path()};
    ScopedEnv dataHome{"XDG_DATA_HOME", nullptr};
    Settings settings{state / "settings.db"};
    Job job;
    TestWindow window;

    GameTest() {
        job.fatalPause = std::chrono::milliseconds(0);
        settings.mustChooseDistribution = 0;
    }

    bool pass(PassBody body) { return runPass(job, settings, window, std::move(body)); }
    std::string trashed(const std::string& path) const {
        return state / (".local/share/Trash/files/" + path);
    }
};

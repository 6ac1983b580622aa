#include "game/launcher.h"

#include "base/fs.h"
#include "game/config_files.h"
#include "game/process_start.h"
#include "game/windows_program.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

std::vector<std::string> gameArguments(const std::vector<std::string>& ownArguments,
                                       const Settings& settings) {
    std::vector<std::string> arguments = ownArguments;
    if (settings.runWindowed)
        arguments.push_back("-windowed");
    if (settings.noSound)
        arguments.push_back("-nosound");
    if (settings.openGL)
        arguments.push_back("-opengl");
    return arguments;
}

GameStart planGameStart(const GameInstallation& game, const std::vector<std::string>& arguments) {
    const std::string executable = game.executable.empty() ? gameExecutable : game.executable;
    const std::string path =
        game.directory.empty() ? executable : game.directory + "/" + executable;
    const WineRuntime& runtime = game.runtime;
    GameStart start;
    start.environment = runtime.environment;
    if (!runtime.prefix.empty())
        start.environment.emplace_back("WINEPREFIX", runtime.prefix);
    if (!fileExists(path)) {
        start.problem = executable + ": " + std::strerror(ENOENT);
        return start;
    }
    // A launcher's runner that is not installed is never replaced by another wine, which would
    // rebuild the launcher's prefix for itself.
    if (!runtime.missing.empty()) {
        start.problem = runtime.missing;
        return start;
    }
    const ProgramMachine machine = programMachine(path);
    start.executableFirst = runtime.wine.empty() && machine == ProgramMachine::notWindows;
    start.file = runtime.wine.empty() ? wineOnPath() : runtime.wine;
    start.argv = {start.file};
    if (runtime.proton)
        start.argv.push_back("waitforexitandrun");
    start.argv.push_back(executable);
    start.argv.insert(start.argv.end(), runtime.arguments.begin(), runtime.arguments.end());
    start.argv.insert(start.argv.end(), arguments.begin(), arguments.end());
    if (start.executableFirst)
        return start;

    const std::string whose = runtime.launcher.empty() ? "" : " of " + runtime.launcher;
    if (start.file.empty())
        start.problem =
            executable + " is a Windows program, and there is no wine on the PATH to run it";
    else if (!isExecutableFile(start.file))
        start.problem = "the " + std::string(runtime.proton ? "Proton" : "wine") + whose + ", " +
                        start.file + ", cannot be executed";
    else if (!runtime.proton)
        start.problem = whyWineCannotRun(start.file, path);
    return start;
}

std::string startGame(const GameInstallation& game, const std::vector<std::string>& arguments,
                      const std::function<void()>& beforeHandOver) {
    if (!game.launchCommand.empty()) {
        // The launcher's command is the game's start: nothing of it is checked or changed.
        if (beforeHandOver)
            beforeHandOver();
        if (!game.launchDirectory.empty() && ::chdir(game.launchDirectory.c_str()) != 0)
            return game.launchDirectory + ": " + std::strerror(errno);
        std::string failure = replaceProcessByCommand(game.launchCommand);
        // A pass that follows works in the game directory again.
        int error = errno;
        if (!game.directory.empty() && ::chdir(game.directory.c_str()) != 0)
            failure += "; " + game.directory + ": " + std::strerror(errno);
        errno = error;
        return failure;
    }
    GameStart start = planGameStart(game, arguments);
    if (!start.problem.empty())
        return start.problem;
    if (beforeHandOver)
        beforeHandOver();
    if (start.executableFirst) {
        std::string failure = replaceProcess(
            start.argv[1], {start.argv.begin() + 1, start.argv.end()}, start.environment);
        if (errno == ENOENT)
            return failure;
        if (start.file.empty())
            return failure + ", and no wine on the PATH to run it";
    }
    return replaceProcess(start.file, start.argv, start.environment);
}

std::string runnerText(const GameInstallation& game) {
    GameStart start = planGameStart(game, {});
    if (!start.problem.empty())
        return "cannot start: " + start.problem;
    if (start.executableFirst)
        return start.file.empty() ? "itself" : "itself, else wine " + start.file;
    return (game.runtime.proton ? "Proton " : "wine ") + start.file;
}

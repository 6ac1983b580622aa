#include "app/shell/launcher.h"

#include "app/shell/process_start.h"
#include "settings/format_string.h"
#include "settings/settings.h"

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

std::string startGame(const GameInstallation& game, const std::vector<std::string>& arguments) {
    return replaceProcess(game.executable.empty() ? gameExecutable : game.executable, arguments,
                          true, game.runtime);
}

std::string closingStatusLine(std::int32_t bytesUploaded) {
    if (bytesUploaded == 0)
        return "Done!";
    std::string line;
    formatString(line, "%d bytes uploaded  -  Done!", bytesUploaded);
    return line;
}

PassClosing endOfPassStep(const Settings& settings, const GameInstallation& game,
                          const std::vector<std::string>& ownArguments,
                          const std::optional<std::string>& fatalMessage) {
    PassClosing closing;
    if (settings.autoRunWoW && !settings.configureOpen)
        closing.startFailure = startGame(game, gameArguments(ownArguments, settings));
    closing.statusLine = fatalMessage ? *fatalMessage : closingStatusLine(settings.bytesUploaded);
    return closing;
}

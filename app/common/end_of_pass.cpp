#include "app/common/end_of_pass.h"

#include "base/format_string.h"
#include "game/launcher.h"
#include "settings/settings.h"

std::string closingStatusLine(std::int32_t bytesUploaded) {
    if (bytesUploaded == 0)
        return "Done!";
    std::string line;
    formatString(line, "%d bytes uploaded  -  Done!", bytesUploaded);
    return line;
}

PassClosing endOfPassStep(const Settings& settings, const GameInstallation& game,
                          const std::vector<std::string>& ownArguments,
                          const std::optional<std::string>& fatalMessage,
                          const std::function<void(const std::string&)>& beforeHandOver) {
    PassClosing closing;
    closing.statusLine = fatalMessage ? *fatalMessage : closingStatusLine(settings.bytesUploaded);
    if (settings.autoRunWoW && !settings.configureOpen)
        closing.startFailure = startGame(game, gameArguments(ownArguments, settings), [&] {
            if (beforeHandOver)
                beforeHandOver(closing.statusLine);
        });
    return closing;
}

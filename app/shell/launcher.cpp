#include "app/shell/launcher.h"

#include "app/shell/process_start.h"
#include "settings/format_string.h"
#include "settings/settings.h"

namespace {

void appendOption(std::string& text, const char* option) {
    if (!text.empty())
        text += ' ';
    text += option;
}

} // namespace

std::string gameArgumentText(const std::string& commandLine, const Settings& settings) {
    std::string text = commandLine;
    if (settings.runWindowed)
        appendOption(text, "-windowed");
    if (settings.noSound)
        appendOption(text, "-nosound");
    if (settings.openGL)
        appendOption(text, "-opengl");
    return text;
}

std::vector<std::string> splitArguments(const std::string& text) {
    std::vector<std::string> arguments;
    std::size_t at = 0;
    while (at < text.size()) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string::npos)
            break;
        std::size_t end = text.find_first_of(" \t", at);
        arguments.push_back(text.substr(at, end - at));
        at = end;
    }
    return arguments;
}

std::string startGame(const std::string& argumentText) {
    return replaceProcess("WoW.exe", splitArguments(argumentText), true);
}

std::string closingStatusLine(std::int32_t bytesUploaded) {
    if (bytesUploaded == 0)
        return "Done!";
    std::string line;
    formatString(line, "%d bytes uploaded  -  Done!", bytesUploaded);
    return line;
}

std::string endOfPassStep(const Settings& settings, const std::string& commandLine) {
    if (settings.autoRunWoW && !settings.configureOpen)
        startGame(gameArgumentText(commandLine, settings));
    return closingStatusLine(settings.bytesUploaded);
}

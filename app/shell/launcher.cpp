#include "app/shell/launcher.h"

#include "settings/format_string.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void appendOption(std::string& text, const char* option) {
    if (!text.empty())
        text += ' ';
    text += option;
}

// The first executable "wine" on the PATH, or "".
std::string findWine() {
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = directories.find(':', start);
        std::string directory = directories.substr(start, colon - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/wine";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

void execute(const std::string& file, const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(file.c_str(), pointers.data());
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

void replaceProcess(const std::string& program, const std::vector<std::string>& arguments,
                    bool tryWine) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    execute(program, argv);
    if (!tryWine || errno == ENOENT)
        return;
    // A Windows program that this system cannot run by itself.
    std::string wine = findWine();
    if (wine.empty())
        return;
    argv.insert(argv.begin(), "wine");
    execute(wine, argv);
}

void startGame(const std::string& argumentText) {
    replaceProcess("WoW.exe", splitArguments(argumentText), true);
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

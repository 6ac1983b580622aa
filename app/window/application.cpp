#include "app/window/application.h"

#include "app/window/main_window.h"
#include "app/window/message_boxes.h"
#include "game/game_location.h"
#include "game/launcher.h"
#include "pass/patch_run.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    char byte = 1;
    // A full pipe already holds a request.
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void initWindowResources() {
    Q_INIT_RESOURCE(resources);
}

Application::Application(std::vector<std::string> programArguments, const std::string& storePath)
    : settings(storePath), arguments(std::move(programArguments)), passBody(runPatchPass) {}

void Application::startLaunchCommand(const std::vector<std::string>& command,
                                     const std::string& directory) {
    GameInstallation launch;
    launch.launchCommand = command;
    launch.launchDirectory = directory;
    std::string failure = startGame(launch, {});
    int code = errno == ENOENT ? 127 : 126;
    std::fprintf(stderr, "pelvar: %s: %s\n", gameStartFailed, failure.c_str());
    std::exit(code);
}

int Application::startup() {
    std::vector<std::string> ownArguments = arguments;
    if (rollback)
        ownArguments.insert(ownArguments.begin(), "--rollback");
    if (release)
        ownArguments.insert(ownArguments.begin(), "--release");
    if (!launchCommand.empty()) {
        ownArguments.insert(ownArguments.end(), {"--launch", "--"});
        ownArguments.insert(ownArguments.end(), launchCommand.begin(), launchCommand.end());
    }
    char here[4096];
    const std::string launchDirectory = ::getcwd(here, sizeof here) ? here : "";
    GameQuery query;
    query.launch = !launchCommand.empty();
    query.launchCommand = launchCommand;
    query.settings = &settings;
    search = enterGameOrHandOver(ownArguments, query);
    startupNotes = search.notes;
    if (!search.used()) {
        if (!launchCommand.empty()) {
            // The launcher's game starts at once: no message box holds it up.
            std::fprintf(stderr, "Can't find WoW, aborting\nLooked in:\n%s",
                         lookedText(search).c_str());
            startLaunchCommand(launchCommand);
        }
        showGameNotFound(lookedText(search));
        return 0;
    }
    game = *search.used();
    if (!launchCommand.empty()) {
        game.launchCommand = launchCommand;
        game.launchDirectory = launchDirectory;
        settings.autoRunWoW = 1; // in memory: the game starts after the pass
    }
    MainWindow window(*this);
    mainWindow = &window;
    window.exec();
    // The launcher waits for its game: closing the window starts it too, unless a signal asked
    // the program to end.
    if (!game.launchCommand.empty() && !ending_)
        startLaunchCommand(game.launchCommand, game.launchDirectory);
    // The worker may still use the window's Job: the process ends before the window goes.
    if (passRunning())
        endProcess(0);
    mainWindow = nullptr;
    return 0;
}

void Application::closeOnTerminationSignals() {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [this] {
        char drained[16];
        while (::read(signalPipe[0], drained, sizeof drained) > 0) {
        }
        requestEnd();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void Application::requestEnd() {
    ending_ = true;
    if (mainWindow)
        mainWindow->reject();
    QWidget* modal = QApplication::activeModalWidget();
    if (mainWindow && (!modal || modal == mainWindow))
        return; // the window's loop ends, and with it the program
    // A dialog is open over the window (or there is no window yet): answering it would go on
    // with the program (a report's end may start the game), so the process ends here, at once.
    std::fflush(nullptr);
    std::_Exit(0);
}

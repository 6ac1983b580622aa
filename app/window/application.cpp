#include "app/window/application.h"

#include "app/window/main_window.h"
#include "app/window/message_boxes.h"
#include "game/game_location.h"
#include "pass/patch_run.h"

#include <QApplication>
#include <QSocketNotifier>
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

int Application::startup() {
    std::vector<std::string> ownArguments = arguments;
    if (rollback)
        ownArguments.insert(ownArguments.begin(), "--rollback");
    if (release)
        ownArguments.insert(ownArguments.begin(), "--release");
    GameSearchResult search = enterGameOrHandOver(ownArguments);
    if (!search.used()) {
        showGameNotFound(lookedText(search));
        return 0;
    }
    game = *search.used();
    MainWindow window(*this);
    mainWindow = &window;
    window.exec();
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

#include "app/window/application.h"

#include "app/shell/game_location.h"
#include "app/window/main_window.h"
#include "patcher/patch_run.h"

#include <QMessageBox>

void initWindowResources() {
    Q_INIT_RESOURCE(resources);
}

Application::Application(int argc, char** argv, const std::string& storePath)
    : settings(storePath), passBody(runPatchPass) {
    for (int i = 1; i < argc; ++i)
        commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
}

int Application::startup() {
    if (findGameOrHandOver(winePrefix(), commandLine) == GameSearch::notFound) {
        QMessageBox::warning(nullptr, applicationTitle, "Can't find WoW, aborting");
        return 0;
    }
    MainWindow window(*this);
    mainWindow = &window;
    window.exec();
    mainWindow = nullptr;
    return 0;
}

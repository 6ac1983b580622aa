// pelvar: the window. Finds the game, shows the main window, and runs a pass at once.

#include "app/job/job.h"
#include "app/window/application.h"
#include "app/window/message_boxes.h"
#include "net/server_link.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    initWindowResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pelvar.svg")));
    QApplication::setDesktopFileName(QStringLiteral("pelvar"));
    Application application(argc, argv);
    if (!application.settings.storeError().empty())
        std::fprintf(stderr, "pelvar: settings are not remembered: %s\n",
                     application.settings.storeError().c_str());
    if (!configuredServer()) {
        showMessage(nullptr, "MIRELGAN_SERVER must be a.b.c.d or a.b.c.d:port");
        return 2;
    }
    setFatalHook([](const std::string& message) { showMessage(nullptr, message); });
    endProcess(application.startup());
}

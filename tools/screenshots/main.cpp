// pelvar-screenshots DIR: renders every dialog of the window to a PNG file in DIR, with sample
// contents, for the README. Runs without a display (QT_QPA_PLATFORM=offscreen).

#include "app/job/worker_job.h"
#include "app/window/application.h"
#include "app/window/configure_dialog.h"
#include "app/window/login_dialog.h"
#include "app/window/main_window.h"
#include "app/window/report_window.h"
#include "settings/settings.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {

bool save(QWidget& widget, const QString& path) {
    widget.show();
    QApplication::processEvents();
    bool saved = widget.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    widget.hide();
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelvar-screenshots DIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication qt(argc, argv);
    initWindowResources();
    QDir out(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath());
    out.mkpath(QStringLiteral("."));
    QTemporaryDir state;
    QDir::setCurrent(state.path());

    Application application(1, argv, (state.path() + QStringLiteral("/settings.db")).toStdString());
    Settings& settings = application.settings;
    settings.distListPending = 0;
    {
        std::lock_guard guard(settings.distributionLinesLock);
        settings.distributionLines = {"1 Standard", "2 Lite", "3 Raid"};
    }
    settings.distribution = 1;
    settings.keepClean = 1;
    settings.runWindowed = 1;
    application.passBody = [](WorkerJob& worker) {
        worker.status("Downloading Interface\\AddOns\\Foo\\Foo.lua");
        worker.setProgress(62);
    };

    bool ok = true;
    {
        MainWindow window(application);
        application.mainWindow = &window;
        for (int i = 0; i < 20 && window.statusLine().empty(); ++i) {
            QThread::msleep(50);
            QApplication::processEvents();
        }
        window.showStatus("Downloading Interface\\AddOns\\Foo\\Foo.lua");
        window.showProgress(62);
        ok &= save(window, out.filePath(QStringLiteral("main-window.png")));
        {
            ConfigureDialog configure(application, &window);
            ok &= save(configure, out.filePath(QStringLiteral("configure.png")));
        }
        {
            DistributionDialog distribution(application, &window);
            ok &= save(distribution, out.filePath(QStringLiteral("distribution.png")));
        }
        {
            LoginDialog login({firstLoginHint, "", ""}, &window);
            ok &= save(login, out.filePath(QStringLiteral("login.png")));
        }
        settings.reportLines = {"New: Interface\\AddOns\\Foo\\Foo.lua",
                                "Changed: Interface\\FrameXML\\UIParent.lua",
                                "Cleaned Interface\\AddOns\\Old\\Old.lua"};
        {
            ReportWindow report(settings, &window);
            ok &= save(report, out.filePath(QStringLiteral("report.png")));
        }
        application.mainWindow = nullptr;
    }
    return ok ? 0 : 1;
}

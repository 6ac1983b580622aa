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
#include <string>
#include <vector>

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

const char usage[] =
    "usage: pelvar-screenshots DIR\n"
    "Renders every dialog of the pelvar window with sample contents to a PNG file in DIR (made\n"
    "when missing): main-window.png, configure.png, distribution.png, login.png, report.png and\n"
    "report-16pt.png (the report at a 16-point desktop font). Needs no display.\n"
    "  --help, --version   print this text or the version and end\n";

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("pelvar-screenshots %s\n", MIRELGAN_VERSION);
        return 0;
    }
    if (argc != 2) {
        std::fputs(usage, stderr);
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
    // A Pelvar.txt written on Windows, in Windows-1252.
    if (std::FILE* notes = std::fopen("Pelvar.txt", "wb")) {
        std::fputs("Pelvar 2.12: new action bars. The caf\xe9 in Orgrimmar is open again.\r\n",
                   notes);
        std::fclose(notes);
    }

    Application application({}, (state.path() + QStringLiteral("/settings.db")).toStdString());
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
        std::vector<std::string> reportLines = settings.reportLines;
        {
            ReportWindow report(settings, &window);
            ok &= save(report, out.filePath(QStringLiteral("report.png")));
        }
        // The dialogs follow the desktop's font: the same report at 16 points.
        QFont large = QApplication::font();
        large.setPointSize(16);
        QApplication::setFont(large);
        settings.reportLines = reportLines;
        {
            ReportWindow report(settings, &window);
            ok &= save(report, out.filePath(QStringLiteral("report-16pt.png")));
        }
        application.mainWindow = nullptr;
    }
    return ok ? 0 : 1;
}

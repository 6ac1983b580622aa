// pelvar-screenshots DIR: renders every dialog of the window to a PNG file in DIR, with sample
// contents, for the README, then the same at a scale factor of 2. Runs without a display
// (QT_QPA_PLATFORM=offscreen, on a screen of a common desktop's size).

#include "app/window/application.h"
#include "app/window/configure_dialog.h"
#include "app/window/login_dialog.h"
#include "app/window/main_window.h"
#include "app/window/message_boxes.h"
#include "app/window/report_window.h"
#include "job_channel/worker_job.h"
#include "settings/settings.h"
#include "uninstall/uninstall.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "usage: pelvar-screenshots DIR\n"
    "Renders every dialog of the pelvar window with sample contents to a PNG file in DIR (made\n"
    "when missing): main-window.png, configure.png, distribution.png, login.png, report.png,\n"
    "rollback-report.png, uninstall.png (the uninstall question), and report-16pt.png,\n"
    "uninstall-16pt.png and not-found-16pt.png (the game not found, with where the search\n"
    "looked) at a 16-point desktop font; then each again at a scale factor of 2\n"
    "(main-window-2x.png, ...).\n"
    "With QT_SCALE_FACTOR set, only the files of that scale are rendered. Needs no display.\n"
    "  --help, --version   print this text or the version and end\n";

// A screen of a common desktop's size: Qt sizes message boxes from the screen's width.
const char desktopScreen[] = R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920,
    "height": 1080, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";

// The sample game directory the pictures show.
const char gameDirectory[] = "/home/thrall/Games/world-of-warcraft/drive_c/World of Warcraft";

class Shots {
public:
    explicit Shots(QDir out) : out_(std::move(out)) {
        qreal scale = QApplication::primaryScreen()->devicePixelRatio();
        if (scale != 1)
            suffix_ = QStringLiteral("-%1x").arg(scale);
    }

    void save(QWidget& widget, const QString& name) {
        widget.show();
        QApplication::processEvents();
        QString path = out_.filePath(name + suffix_ + QStringLiteral(".png"));
        bool saved = widget.grab().save(path);
        std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
        widget.hide();
        ok_ &= saved;
    }
    bool ok() const { return ok_; }

private:
    QDir out_;
    QString suffix_;
    bool ok_ = true;
};

} // namespace

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
    QTemporaryDir state;
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) {
        QFile screen(state.filePath(QStringLiteral("screen.json")));
        if (screen.open(QIODevice::WriteOnly) && screen.write(desktopScreen) > 0 && screen.flush())
            qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screen.fileName()).toUtf8());
        else
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    bool bothScales = qgetenv("QT_SCALE_FACTOR").isEmpty();
    QApplication qt(argc, argv);
    initWindowResources();
    QDir out(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath());
    out.mkpath(QStringLiteral("."));
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
        settings.distributionLines = {
            "1 Standard", "2 Lite",
            "3 Complete: every add-on of the compilation, with its optional modules"};
    }
    settings.distribution = 3;
    settings.keepClean = 1;
    // Two installations to choose from: the Lutris one in use, and an older one in ~/.wine.
    for (const char* origin : {"Lutris world-of-warcraft", "~/.wine"}) {
        GameInstallation installation;
        installation.directory = origin[0] == '~'
                                     ? "/home/thrall/.wine/drive_c/Program Files/World of Warcraft"
                                     : gameDirectory;
        installation.origin = origin;
        application.search.installations.push_back(installation);
    }
    application.search.usedIndex = 0;
    application.search.reason = ChoiceReason::chosen;
    application.search.complete = true;
    settings.runWindowed = 1;
    // A path too long for the status line: it keeps its file name.
    const char status[] =
        "Downloading "
        "Interface\\AddOns\\Mirelgan_Recorder\\Localization\\Mirelgan_Recorder_deDE.lua";
    application.passBody = [&](WorkerJob& worker) {
        worker.status("%s", status);
        worker.setProgress(62);
    };

    Shots shots(out);
    {
        MainWindow window(application);
        application.mainWindow = &window;
        for (int i = 0; i < 20 && window.statusLine().empty(); ++i) {
            QThread::msleep(50);
            QApplication::processEvents();
        }
        window.showStatus(status);
        window.showProgress(62);
        if (auto* directory = window.findChild<QLabel*>(QStringLiteral("gameDirectory")))
            directory->setText(QString::fromUtf8(gameDirectory));
        shots.save(window, QStringLiteral("main-window"));
        {
            ConfigureDialog configure(application, &window);
            shots.save(configure, QStringLiteral("configure"));
        }
        {
            DistributionDialog distribution(application, &window);
            shots.save(distribution, QStringLiteral("distribution"));
        }
        {
            LoginDialog login({firstLoginHint, "", ""}, &window);
            shots.save(login, QStringLiteral("login"));
        }
        {
            MessageBox question(QMessageBox::Question, uninstallQuestion,
                                QMessageBox::Yes | QMessageBox::No, &window);
            shots.save(question, QStringLiteral("uninstall"));
        }
        settings.reportLines = {"New: Interface\\AddOns\\Foo\\Foo.lua",
                                "Changed: Interface\\FrameXML\\UIParent.lua",
                                "Cleaned Interface\\AddOns\\Old\\Old.lua"};
        std::vector<std::string> reportLines = settings.reportLines;
        {
            ReportWindow report(settings, &window);
            shots.save(report, QStringLiteral("report"));
        }
        settings.reportLines = {"Restored: Interface\\FrameXML\\UIParent.lua",
                                "Removed: Interface\\AddOns\\Foo\\Foo.lua",
                                "Recovered: Interface\\AddOns\\Old\\Old.lua",
                                "Held: Interface\\FrameXML\\UIParent.lua",
                                "Held: Interface\\AddOns\\Foo\\Foo.lua",
                                "Held: Interface\\AddOns\\Old\\Old.lua"};
        settings.rollbackReport = true;
        {
            ReportWindow report(settings, gameDirectory, &window);
            shots.save(report, QStringLiteral("rollback-report"));
        }
        // The dialogs follow the desktop's font: the same report at 16 points.
        QFont large = QApplication::font();
        large.setPointSize(16);
        QApplication::setFont(large);
        settings.reportLines = reportLines;
        {
            ReportWindow report(settings, &window);
            shots.save(report, QStringLiteral("report-16pt"));
        }
        {
            MessageBox question(QMessageBox::Question, uninstallQuestion,
                                QMessageBox::Yes | QMessageBox::No, &window);
            shots.save(question, QStringLiteral("uninstall-16pt"));
        }
        {
            MessageBox notFound(QMessageBox::Warning, "Can't find WoW, aborting", QMessageBox::Ok);
            notFound.setDetails(
                "Looked in:\n/home/thrall/Downloads (the current directory): no WoW.exe\n"
                "/home/thrall/.wine: no InstallPath\n"
                "/home/thrall/Games/world-of-warcraft (Lutris): InstallPath C:\\World of "
                "Warcraft\\ gives /home/thrall/Games/world-of-warcraft/drive_c/World of "
                "Warcraft, without WoW.exe\n");
            notFound.show();
            for (auto* button : notFound.findChildren<QPushButton*>())
                if (button->text().startsWith(QStringLiteral("Show Details")))
                    button->click();
            QApplication::processEvents();
            shots.save(notFound, QStringLiteral("not-found-16pt"));
        }
        application.mainWindow = nullptr;
    }
    if (!bothScales)
        return shots.ok() ? 0 : 1;
    // The scale is chosen when the program starts: the second set comes from a second run.
    std::fflush(stdout);
    QProcess twice;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    twice.setProcessEnvironment(environment);
    twice.setProcessChannelMode(QProcess::ForwardedChannels);
    twice.start(QCoreApplication::applicationFilePath(), {out.absolutePath()});
    bool twiceOk = twice.waitForFinished(-1) && twice.exitStatus() == QProcess::NormalExit &&
                   twice.exitCode() == 0;
    return shots.ok() && twiceOk ? 0 : 1;
}

// The window, offscreen: dialogs are driven from timers through QApplication::activeModalWidget().

#include "app/job/auto_reset_event.h"
#include "app/job/worker_job.h"
#include "app/shell/login_flow.h"
#include "app/shell/report.h"
#include "app/window/application.h"
#include "app/window/configure_dialog.h"
#include "app/window/dialog_units.h"
#include "app/window/hyperlink.h"
#include "app/window/login_dialog.h"
#include "app/window/main_window.h"
#include "app/window/report_window.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"
#include "uninstall/uninstall.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <functional>
#include <memory>

namespace {

QString text(QWidget* dialog, int id) {
    QWidget* control = controlById(dialog, id);
    if (auto* label = qobject_cast<QLabel*>(control))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(control))
        return button->text();
    return {};
}

template <typename Control>
Control* control(QWidget* dialog, int id) {
    return qobject_cast<Control*>(controlById(dialog, id));
}

// Runs `action` on the next modal dialog of the kind `Dialog` that opens (and that `wanted`
// accepts), as a user would.
template <typename Dialog = QDialog>
void whenModal(std::function<void(Dialog*)> action, std::function<bool(Dialog*)> wanted = nullptr,
               int attempts = 500) {
    QTimer::singleShot(10, [action = std::move(action), wanted, attempts] {
        auto* modal = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (modal && (!wanted || wanted(modal)))
            action(modal);
        else if (attempts > 0)
            whenModal<Dialog>(action, wanted, attempts - 1);
        else
            qWarning("no modal dialog came up");
    });
}

// Serves events until `condition` holds or `limitMs` pass.
bool waitUntil(const std::function<bool()>& condition, int limitMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

// A dialog that records the commands its links report.
class CommandRecorder : public QDialog {
public:
    std::vector<int> commands;

protected:
    bool event(QEvent* event) override {
        if (event->type() == CommandEvent::commandType()) {
            commands.push_back(static_cast<CommandEvent*>(event)->controlId());
            return true;
        }
        return QDialog::event(event);
    }
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> state_;
    std::unique_ptr<TempDir> game_;
    std::unique_ptr<CurrentDirectory> inGame_;
    std::unique_ptr<ScopedEnv> home_;
    std::unique_ptr<ScopedEnv> path_;
    std::unique_ptr<Application> application_;
    std::atomic<int> passes_{0};
    AutoResetEvent release_;

    Settings& settings() { return application_->settings; }
    char programName_[8] = "pelvar";
    char* argv_[1] = {programName_};

    // A pass that counts itself and, when asked, waits to be released.
    void useCountingPass(bool waitForRelease) {
        application_->passBody = [this, waitForRelease](WorkerJob& worker) {
            worker.setProgress(40);
            worker.status("Working");
            ++passes_;
            if (waitForRelease)
                release_.wait();
        };
    }
    // Waits until the pass with that number has ended and the window has closed it: the end of
    // a pass sets the progress, which the pass had set to 40, to 100.
    bool passEnded(MainWindow& window, int number = 1) {
        return waitUntil(
            [&] { return passes_ >= number && !passRunning() && window.job.progress == 100; });
    }

private slots:
    void init() {
        state_ = std::make_unique<TempDir>("pelvar-state");
        game_ = std::make_unique<TempDir>("pelvar-game");
        inGame_ = std::make_unique<CurrentDirectory>(game_->path());
        home_ = std::make_unique<ScopedEnv>("HOME", state_->path());
        // No WoW.exe runs here and no wine is found: starting the game fails and returns.
        path_ = std::make_unique<ScopedEnv>("PATH", (*state_ / "no-programs").c_str());
        application_ = std::make_unique<Application>(1, argv_, *state_ / "settings.db");
        settings().distListPending = 0;
        settings().mustChooseDistribution = 0;
        passes_ = 0;
        release_.reset();
    }

    void cleanup() {
        release_.signal();
        QVERIFY(waitUntil([] { return !passRunning(); }));
        application_.reset();
        inGame_.reset();
        game_.reset();
        path_.reset();
        home_.reset();
        state_.reset();
    }

    void templatesCarryTheirTextsIdsAndDialogUnits() {
        useCountingPass(false);
        MainWindow window(*application_);
        QCOMPARE(window.windowTitle(), QStringLiteral("Pelvar Patcher / Mirelgan Uploader"));
        QCOMPARE(text(&window, 1032), QStringLiteral("Auto Run WoW"));
        QCOMPARE(text(&window, 2), QStringLiteral("Exit"));
        QCOMPARE(text(&window, 1016), QStringLiteral("Configure"));
        QCOMPARE(text(&window, 1013), QStringLiteral("Run WoW"));
        QCOMPARE(text(&window, 1035), QStringLiteral("Pelvar Home"));
        QCOMPARE(text(&window, 1033), QStringLiteral("Vindo"));
        QVERIFY(control<QProgressBar>(&window, 1000));
        QCOMPARE(window.findChild<QLabel*>("versionText")->text(),
                 QStringLiteral("Patcher Version 2.12"));
        QSize base = dialogBaseUnits(window.font());
        QCOMPARE(controlById(&window, 1000)->geometry(),
                 dialogUnitsToPixels({27, 24, 217, 14}, base));
        QCOMPARE(window.size(), dialogUnitsToPixels({0, 0, 273, 84}, base).size());

        ConfigureDialog configure(*application_, &window);
        QCOMPARE(configure.windowTitle(), QStringLiteral("Configure"));
        for (int id : {1030, 1037, 1041, 1036, 1038, 1040, 1019, 1031, 2, 1})
            QVERIFY2(controlById(&configure, id), qPrintable(QString::number(id)));
        QCOMPARE(text(&configure, 1037),
                 QStringLiteral("Keep Interface Directory Clean (deletes unused files)"));
        DistributionDialog distribution(*application_, &window);
        QCOMPARE(distribution.windowTitle(), QStringLiteral("Pelvar Configure"));
        QVERIFY(!controlById(&distribution, 1041));
        QVERIFY(controlById(&distribution, 1030) && controlById(&distribution, 1037));
        LoginDialog login({firstLoginHint, "", ""}, &window);
        QCOMPARE(login.windowTitle(), QStringLiteral("Mirelgan Login"));
        QCOMPARE(control<QLineEdit>(&login, 1005)->echoMode(), QLineEdit::Password);
        QVERIFY(passEnded(window));
    }

    void openingStartsExactlyOnePassWithAnEmptyStatus() {
        useCountingPass(true);
        MainWindow window(*application_);
        QCOMPARE(text(&window, 1001), QString());
        QVERIFY(passRunning());
        QVERIFY(waitUntil([&] { return text(&window, 1001) == "Working"; }));
        release_.signal();
        QVERIFY(passEnded(window));
        QCOMPARE(passes_.load(), 1);
        QCOMPARE(text(&window, 1001), QStringLiteral("Done!"));
        QCOMPARE(control<QProgressBar>(&window, 1000)->value(), 100);
    }

    void runWoWDuringAPassTriesTheGameAtOnce() {
        useCountingPass(true);
        MainWindow window(*application_);
        QVERIFY(waitUntil([&] { return text(&window, 1001) == "Working"; }));
        control<QPushButton>(&window, 1013)->click();
        // The game could not start here, so the closing line shows, pass or no pass.
        QCOMPARE(text(&window, 1001), QStringLiteral("Done!"));
        QCOMPARE(settings().autoRunWoW.load(), 1);
        QCOMPARE(settings().readString("autoRunWoW"), std::string());
        QVERIFY(!control<QCheckBox>(&window, 1032)->isChecked());
        QVERIFY(passRunning());
        release_.signal();
        QVERIFY(waitUntil([] { return !passRunning(); }));
    }

    void autoRunWoWDuringAndAfterAPass() {
        useCountingPass(true);
        settings().bytesUploaded = 12345;
        MainWindow window(*application_);
        QVERIFY(waitUntil([&] { return text(&window, 1001) == "Working"; }));
        control<QCheckBox>(&window, 1032)->click();
        QCOMPARE(settings().readString("autoRunWoW"), std::string("1"));
        // During a pass it only saves.
        QCOMPARE(text(&window, 1001), QStringLiteral("Working"));
        control<QCheckBox>(&window, 1032)->click();
        release_.signal();
        QVERIFY(passEnded(window));
        QCOMPARE(text(&window, 1001), QStringLiteral("12345 bytes uploaded  -  Done!"));

        window.showStatus("something else");
        control<QProgressBar>(&window, 1000)->setValue(3);
        control<QCheckBox>(&window, 1032)->click(); // on: the game would start; here it cannot
        QCOMPARE(settings().readString("autoRunWoW"), std::string("1"));
        control<QCheckBox>(&window, 1032)->click(); // off: the closing line again
        QCOMPARE(settings().readString("autoRunWoW"), std::string("0"));
        QCOMPARE(text(&window, 1001), QStringLiteral("12345 bytes uploaded  -  Done!"));
        QCOMPARE(control<QProgressBar>(&window, 1000)->value(), 100);
    }

    void loginHintsAnswersAndCancel() {
        useCountingPass(false);
        MainWindow window(*application_);
        QVERIFY(passEnded(window));
        application_->mainWindow = &window;
        QString hint, statusWhileOpen;
        whenModal<QDialog>([&](QDialog* dialog) {
            hint = text(dialog, 1012);
            statusWhileOpen = text(&window, 1001);
            control<QLineEdit>(dialog, 1004)->setText("thrall");
            control<QLineEdit>(dialog, 1005)->setText("horde");
            control<QPushButton>(dialog, 1)->click();
        });
        window.runLogin();
        QCOMPARE(hint, QString(firstLoginHint));
        QCOMPARE(statusWhileOpen, QStringLiteral("Please enter username and password"));
        QCOMPARE(text(&window, 1001), QString());
        QCOMPARE(settings().readString("Username"), std::string("thrall"));
        QCOMPARE(settings().readString("Password"), std::string("horde"));

        whenModal<QDialog>([&](QDialog* dialog) {
            hint = text(dialog, 1012);
            control<QCheckBox>(dialog, 1000)->click();
            control<QPushButton>(dialog, 1)->click();
        });
        window.runLogin();
        QCOMPARE(hint, QString(failedLoginHint));
        QCOMPARE(settings().readString("Username"), std::string("anonymous"));
        QCOMPARE(settings().readString("Password"), std::string());

        whenModal<QDialog>([&](QDialog* dialog) {
            control<QLineEdit>(dialog, 1004)->setText("typed but cancelled");
            control<QCheckBox>(dialog, 1000)->click();
            control<QPushButton>(dialog, 2)->click();
        });
        window.runLogin();
        QCOMPARE(settings().uploadEnabled.load(), 0);
        QCOMPARE(settings().Username, std::string("anonymous"));
        application_->mainWindow = nullptr;
    }

    void distributionRowsSelectionAndWhichAcceptsStartAPass() {
        useCountingPass(false);
        {
            std::lock_guard guard(settings().distributionLinesLock);
            settings().distributionLines = {"3 Full", "7 Lite", "12Extra", "Beta"};
        }
        MainWindow window(*application_);
        application_->mainWindow = &window;
        QVERIFY(passEnded(window));

        settings().distribution = 7;
        QStringList rows;
        QString selected;
        whenModal<QDialog>([&](QDialog* dialog) {
            auto* list = control<QComboBox>(dialog, 1030);
            for (int i = 0; i < list->count(); ++i)
                rows << list->itemText(i) + "=" + list->itemData(i).toString();
            selected = list->currentText();
            control<QPushButton>(dialog, 2)->click();
        });
        control<QPushButton>(&window, 1016)->click();
        QCOMPARE(rows, QStringList({"None (do not download Interface files)=0", "Full=3", "Lite=7",
                                    "Extra=12", "Beta=0"}));
        QCOMPARE(selected, QStringLiteral("Lite"));
        // Cancel stores nothing.
        QCOMPARE(settings().readString("Distribution"), std::string());

        settings().distribution = 5;
        whenModal<QDialog>([&](QDialog* dialog) {
            selected = control<QComboBox>(dialog, 1030)->currentText();
            control<QComboBox>(dialog, 1030)->setCurrentIndex(0);
            control<QPushButton>(dialog, 1)->click();
        });
        control<QPushButton>(&window, 1016)->click();
        QCOMPARE(selected, QStringLiteral("Full"));
        QCOMPARE(settings().readString("Distribution"), std::string("0"));
        // Choosing None starts no pass.
        QCOMPARE(passes_.load(), 1);

        whenModal<QDialog>([&](QDialog* dialog) {
            control<QComboBox>(dialog, 1030)->setCurrentIndex(3);
            control<QPushButton>(dialog, 1)->click();
        });
        control<QPushButton>(&window, 1016)->click();
        QCOMPARE(settings().distribution.load(), 12);
        QVERIFY(passEnded(window, 2));
        // Another distribution starts a pass.
        QCOMPARE(passes_.load(), 2);

        whenModal<QDialog>([&](QDialog* dialog) {
            control<QCheckBox>(dialog, 1037)->click();
            control<QCheckBox>(dialog, 1037)->click();
            control<QPushButton>(dialog, 1)->click();
        });
        control<QPushButton>(&window, 1016)->click();
        QVERIFY(passEnded(window, 3));
        // Keep clean switched on, even if off again.
        QCOMPARE(passes_.load(), 3);
        QCOMPARE(settings().readString("KeepClean"), std::string());

        whenModal<QDialog>([&](QDialog* dialog) { control<QPushButton>(dialog, 1041)->click(); });
        control<QPushButton>(&window, 1016)->click();
        QVERIFY(waitUntil([&] { return passes_ == 4; }));
        QString reported;
        whenModal<ReportWindow>([&](ReportWindow* report) {
            reported = control<QTextEdit>(report, 1028)->toPlainText();
            control<QPushButton>(report, 1)->click();
        });
        QVERIFY(passEnded(window, 4));
        QVERIFY2(reported.startsWith("File Check Complete.\n"), qPrintable(reported.left(100)));
        QCOMPARE(settings().completeCheck.load(), 0);
        application_->mainWindow = nullptr;
    }

    void configureWaitsForTheDistributionList() {
        settings().distListPending = 1;
        application_->passBody = [this](WorkerJob& worker) {
            worker.setProgress(40);
            ++passes_;
            QThread::msleep(400);
            {
                std::lock_guard guard(settings().distributionLinesLock);
                settings().distributionLines = {"1 Standard"};
            }
            settings().distListPending = 0;
        };
        MainWindow window(*application_);
        application_->mainWindow = &window;
        QElapsedTimer timer;
        timer.start();
        ConfigureDialog dialog(*application_, &window);
        QVERIFY(timer.elapsed() >= 300);
        QCOMPARE(dialog.rows().size(), std::size_t(2));
        QVERIFY(passEnded(window));
        application_->mainWindow = nullptr;
    }

    void uninstallThroughConfigureAsksAndRerunsThePass() {
        useCountingPass(false);
        writeFile("Interface/AddOns/A/A.lua", "a");
        writeFile("WTF/Config.wtf", "SET Foo_Bar \"1\"\nSET keep \"1\"\n");
        MainWindow window(*application_);
        application_->mainWindow = &window;
        QVERIFY(passEnded(window));
        QString question, message;
        whenModal<QDialog>([&](QDialog* configure) {
            whenModal<QMessageBox>([&, configure](QMessageBox* ask) {
                question = ask->text();
                whenModal<QMessageBox>(
                    [&, configure](QMessageBox* done) {
                        message = done->text();
                        done->accept();
                        QTimer::singleShot(
                            10, [configure] { control<QPushButton>(configure, 1)->click(); });
                    },
                    [](QMessageBox* box) { return box->text() != uninstallQuestion; });
                ask->button(QMessageBox::Yes)->click();
            });
            control<QPushButton>(configure, 1031)->click();
        });
        control<QPushButton>(&window, 1016)->click();
        QCOMPARE(question, QString(uninstallQuestion));
        QCOMPARE(message, QString(uninstallDone));
        QCOMPARE(readFile("WTF/Config.wtf"), std::string("SET keep \"1\"\n"));
        QVERIFY(!exists("Interface"));
        QVERIFY(waitUntil([&] { return passes_ == 2; }));
        application_->mainWindow = nullptr;
    }

    void reportWindowWithAndWithoutPelvarTxt() {
        settings().reportLines = {"New: a", "Changed: b", "Cleaned c"};
        {
            ReportWindow report(settings());
            QCOMPARE(control<QTextEdit>(&report, 1028)->toPlainText(),
                     QString::fromStdString("New: a\nChanged: b\nCleaned c\n" +
                                            std::string(reportNotice)));
            QVERIFY(control<QTextEdit>(&report, 1028)->isReadOnly());
        }
        QVERIFY(settings().reportLines.empty());
        std::string exact(4096, 'p');
        writeFile("Pelvar.txt", exact);
        settings().reportLines = {"New: a"};
        ReportWindow report(settings());
        QCOMPARE(control<QTextEdit>(&report, 1028)->toPlainText(),
                 QString::fromStdString("New: a\n\n" + exact + reportNotice));
    }

    void hyperlinksColourUnderlineReportAndCleanUp() {
        QCOMPARE(liveHyperlinkFilters(), 0);
        auto* dialog = new CommandRecorder;
        auto addLabel = [dialog](int id, const char* caption) {
            auto* label = new QLabel(caption, dialog);
            label->setProperty("controlId", id);
            label->setGeometry(10, 10 + 30 * (id % 10), 80, 20);
            return label;
        };
        QLabel* first = addLabel(1033, "Vindo");
        QLabel* second = addLabel(1035, "Pelvar Home");
        QLabel* plain = addLabel(1036, "Powered by");
        QVERIFY(makeHyperlink(dialog, 1033));
        QVERIFY(makeHyperlink(dialog, 1035));
        // The dialog's filter once, one per link.
        QCOMPARE(liveHyperlinkFilters(), 3);
        QVERIFY(dialog->property("_Hyperlink_Original_Proc_").isValid());
        QCOMPARE(first->property("_Hyperlink_From_Static_").toInt(), 1);
        QCOMPARE(first->palette().color(QPalette::WindowText), QColor(0, 0, 192));
        QCOMPARE(second->palette().color(QPalette::WindowText), QColor(0, 0, 192));
        QVERIFY(plain->palette().color(QPalette::WindowText) != QColor(0, 0, 192));
        QVERIFY(!plain->property("_Hyperlink_From_Static_").isValid());
        dialog->show();

        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(first, &enter);
        QVERIFY(first->font().underline());
        QVERIFY(!second->font().underline());
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(first, &leave);
        QVERIFY(!first->font().underline());
        QApplication::sendEvent(first, &enter);
        QMouseEvent outside(QEvent::MouseMove, QPointF(500, 5), QPointF(500, 5), Qt::NoButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(first, &outside);
        // A move outside ends the hover.
        QVERIFY(!first->font().underline());

        QTest::mouseClick(second, Qt::LeftButton);
        QTest::mouseClick(plain, Qt::LeftButton);
        QCOMPARE(dialog->commands, std::vector<int>{1035});

        delete dialog;
        QCOMPARE(liveHyperlinkFilters(), 0);
    }

    void mainWindowLinksOpenTheHomePages() {
        useCountingPass(false);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        {
            MainWindow window(*application_);
            QVERIFY(passEnded(window));
            QTest::mouseClick(controlById(&window, 1033), Qt::LeftButton);
            QTest::mouseClick(controlById(&window, 1035), Qt::LeftButton);
        }
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(catcher.opened.size(), 2);
        QVERIFY(catcher.opened[0] != catcher.opened[1]);
        QCOMPARE(liveHyperlinkFilters(), 0);
    }

    void closingWhileTheWorkerWaitsForALoginShowsNoDialog() {
        std::atomic<bool> asked{false};
        application_->passBody = [&asked](WorkerJob& worker) {
            asked = true;
            worker.askLogin();
        };
        bool dialogShown = false;
        QElapsedTimer timer;
        MainWindow window(*application_);
        window.show();
        QVERIFY(waitUntil([&] { return asked.load(); }, 2000));
        QTimer::singleShot(300,
                           [&] { dialogShown = QApplication::activeModalWidget() != nullptr; });
        timer.start();
        window.reject();
        // Closing waits at most 100 ms for the pass.
        QVERIFY(timer.elapsed() < 300);
        QTest::qWait(400);
        QVERIFY(!dialogShown);
        // The pass would end with the process.
        QVERIFY(passRunning());
        // Let the abandoned pass go, as the end of the process would.
        settings().uploadEnabled = 0;
        window.job.go.signal();
        QVERIFY(waitUntil([] { return !passRunning(); }));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

// The window, offscreen: dialogs are driven from timers through QApplication::activeModalWidget().

#include "app/common/login_flow.h"
#include "app/common/report.h"
#include "app/window/application.h"
#include "app/window/configure_dialog.h"
#include "app/window/dialog_units.h"
#include "app/window/eliding_widgets.h"
#include "app/window/hyperlink.h"
#include "app/window/login_dialog.h"
#include "app/window/main_window.h"
#include "app/window/message_boxes.h"
#include "app/window/report_window.h"
#include "game/config_files.h"
#include "game/game_choice.h"
#include "game/launcher.h"
#include "harness/content.h"
#include "job_channel/auto_reset_event.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "net/server_link.h"
#include "pass/patch_run.h"
#include "patcher/download.h"
#include "patcher/pass_record.h"
#include "tests/support/environment.h"
#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "uninstall/uninstall.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyleOptionComboBox>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sqlite3.h>
#include <utility>

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

// Counts the test functions that have ended: a watch for a dialog dies with the test that set
// it, whose locals its action refers to, and never acts on a later test's dialog.
int testsEnded = 0;
// The watches of the current test still waiting for their dialog: one left at the test's end
// waited for a dialog that never came.
int watchesWaiting = 0;

// Runs `action` on the next modal dialog of the kind `Dialog` that opens (and that `wanted`
// accepts) during the current test, as a user would.
template <typename Dialog = QDialog>
void whenModal(std::function<void(Dialog*)> action, std::function<bool(Dialog*)> wanted = nullptr,
               int attempts = 500, int test = testsEnded) {
    ++watchesWaiting;
    QTimer::singleShot(10, [action = std::move(action), wanted, attempts, test] {
        if (test != testsEnded)
            return;
        --watchesWaiting;
        auto* modal = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (modal && (!wanted || wanted(modal)))
            action(modal);
        else if (attempts > 0)
            whenModal<Dialog>(action, wanted, attempts - 1, test);
        else
            qWarning("no modal dialog came up");
    });
}

// Reads the text of the next report window (or message box) into `text` and closes it.
template <typename Shown>
void readNext(QString& text) {
    whenModal<Shown>([&text](Shown* shown) {
        auto* box = qobject_cast<QMessageBox*>(shown);
        text = box ? box->text() : control<QTextEdit>(shown, 1028)->toPlainText();
        shown->accept();
    });
}

bool temporaryFileUnder(const std::string& directory) {
    return std::ranges::any_of(
        std::filesystem::recursive_directory_iterator(directory),
        [](const auto& entry) { return entry.path().extension() == ".new"; });
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

// Starts a pass and gives the text of the report window (or message box) it showed, once it ended.
template <typename Shown = ReportWindow>
QString shownByAPass(MainWindow& window) {
    QString shown;
    readNext<Shown>(shown);
    window.startPass();
    waitUntil([&] { return !shown.isEmpty() && !passRunning(); });
    return shown;
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

// What is wrong with the layout of a dialog or message box as it shows: a control that leaves
// it, a text that does not fit its control (a wrapped label's lines across and down), a control
// of a group box that crosses the box's frame.
QStringList layoutProblems(QWidget* dialog) {
    QStringList problems;
    auto tooSmall = [&](const QString& name, QSize needed, QSize room) {
        if (needed.width() > room.width() || needed.height() > room.height())
            problems << QString("%1 needs %2x%3, has %4x%5")
                            .arg(name)
                            .arg(needed.width())
                            .arg(needed.height())
                            .arg(room.width())
                            .arg(room.height());
    };
    QList<QWidget*> controls = dialog->findChildren<QWidget*>();
    for (QWidget* control : controls) {
        if (control->isWindow() || !control->isVisibleTo(dialog))
            continue;
        QString name = control->objectName();
        QRect place(control->mapTo(dialog, QPoint(0, 0)), control->size());
        if (!dialog->rect().contains(place))
            problems << name + " leaves the dialog";
        QFontMetrics metrics(control->font());
        if (auto* label = qobject_cast<QLabel*>(control)) {
            // Laid out as the label lays it out, without centring, whose halves would round.
            QRect room = label->contentsRect();
            int flags = label->wordWrap() ? Qt::TextWordWrap : 0;
            auto* eliding = qobject_cast<ElidingLabel*>(label);
            QString shown = eliding ? eliding->shownText() : label->text();
            tooSmall(name, metrics.boundingRect(0, 0, room.width(), 2000, flags, shown).size(),
                     room.size());
        } else if (auto* check = qobject_cast<QCheckBox*>(control)) {
            int indicator =
                control->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, check);
            tooSmall(name, {check->sizeHint().width(), std::max(metrics.height(), indicator)},
                     place.size());
            if (indicator < metrics.height() * 7 / 10)
                problems << name + QString(" has an indicator of %1 pixels").arg(indicator);
        } else if (auto* pane = qobject_cast<QTextEdit*>(control);
                   pane && qobject_cast<QMessageBox*>(dialog)) {
            // A message box's details show whole, each line of a path whole where it fits.
            QTextDocument* document = pane->document();
            tooSmall(name, {0, static_cast<int>(document->size().height())},
                     pane->viewport()->size());
            for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
                for (int line = 1; line < block.layout()->lineCount(); ++line) {
                    int next = block.layout()->lineAt(line).textStart();
                    if (!QString("/ -").contains(block.text().at(next - 1)) &&
                        block.text().at(next) != u'\\')
                        problems << name + " breaks a line inside a name: " + block.text();
                }
        } else if (auto* button = qobject_cast<QPushButton*>(control)) {
            tooSmall(name,
                     metrics.size(Qt::TextShowMnemonic, button->text()) +
                         QSize(2 * control->style()->pixelMetric(QStyle::PM_ButtonMargin), 4),
                     place.size());
        } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
            tooSmall(name, {0, control->minimumSizeHint().height()}, place.size());
            // The closed box's row, drawn one pixel inside its field on either side.
            auto* eliding = qobject_cast<ElidingComboBox*>(combo);
            QString shown = eliding ? eliding->shownText() : combo->currentText();
            QStyleOptionComboBox option;
            option.initFrom(combo);
            option.currentText = shown;
            QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxEditField, combo);
            tooSmall(name + " row", {metrics.horizontalAdvance(shown), 0}, {field.width() - 2, 0});
        } else if (qobject_cast<QLineEdit*>(control)) {
            tooSmall(name, {0, control->minimumSizeHint().height()}, place.size());
        } else if (auto* box = qobject_cast<QGroupBox*>(control)) {
            tooSmall(name, {metrics.horizontalAdvance(box->title()), 0}, place.size());
            QRect inside = box->contentsRect().translated(box->pos());
            for (QWidget* other : controls)
                if (other->parentWidget() == dialog && other != box &&
                    place.contains(other->geometry().center()) &&
                    !inside.contains(other->geometry()))
                    problems << other->objectName() + " crosses the frame of " + name;
        }
    }
    return problems;
}

// Longer than the status line and the closed drop-down at any font.
const char longStatus[] =
    "Downloading Interface\\AddOns\\Mirelgan_Recorder_Extensions\\Localization"
    "\\Modules\\Mirelgan_Recorder_Localization.lua";
const char longDistribution[] = "2 Pelvar Complete: every add-on of the compilation with its "
                                "optional modules, the raid frames and the unit frames";

// The application's font at another size, for one scope.
class ApplicationFontSize {
public:
    explicit ApplicationFontSize(int points) : original_(QApplication::font()) {
        QFont sized = original_;
        sized.setPointSize(points);
        QApplication::setFont(sized);
    }
    ~ApplicationFontSize() { QApplication::setFont(original_); }

private:
    QFont original_;
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
        application_ =
            std::make_unique<Application>(std::vector<std::string>{}, *state_ / "settings.db");
        settings().distListPending = 0;
        settings().mustChooseDistribution = 0;
        passes_ = 0;
        release_.reset();
    }

    void cleanup() {
        ++testsEnded;
        int watchesLeft = std::exchange(watchesWaiting, 0);
        release_.signal();
        QVERIFY(waitUntil([] { return !passRunning(); }));
        application_.reset();
        inGame_.reset();
        game_.reset();
        path_.reset();
        home_.reset();
        state_.reset();
        QCOMPARE(watchesLeft, 0);
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
        QSizeF base = layoutBaseUnits(&window);
        QCOMPARE(base.height(), dialogBaseUnits(window.font()).height());
        QVERIFY(base.width() >= dialogBaseUnits(window.font()).width());
        // Under the status line, the game directory: the template grows by a line for it.
        QCOMPARE(window.findChild<QLabel*>("gameDirectory")->text(),
                 QString::fromStdString(game_->path()));
        QCOMPARE(controlById(&window, 1000)->geometry(),
                 dialogUnitsToPixels({27, 32, 217, 14}, base));
        QCOMPARE(window.size(), dialogUnitsToPixels({0, 0, 273, 92}, base).size());

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
        QString told, statusWhileTold;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            told = box->text();
            statusWhileTold = text(&window, 1001);
            box->accept();
        });
        control<QPushButton>(&window, 1013)->click();
        // The game could not start here: the user is told why, then the closing line shows,
        // pass or no pass.
        QVERIFY2(told.startsWith(QString(gameStartFailed) + ":\nWoW.exe: "), qPrintable(told));
        QCOMPARE(statusWhileTold, QStringLiteral("Working"));
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
        whenModal<QMessageBox>([](QMessageBox* box) { box->accept(); });
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
        QString hint, statusWhileOpen, offered;
        // After the server refused the stored account: "Login Failed!", its password neither
        // offered nor, cancelled, kept.
        settings().Username = "thrall";
        settings().Password = "refused";
        window.job.loginRefused = true;
        whenModal<QDialog>([&](QDialog* dialog) {
            hint = text(dialog, 1012);
            offered = control<QLineEdit>(dialog, 1005)->text();
            dialog->reject();
        });
        window.runLogin();
        QVERIFY(hint == failedLoginHint && offered.isEmpty());
        QVERIFY(settings().readString("Username") == "thrall" &&
                settings().readString("Password").empty() && settings().Password.empty());
        settings().loginPrompted = 0;
        settings().uploadEnabled = 1;
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

    // "Complete File Check" pressed while a pass runs is done by a pass of its own after it: the
    // running pass's report never claims a check it did not make.
    void completeFileCheckDuringAPassRunsAfterIt() {
        useCountingPass(true);
        MainWindow window(*application_);
        application_->mainWindow = &window;
        QVERIFY(waitUntil([&] { return passes_ == 1; }));
        whenModal<QDialog>([&](QDialog* dialog) { control<QPushButton>(dialog, 1041)->click(); });
        control<QPushButton>(&window, 1016)->click();
        QCOMPARE(passes_.load(), 1);
        // The first report to show: the check's, never one at the end of the first pass.
        QStringList reports;
        whenModal<ReportWindow>([&](ReportWindow* report) {
            reports << control<QTextEdit>(report, 1028)->toPlainText();
            control<QPushButton>(report, 1)->click();
        });
        release_.signal(); // the first pass ends: the check runs next
        QVERIFY(waitUntil([&] { return passes_ == 2; }));
        QVERIFY2(reports.isEmpty(), qPrintable(reports.join("|")));
        release_.signal();
        QVERIFY(passEnded(window, 2));
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].startsWith("File Check Complete.\n"), qPrintable(reports[0].left(80)));
        QCOMPARE(settings().completeCheck.load(), 0);
        application_->mainWindow = nullptr;
    }

    // Start-up's note on which installation it took shows before the first pass; the one chosen
    // in Configure is stored, entered and patched at once.
    void configureMovesToTheInstallationChosen() {
        useCountingPass(false);
        TempDir second("pelvar-zweites-spiel");
        writeFile(second / "WoW.exe", "");
        const std::string moved = realPath(second.path());
        GameSearchResult& search = application_->search;
        search.installations.resize(2);
        search.installations[0].directory = currentGameDirectory();
        search.installations[1].directory = moved;
        search.usedIndex = 0;
        search.complete = true;
        application_->startupNotes = {"Using " + currentGameDirectory() + ", played last of 2"};
        MainWindow window(*application_);
        application_->mainWindow = &window;
        QCOMPARE(window.statusLine(), application_->startupNotes[0]);
        QCOMPARE(passes_.load(), 0);
        QVERIFY(passEnded(window));

        whenModal<ConfigureDialog>([](ConfigureDialog* dialog) {
            auto* installations = dialog->findChild<QComboBox*>(QStringLiteral("installations"));
            QVERIFY(installations && installations->count() == 2 &&
                    installations->currentIndex() == 0);
            installations->setCurrentIndex(1);
            dialog->accept();
        });
        control<QPushButton>(&window, 1016)->click();
        QVERIFY(passEnded(window, 2));
        QCOMPARE(currentGameDirectory(), moved);
        QCOMPARE(storedGameChoice(settings()).directory, moved);
        QVERIFY(
            window.findChild<QLabel*>("gameDirectory")->accessibleName().endsWith(moved.c_str()));
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

    // Opened while the list arrives (the wait ends with the worker's next status line), the
    // choice says that the list is on its way and offers nothing: accepting keeps the stored
    // distribution. The list shows once it is whole.
    void configureWhileTheListArrivesSaysSoAndKeepsTheChoice() {
        settings().distListPending = 1;
        settings().writeString("Distribution", "7");
        settings().distribution = 7;
        AutoResetEvent posting;
        application_->passBody = [&](WorkerJob& worker) {
            posting.wait();
            worker.status("Downloading Distribution list");
            {
                std::lock_guard guard(settings().distributionLinesLock);
                settings().distributionLines = {"3 Full"};
            }
            release_.wait();
            {
                std::lock_guard guard(settings().distributionLinesLock);
                settings().distributionLines.push_back("7 Lite");
            }
            settings().distListPending = 0;
        };
        MainWindow window(*application_);
        application_->mainWindow = &window;
        posting.signal();
        ConfigureDialog dialog(*application_, &window);
        auto* list = control<QComboBox>(&dialog, 1030);
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->currentText(), QString::fromUtf8(listOnItsWayRow));
        QVERIFY(!list->isEnabled());
        control<QPushButton>(&dialog, 1)->click();
        QCOMPARE(settings().readString("Distribution"), std::string("7"));
        QCOMPARE(settings().distribution.load(), 7);

        release_.signal();
        QVERIFY(waitUntil([&] { return list->isEnabled(); }));
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->currentText(), QStringLiteral("Lite"));
        QVERIFY(waitUntil([] { return !passRunning(); }));
        application_->mainWindow = nullptr;
    }

    void uninstallThroughConfigureAsksAndRerunsThePass() {
        useCountingPass(false);
        writeFile("Interface/AddOns/Bagnon/Bagnon.lua", "a");
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
        const std::string added = "New: Interface\\AddOns\\Bagnon\\Bagnon.lua";
        const std::string changed = "Changed: Interface\\FrameXML\\UIParent.lua";
        const std::string cleaned = "Cleaned Interface\\AddOns\\日本語\\設定.lua";
        settings().reportLines = {added, changed, cleaned};
        {
            ReportWindow report(settings());
            QCOMPARE(control<QTextEdit>(&report, 1028)->toPlainText(),
                     QString::fromStdString(added + "\n" + changed + "\n" + cleaned + "\n" +
                                            std::string(reportNotice)));
            QVERIFY(control<QTextEdit>(&report, 1028)->isReadOnly());
        }
        QVERIFY(settings().reportLines.empty());
        std::string exact(4096, 'p');
        writeFile("Pelvar.txt", exact);
        settings().reportLines = {added};
        ReportWindow report(settings());
        QCOMPARE(control<QTextEdit>(&report, 1028)->toPlainText(),
                 QString::fromStdString(added + "\n\n" + exact + reportNotice));
    }

    // pelvar --rollback: the rollback is the first pass and its report shows in the report
    // window; the passes after it patch.
    void rollbackComesFirstAndShowsItsReport() {
        ScopedEnv dataHome("XDG_DATA_HOME", nullptr);
        useCountingPass(false);
        const std::string made = "Interface/AddOns/Gemacht/Gemacht.lua";
        writeFile(made, "made by a pass");
        PassRecord(settings().key).installed(made, md5Of("made by a pass"));
        // With the settings locked by another program it changes nothing, and a box says why.
        settings().key.setBusyTimeout(100);
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open((*state_ / "settings.db").c_str(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        application_->rollback = true;
        QString told, reported;
        readNext<QMessageBox>(told);
        MainWindow window(*application_);
        window.job.fatalPause = std::chrono::milliseconds(0);
        QVERIFY(waitUntil([&] { return !told.isEmpty() && !passRunning(); }));
        sqlite3_close(other); // which rolls its transaction back
        const std::string named = "Game directory: " + game_->path();
        QCOMPARE(told, QString::fromStdString(window.job.fatalMessage().value_or("none") + "\n\n" +
                                              named));
        QCOMPARE(readFile(made), std::string("made by a pass"));

        application_->rollback = true;
        reported = shownByAPass(window);
        QVERIFY(waitUntil([&] { return window.statusLine() == "Done!"; }));
        QCOMPARE(reported,
                 QString::fromStdString(named +
                                        "\nRemoved: Interface\\AddOns\\Gemacht\\Gemacht.lua\n"
                                        "Held: Interface\\AddOns\\Gemacht\\Gemacht.lua\n\n" +
                                        std::string(rollbackWindowNotice)));
        QVERIFY(reported.contains(releaseActionName) && reported.contains("pelvar --release"));
        QVERIFY(!exists(made));
        QCOMPARE(passes_.load(), 0);
        window.startPass();
        QVERIFY(passEnded(window));
        QCOMPARE(passes_.load(), 1);

        // pelvar --release, with a report of its own; with nothing to do, each says so in a box.
        application_->release = true;
        QCOMPARE(shownByAPass(window),
                 QString::fromStdString(named +
                                        "\nReleased: Interface\\AddOns\\Gemacht\\Gemacht.lua\n"));
        QVERIFY(!exists(made + ".nopatch"));
        for (QString nothing : {"Nothing to roll back.", "Nothing to release."}) {
            application_->rollback = nothing.contains("roll back");
            application_->release = !application_->rollback;
            told = shownByAPass<QMessageBox>(window);
            QVERIFY2(told.startsWith(nothing) && told.endsWith(game_->path().c_str()),
                     qPrintable(told));
        }
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
        QString told;
        {
            MainWindow window(*application_);
            QVERIFY(passEnded(window));
            QTest::mouseClick(controlById(&window, 1033), Qt::LeftButton);
            QTest::mouseClick(controlById(&window, 1035), Qt::LeftButton);
            // With no browser (the offscreen desktop has none), the user learns the address.
            QDesktopServices::unsetUrlHandler("https");
            whenModal<QMessageBox>([&](QMessageBox* box) {
                told = box->text();
                box->accept();
            });
            QTest::mouseClick(controlById(&window, 1035), Qt::LeftButton);
        }
        QCOMPARE(catcher.opened.size(), 2);
        QVERIFY(catcher.opened[0] != catcher.opened[1]);
        QCOMPARE(told, "No web browser could be opened. The address is:\n" +
                           catcher.opened[1].toString());
        QCOMPARE(liveHyperlinkFilters(), 0);
    }

    // From the keyboard and through the accessibility interfaces: the main window's Tab order is
    // its template's, the links open with Enter or Space and an assistive tool can press them;
    // the login's fields are named by their labels, the progress bar and the drop-down by theirs.
    void keyboardAndAssistiveToolsReachEveryControl() {
        useCountingPass(false);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        MainWindow window(*application_);
        QVERIFY(passEnded(window));
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        controlById(&window, 1032)->setFocus(Qt::TabFocusReason);
        QStringList order;
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            // A link shows that it has the focus with its underline.
            order << QApplication::focusWidget()->objectName() +
                         (controlById(&window, 1035)->font().underline() ? " underlined" : "");
        }
        QCOMPARE(order,
                 QStringList({"id2", "id1016", "id1013", "id1035 underlined", "id1033", "id1032"}));
        QTest::keyClick(controlById(&window, 1035), Qt::Key_Return);
        QTest::keyClick(controlById(&window, 1033), Qt::Key_Space);
        QTest::keyClick(controlById(&window, 1035), Qt::Key_Enter, Qt::KeypadModifier);
        QAccessibleInterface* link =
            QAccessible::queryAccessibleInterface(controlById(&window, 1033));
        QCOMPARE(link->role(), QAccessible::Link);
        QCOMPARE(link->text(QAccessible::Name), QStringLiteral("Vindo"));
        link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(catcher.opened.size(), 4);
        QCOMPARE(catcher.opened[0], catcher.opened[2]);
        QCOMPARE(catcher.opened[1], catcher.opened[3]);
        QVERIFY(catcher.opened[0] != catcher.opened[1]);

        auto name = [](QWidget* control) {
            return QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name);
        };
        QCOMPARE(name(controlById(&window, 1000)), QStringLiteral("Progress"));
        // The program's window is a window (a frame), not a dialog; the drop-downs are labelled
        // by the box that names them.
        QCOMPARE(QAccessible::queryAccessibleInterface(&window)->role(), QAccessible::Window);
        ConfigureDialog configure(*application_, &window);
        DistributionDialog distribution(*application_, &window);
        LoginDialog login({firstLoginHint, "", ""}, &window);
        const char distributionLabel[] = "Select Pelvar Distribution";
        for (auto [dialog, id, label] :
             {std::tuple<QDialog*, int, const char*>{&login, 1004, "Username:"},
              {&login, 1005, "Password:"},
              {&configure, 1030, distributionLabel},
              {&distribution, 1030, distributionLabel}}) {
            QWidget* field = controlById(dialog, id);
            QCOMPARE(name(field), QString(label));
            auto labelledBy =
                QAccessible::queryAccessibleInterface(field)->relations(QAccessible::Label);
            QCOMPARE(labelledBy.size(), 1);
            QCOMPARE(labelledBy[0].first->text(QAccessible::Name), QString(label));
        }
    }

    // A long status line keeps its start and its file name, a long distribution its start; an
    // ellipsis shows what gave way, and the whole text is the tool tip.
    void longTextsGiveWayWithAnEllipsis() {
        useCountingPass(false);
        {
            std::lock_guard guard(settings().distributionLinesLock);
            settings().distributionLines = {"1 Standard", longDistribution};
        }
        MainWindow window(*application_);
        QVERIFY(passEnded(window));
        auto toolTip = [](QWidget* control) {
            QHelpEvent help(QEvent::ToolTip, {5, 5}, control->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(control, &help);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        auto* status = control<ElidingLabel>(&window, 1001);
        QVERIFY(status);
        window.showStatus(longStatus);
        QCOMPARE(status->text(), QString(longStatus));
        QVERIFY2(QRegularExpression(
                     QString::fromUtf8(
                         "^Downloading Interface.*\u2026\\\\Mirelgan_Recorder_Localization\\.lua$"))
                     .match(status->shownText())
                     .hasMatch(),
                 qPrintable(status->shownText()));
        QCOMPARE(toolTip(status), QString(longStatus));
        // A file name wider than the line keeps its end.
        window.showStatus("Downloading Interface\\" + std::string(300, 'x') + ".lua");
        QVERIFY2(QRegularExpression(QString::fromUtf8("^\u2026x+\\.lua$"))
                     .match(status->shownText())
                     .hasMatch(),
                 qPrintable(status->shownText()));
        window.showStatus("Done!");
        QCOMPARE(status->shownText(), QStringLiteral("Done!"));
        toolTip(status);
        QVERIFY(waitUntil([] { return !QToolTip::isVisible(); }));

        settings().distribution = 2;
        ConfigureDialog configure(*application_, &window);
        auto* list = control<ElidingComboBox>(&configure, 1030);
        QVERIFY(list);
        QString whole = QString(longDistribution).mid(2);
        QCOMPARE(list->currentText(), whole);
        QVERIFY2(list->shownText().endsWith(QChar(0x2026)) &&
                     whole.startsWith(list->shownText().chopped(1)),
                 qPrintable(list->shownText()));
        QCOMPARE(toolTip(list), whole);
    }

    void fatalEndKeepsItsMessageAndStillStartsTheGame() {
        settings().autoRunWoW = 1;
        application_->passBody = [this](WorkerJob& worker) {
            worker.setProgress(40);
            ++passes_;
            release_.wait();
            worker.fatal("Can't connect!");
        };
        MainWindow window(*application_);
        window.job.fatalPause = std::chrono::milliseconds(0);
        QString told;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            told = box->text();
            box->accept();
        });
        release_.signal();
        QVERIFY(passEnded(window));
        QVERIFY2(told.startsWith(gameStartFailed), qPrintable(told));
        QCOMPARE(text(&window, 1001), QStringLiteral("Can't connect!"));
        // Switched off, "Auto Run WoW" shows the closing line again: still the failure.
        control<QCheckBox>(&window, 1032)->click();
        QCOMPARE(text(&window, 1001), QStringLiteral("Can't connect!"));
    }

    // Cancel or Escape chooses nothing: no Interface files, nothing stored, the upload goes on.
    void firstRunCancelInstallsNothingAndAsksAgain() {
        TestServer server;
        server.addFile("1 Standard", "Interface/AddOns/Standard/Standard.lua", "standard");
        writeFile("WTF/Account/ACC/SavedVariables.lua",
                  "Mirelgan_Data = {\n  [1] = \"an item seen in Orgrimmar\",\n"
                  "  [2] = \"a quest taken in Thunder Bluff\",\n}\n");
        settings().writeString("Username", "anonymous");
        for (int start = 0; start < 2; ++start) {
            // A start of the program: the settings as they were stored.
            application_ =
                std::make_unique<Application>(std::vector<std::string>{}, *state_ / "settings.db");
            QString reported;
            whenModal<DistributionDialog>([start](DistributionDialog* dialog) {
                start == 0 ? control<QPushButton>(dialog, 2)->click()
                           : QTest::keyClick(dialog, Qt::Key_Escape);
            });
            readNext<ReportWindow>(reported);
            MainWindow window(*application_);
            QVERIFY(waitUntil([&] { return window.statusLine().ends_with("Done!"); }));
            QVERIFY2(reported.startsWith("No distribution was chosen"), qPrintable(reported));
            QVERIFY(!exists("Interface"));
            QCOMPARE(settings().readString("Distribution"), std::string());
            QVERIFY(start == 1 || text(&window, 1001).endsWith("bytes uploaded  -  Done!"));
        }
    }

    // A server that takes the connection and says nothing: the wait counts over a busy bar.
    void silentServerShowsTheWaitAndThatItDidNotAnswer() {
        ScriptedPeer peer;
        peer.expect("D\n").readUntilClosed();
        peer.start();
        ScopedEnv endpoint("MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(peer.port()));
        settings().distListPending = 1;
        application_->passBody = [](WorkerJob& worker) {
            worker.connection.ioTimeout = std::chrono::milliseconds(2500);
            runPatchPass(worker);
        };
        MainWindow window(*application_);
        window.job.fatalPause = std::chrono::milliseconds(0);
        auto* bar = control<QProgressBar>(&window, 1000);
        QSet<QString> busyWith; // the status lines shown over a busy bar
        QVERIFY(waitUntil([&] {
            if (bar->maximum() == 0)
                busyWith << text(&window, 1001);
            return !passRunning() && window.job.progress == 100;
        }));
        QVERIFY2(busyWith.contains("Waiting for Response (1 s)") &&
                     busyWith.contains("Waiting for Response (2 s)"),
                 qPrintable(busyWith.values().join("|")));
        QCOMPARE(text(&window, 1001), QString(serverDidNotAnswer));
        QCOMPARE(bar->maximum(), 100);
        QVERIFY(peer.finish());
    }

    // The pass stops within a second, leaves no temporary file, and the next pass finishes it.
    void runWoWDuringADownloadStopsBetweenTwoFiles() {
        TestServer server;
        std::map<std::string, std::string> files;
        for (int file = 0; file < 60; ++file) {
            std::string path = "Interface/AddOns/Größere Taschen/Teil " + std::to_string(file);
            server.addFile("1 Standard", path, files[path] = noise(8192 + file, file));
        }
        server.options()->chunkSize = 1024;
        server.options()->pause = std::chrono::milliseconds(5);
        settings().distribution = 1;
        MainWindow window(*application_);
        QVERIFY(waitUntil([&] { return window.job.progress >= 20; }, 30000));
        QElapsedTimer stopping;
        stopping.start();
        QString told;
        readNext<QMessageBox>(told);
        control<QPushButton>(&window, 1013)->click();
        // The game cannot start here: it was tried once the pass had stopped.
        QVERIFY(told.startsWith(gameStartFailed) && stopping.elapsed() < 1500);
        QCOMPARE(window.statusLine(), std::string(passStoppedMessage));
        QVERIFY(!temporaryFileUnder(game_->path()));
        settings().autoRunWoW = 0;
        server.options()->pause = std::chrono::milliseconds(0);
        QString reported = shownByAPass(window);
        QVERIFY2(reported.startsWith(QString(lastPassUnfinished) + "\nNew: "),
                 qPrintable(reported.left(200)));
        for (const auto& [path, content] : files)
            QVERIFY(readFile(path) == content);
    }

    // Text from the server or the disk: Windows-1252 when it is not UTF-8, and control characters
    // in the visible form the terminal shows too.
    void textFromTheServerShowsAsInTheTerminal() {
        useCountingPass(false);
        {
            std::lock_guard guard(settings().distributionLinesLock);
            settings().distributionLines = {"1 Caf\xe9", "2 \x1b[31mRed"};
        }
        writeFile("Pelvar.txt", "Na\xefve r\xe9sum\xe9 \x1b]0;pwned\x07\r\nnext\rfake\tend\n");
        MainWindow window(*application_);
        QVERIFY(passEnded(window));
        settings().reportLines = {"New: Interface\\AddOns\\Caf\xe9.lua"};
        window.showStatus("Downloading Interface\\\x1b[2JCaf\xe9.lua");
        QCOMPARE(text(&window, 1001),
                 QString::fromUtf8("Downloading Interface\\^[[2JCaf\u00e9.lua"));
        ReportWindow report(settings(), &window);
        QString reported = control<QTextEdit>(&report, 1028)->toPlainText();
        QVERIFY2(reported.startsWith(QString::fromUtf8(
                     "New: Interface\\AddOns\\Caf\u00e9.lua\n\n"
                     "Na\u00efve r\u00e9sum\u00e9 ^[]0;pwned^G\nnext^Mfake\tend\n")),
                 qPrintable(reported.left(100)));
        ConfigureDialog configure(*application_, &window);
        QCOMPARE(control<QComboBox>(&configure, 1030)->itemText(1), QString::fromUtf8("Caf\u00e9"));
        QCOMPARE(control<QComboBox>(&configure, 1030)->itemText(2), QStringLiteral("^[[31mRed"));
        QString told;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            told = box->text();
            box->accept();
        });
        showMessage(&window, "Can't start C:\\\x1b[2JWoW.exe:\n\xc2\x9b"
                             "31m");
        QCOMPARE(told, QStringLiteral("Can't start C:\\^[[2JWoW.exe:\n^[[31m"));
    }

    // Every dialog and message box shows its whole text at a small, the usual and a large
    // desktop font; the dialogs take it, in dialog units from its metrics. Run once more at a
    // scale factor of 2.
    void everyDialogShowsItsWholeText_data() {
        QTest::addColumn<int>("pointSize");
        QTest::addColumn<QString>("dialog");
        for (int pointSize : {8, 11, 16})
            for (const char* dialog :
                 {"main window", "configure", "distribution", "login", "failed login", "report",
                  "uninstall question", "uninstall done", "start failure", "game not found",
                  "long wrapped text"})
                QTest::addRow("%s at %d pt", dialog, pointSize) << pointSize << QString(dialog);
    }

    void everyDialogShowsItsWholeText() {
        QFETCH(int, pointSize);
        QFETCH(QString, dialog);
        useCountingPass(false);
        {
            std::lock_guard guard(settings().distributionLinesLock);
            settings().distributionLines = {"1 Standard", longDistribution};
        }
        settings().distribution = 2;
        ApplicationFontSize font(pointSize);
        MainWindow window(*application_);
        QVERIFY(passEnded(window));
        window.showStatus(longStatus);
        settings().reportLines = {"New: Interface\\AddOns\\Foo\\Foo.lua"};
        QStringList problems;
        auto check = [&](QDialog* shown) {
            shown->show();
            QApplication::processEvents();
            problems = layoutProblems(shown);
            // A template's dialog units follow the font.
            if (shown->property("dialogUnits").isValid() &&
                layoutBaseUnits(shown).height() != dialogBaseUnits(QApplication::font()).height())
                problems << "laid out with another font";
        };
        // A box with its details shown; read without its layout blanks; Enter gives the default.
        auto message = [&](const std::function<void(MessageBoxDialogs&)>& open) {
            whenModal<QMessageBox>([&](QMessageBox* box) {
                for (auto* button : box->findChildren<QPushButton*>())
                    if (button->text().startsWith("Show Details"))
                        button->click();
                check(box);
                auto* label = box->findChild<QLabel*>("qt_msgbox_label");
                if (QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name) !=
                    box->text().simplified())
                    problems << "the text is read with its blanks";
                QTest::keyClick(box, Qt::Key_Return);
            });
            MessageBoxDialogs dialogs(&window);
            open(dialogs);
        };
        const std::map<QString, std::function<void()>> shows = {
            {"main window", [&] { check(&window); }},
            {"configure",
             [&] {
                 ConfigureDialog configure(*application_, &window);
                 check(&configure);
             }},
            {"distribution",
             [&] {
                 DistributionDialog distribution(*application_, &window);
                 check(&distribution);
             }},
            {"login",
             [&] {
                 LoginDialog login({firstLoginHint, "", ""}, &window);
                 check(&login);
             }},
            {"failed login",
             [&] {
                 LoginDialog login({failedLoginHint, "", ""}, &window);
                 check(&login);
             }},
            {"report",
             [&] {
                 ReportWindow report(settings(), &window);
                 check(&report);
                 // It can be resized, and its text follows.
                 auto* text = control<QTextEdit>(&report, 1028);
                 QSize grown = text->size() + QSize(160, 120);
                 report.resize(report.size() + QSize(160, 120));
                 QApplication::processEvents();
                 problems << layoutProblems(&report);
                 if (text->size() != grown)
                     problems << "the text does not follow the window";
             }},
            // A wrapped label whose lines would not fit its height, with a word that cannot be
            // broken at its width.
            {"long wrapped text",
             [&] {
                 QDialog made;
                 made.setProperty("dialogUnits", QRect(0, 0, 60, 17));
                 auto* label = new QLabel(
                     "Three lines at the least: Interface\\AddOns\\Mirelgan\\Mirelgan.lua", &made);
                 label->setWordWrap(true);
                 label->setProperty("dialogUnits", QRect(0, 0, 60, 17));
                 layoutInDialogUnits(&made);
                 check(&made);
             }},
            {"uninstall question",
             [&] {
                 message([&](MessageBoxDialogs& dialogs) {
                     if (dialogs.confirm(uninstallQuestion))
                         problems << "Enter answered Yes";
                 });
             }},
            {"game not found",
             [&] {
                 std::string looked = "/home/thrall (the current directory)\n";
                 for (std::string prefix :
                      {"/home/thrall/.wine", "/home/thrall/.var/app/"
                                             "com.usebottles.bottles/data/bottles/bottles/WoW-3.3"})
                     looked += prefix + ": C:\\Program Files (x86)\\World of Warcraft\\ gives " +
                               prefix + "/drive_c/Program Files (x86)/World of Warcraft\n";
                 message([&](MessageBoxDialogs&) { showGameNotFound(looked); });
             }},
            {"uninstall done",
             [&] { message([](MessageBoxDialogs& dialogs) { dialogs.tellDone(uninstallDone); }); }},
            {"start failure",
             [&] {
                 message([](MessageBoxDialogs& dialogs) {
                     dialogs.tellFailure(std::string(gameStartFailed) +
                                         ":\n/home/thrall/.local/share/lutris/runners/wine/"
                                         "wine-ge-8-26-x86_64/bin/wine: No such file or directory");
                 });
             }},
        };
        shows.at(dialog)();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
    }

    // The real program, started offscreen against a slow or stalling server, is closed (as the
    // session's end asks it to) while a file downloads, while the worker waits for the login or
    // the distribution answer, during the pause after a fatal message, with the report open after
    // the pass and after the pass: it ends within 2 s, and under the sanitizers without a report.
    void realProgramEndsWithinTwoSecondsWhenClosedAtAnyMoment() {
        struct Moment {
            const char* name;
            std::function<void(TestServer&, Settings&)> prepare;
            const char* logLine;
            int settleMs = 500; // for the worker to get from the server's answer to its wait
        };
        auto withUpload = [] {
            writeFile("WTF/Account/ACC/SavedVariables.lua",
                      "Mirelgan_Data = {\n  [1] = \"an item seen in Orgrimmar\",\n"
                      "  [2] = \"a quest taken in Thunder Bluff\",\n}\n");
        };
        const Moment moments[] = {
            {"during a download",
             [](TestServer& server, Settings& stored) {
                 // Many files streaming for seconds: the worker posts a status line and moves
                 // the progress all the time, so that a Job freed under it is written to.
                 std::mt19937 random(7);
                 std::string noise(8192, '\0');
                 for (int file = 0; file < 1000; ++file) {
                     for (char& c : noise)
                         c = static_cast<char>(random());
                     server.addFile("1 Standard",
                                    "Interface/AddOns/Noise/" + std::to_string(file) + ".lua",
                                    noise);
                 }
                 server.options()->chunkSize = 4096;
                 server.options()->pause = std::chrono::milliseconds(1);
                 stored.writeString("Distribution", "1");
             },
             "C: "},
            {"while the worker waits for the login answer",
             [&](TestServer& server, Settings& stored) {
                 // The account exists with another password than the stored one.
                 ServerLink link;
                 link.connect(*parseServerEndpoint("127.0.0.1:" + std::to_string(server.port())));
                 QVERIFY(loginExchange(link, "thrall", "right") == LoginOutcome::accepted);
                 link.close();
                 stored.writeString("Username", "thrall");
                 stored.writeString("Password", "wrong");
                 stored.writeString("Distribution", "0");
                 withUpload();
             },
             "L thrall: refused"},
            {"while the worker waits for the distribution answer",
             [](TestServer& server, Settings& stored) {
                 server.addFile("2 Lite", "Interface/AddOns/Größere Taschen/Übersicht.lua", "a");
                 stored.writeString("Distribution", "1");
             },
             "D: "},
            {"during the fatal pause",
             [&](TestServer& server, Settings& stored) {
                 server.options()->closeAfter = 0;
                 server.options()->closeOn = 'D';
                 stored.writeString("Distribution", "0");
                 withUpload(); // the upload then finds no WDB version: "Bad version?"
             },
             "closing after 0 bytes"},
            {"with the patch report open after the pass",
             [](TestServer& server, Settings& stored) {
                 server.addFile("1 Standard", "Interface/AddOns/Größere Taschen/Übersicht.lua",
                                "a");
                 stored.writeString("Distribution", "1");
             },
             "C: ", 1500},
            {"after the pass",
             [](TestServer&, Settings& stored) { stored.writeString("Distribution", "0"); },
             "D: ", 1500},
        };
        for (const Moment& moment : moments) {
            TempDir state("pelvar-state"), game("pelvar-game");
            CurrentDirectory inGame(game.path());
            writeFile("WoW.exe", "");
            TestServer server;
            {
                Settings stored(state / "settings.db");
                moment.prepare(server, stored);
            }
            ChildProcess pelvar({PELVAR}, game.path(),
                                {{"QT_QPA_PLATFORM", "offscreen"},
                                 {"MIRELGAN_SETTINGS", state / "settings.db"},
                                 {"MIRELGAN_SERVER", "127.0.0.1:" + std::to_string(server.port())},
                                 {"HOME", state.path()},
                                 {"XDG_DATA_HOME", ""},
                                 {"WINEPREFIX", state / "no-prefix"}});
            auto logged = [&] {
                for (const std::string& line : server.log(false))
                    if (line.find(moment.logLine) != std::string::npos)
                        return true;
                return false;
            };
            QVERIFY2(waitUntil(logged, 60000), moment.name);
            QTest::qWait(moment.settleMs);
            QVERIFY2(!pelvar.waitFor(std::chrono::milliseconds(0)),
                     qPrintable(QString(moment.name) + ": ended by itself\n" +
                                QString::fromStdString(pelvar.output())));
            pelvar.signal(SIGTERM);
            std::optional<int> code = pelvar.waitFor(std::chrono::milliseconds(2000));
            std::string output = pelvar.output();
            QVERIFY2(code, qPrintable(QString(moment.name) + ": still running after 2 s"));
            QVERIFY2(*code == 0 && output.find("Sanitizer") == std::string::npos,
                     qPrintable(QString(moment.name) + ": exit code " + QString::number(*code) +
                                "\n" + QString::fromStdString(output)));
            QVERIFY(!temporaryFileUnder(game.path()));
        }
    }

    // Ours, answered before a window exists: they work without a display, and they never reach
    // the game.
    void helpAndVersionNeedNoDisplay() {
        Environment noDisplay = {
            {"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
        ProcessResult version = runProcess({PELVAR, "-console", "--version"}, ".", noDisplay);
        QCOMPARE(version.exitCode, 0);
        QVERIFY2(QRegularExpression("^pelvar \\d+\\.\\d+\n$")
                     .match(QString::fromStdString(version.out))
                     .hasMatch(),
                 version.out.c_str());
        ProcessResult help = runProcess({PELVAR, "--help"}, ".", noDisplay);
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.rfind("usage: pelvar [game arguments]\n", 0) == 0);
        QVERIFY(help.out.find("--version") != std::string::npos);
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
        // The waiting worker is released to end, at once.
        QVERIFY(timer.elapsed() < 300);
        QVERIFY(!passRunning());
        QTest::qWait(400);
        QVERIFY(!dialogShown);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

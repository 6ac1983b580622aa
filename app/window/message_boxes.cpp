#include "app/window/message_boxes.h"

#include "app/common/report.h"
#include "app/window/application.h"
#include "app/window/dialog_units.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace {

// The width a text edit needs to show its longest line whole.
int widthOfLongestLine(const QTextEdit& pane) {
    QFontMetrics metrics(pane.document()->defaultFont());
    int widest = 0;
    for (const QString& line : pane.toPlainText().split(u'\n'))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest + static_cast<int>(std::ceil(2 * pane.document()->documentMargin())) + 1;
}

} // namespace

MessageBox::MessageBox(Icon icon, const std::string& text, StandardButtons buttons, QWidget* parent)
    : QMessageBox(icon, applicationTitle, QString::fromStdString(visibleText(text, true)), buttons,
                  parent) {
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Blanks that place a word on the screen would be read out one by one.
    if (auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
        label->setAccessibleName(label->text().simplified());
}

void MessageBox::setDetails(const std::string& details) {
    setDetailedText(QString::fromStdString(visibleText(details, true)));
    // Qt's pane is 100 pixels high whatever the font, and breaks a line anywhere; a line of a
    // path breaks after a separator (or at a blank or hyphen) instead.
    if (auto* pane = findChild<QTextEdit*>())
        pane->setWordWrapMode(QTextOption::WordWrap);
    // Qt sizes the box when its button shows or hides the pane, and drops the layout request
    // that would tell: the box grows after it.
    for (QAbstractButton* button : buttons())
        if (buttonRole(button) == QMessageBox::ActionRole)
            connect(button, &QAbstractButton::clicked, this,
                    [this] { QTimer::singleShot(0, this, [this] { fitText(); }); });
}

void MessageBox::showEvent(QShowEvent* event) {
    QMessageBox::showEvent(event);
    fitText();
}

bool MessageBox::event(QEvent* event) {
    bool handled = QMessageBox::event(event);
    // Qt sizes the box again on every layout request (also when the details show or hide).
    if (event->type() == QEvent::LayoutRequest)
        fitText();
    return handled;
}

void MessageBox::fitText() {
    if (!isVisible() || !layout())
        return;
    int grow = 0;
    auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (label && label->wordWrap()) {
        int room = label->contentsRect().width();
        grow = labelTextSize(*label, room).width() - room;
    }
    auto* details = findChild<QTextEdit*>();
    bool detailsShown = details && details->isVisible();
    if (detailsShown)
        grow = std::max(grow, widthOfLongestLine(*details) - details->viewport()->width());
    if (grow <= 0 && !detailsShown)
        return;
    int boxWidth = width() + std::max(grow, 0);
    QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (screen())
        boxWidth = std::min(boxWidth, std::max(width(), available.width()));
    if (detailsShown) {
        // Down to its last line, up to two thirds of the screen; beyond, it scrolls.
        QTextDocument* document = details->document();
        document->setTextWidth(details->viewport()->width() + boxWidth - width());
        int height =
            static_cast<int>(std::ceil(document->size().height())) + 2 * details->frameWidth();
        if (screen())
            height = std::min(height, available.height() * 2 / 3);
        details->setFixedHeight(height);
        // The pane's holder learns its new height before the box is measured.
        if (QWidget* holder = details->parentWidget(); holder && holder->layout())
            holder->layout()->activate();
        layout()->invalidate();
    }
    layout()->activate();
    setFixedSize(boxWidth, layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(boxWidth)
                                                         : layout()->totalMinimumSize().height());
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
}

bool MessageBoxDialogs::confirm(const std::string& question) {
    MessageBox box(QMessageBox::Question, question, QMessageBox::Yes | QMessageBox::No, parent_);
    // Enter, or a key pressed on its way elsewhere, never answers Yes to a question that deletes.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void MessageBoxDialogs::tellFailure(const std::string& message) {
    showMessage(parent_, message);
}

void MessageBoxDialogs::tellDone(const std::string& message) {
    MessageBox(QMessageBox::Information, message, QMessageBox::Ok, parent_).exec();
}

void showMessage(QWidget* parent, const std::string& message, QMessageBox::Icon icon) {
    MessageBox(icon, message, QMessageBox::Ok, parent).exec();
}

void showGameNotFound(const std::string& looked) {
    MessageBox box(QMessageBox::Warning, "Can't find WoW, aborting", QMessageBox::Ok);
    box.setDetails("Looked in:\n" + looked);
    box.exec();
}

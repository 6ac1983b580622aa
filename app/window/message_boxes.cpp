#include "app/window/message_boxes.h"

#include "app/common/report.h"
#include "app/window/application.h"
#include "app/window/dialog_units.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <algorithm>

MessageBox::MessageBox(Icon icon, const std::string& text, StandardButtons buttons, QWidget* parent)
    : QMessageBox(icon, applicationTitle, QString::fromStdString(visibleText(text, true)), buttons,
                  parent) {
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void MessageBox::showEvent(QShowEvent* event) {
    QMessageBox::showEvent(event);
    fitText();
}

bool MessageBox::event(QEvent* event) {
    bool handled = QMessageBox::event(event);
    // Qt sizes the box again on every layout request.
    if (event->type() == QEvent::LayoutRequest)
        fitText();
    return handled;
}

void MessageBox::fitText() {
    auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (!isVisible() || !label || !label->wordWrap() || !layout())
        return;
    int room = label->contentsRect().width();
    int needed = labelTextSize(*label, room).width();
    if (needed <= room)
        return;
    int boxWidth = width() + needed - room;
    if (QScreen* shownOn = screen())
        boxWidth = std::min(boxWidth, std::max(width(), shownOn->availableGeometry().width()));
    layout()->activate();
    setFixedSize(boxWidth, layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(boxWidth)
                                                         : layout()->totalMinimumSize().height());
    QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
}

bool MessageBoxDialogs::confirm(const std::string& question) {
    return MessageBox(QMessageBox::Question, question, QMessageBox::Yes | QMessageBox::No, parent_)
               .exec() == QMessageBox::Yes;
}

void MessageBoxDialogs::tellFailure(const std::string& message) {
    showMessage(parent_, message);
}

void MessageBoxDialogs::tellDone(const std::string& message) {
    MessageBox(QMessageBox::Information, message, QMessageBox::Ok, parent_).exec();
}

void showMessage(QWidget* parent, const std::string& message) {
    MessageBox(QMessageBox::NoIcon, message, QMessageBox::Ok, parent).exec();
}

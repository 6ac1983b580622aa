#include "app/window/message_boxes.h"

#include "app/shell/report.h"
#include "app/window/application.h"

#include <QMessageBox>

bool MessageBoxDialogs::confirm(const std::string& question) {
    return QMessageBox::question(parent_, applicationTitle, QString::fromStdString(question),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void MessageBoxDialogs::tellFailure(const std::string& message) {
    showMessage(parent_, message);
}

void MessageBoxDialogs::tellDone(const std::string& message) {
    QMessageBox::information(parent_, applicationTitle, QString::fromStdString(message));
}

void showMessage(QWidget* parent, const std::string& message) {
    QMessageBox box(QMessageBox::NoIcon, applicationTitle,
                    QString::fromStdString(visibleText(message, true)), QMessageBox::Ok, parent);
    // Plain text that can be copied: a message may hold an address or a path.
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}

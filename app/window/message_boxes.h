#pragma once

#include "uninstall/uninstall.h"

#include <QMessageBox>
#include <string>

class QWidget;

// A message box of the program: its title, its text as plain text that can be selected (a
// message may hold an address or a path), with control characters in their visible form. Qt's
// box wraps a long text at about 500 pixels; a line that cannot be broken there (the uninstall
// question ends with a line of blanks and one word) would be cut, so this box grows until every
// line shows whole, up to the width of the screen. Screen readers read the text with its runs of
// blanks and line breaks as single blanks.
class MessageBox : public QMessageBox {
public:
    MessageBox(Icon icon, const std::string& text, StandardButtons buttons,
               QWidget* parent = nullptr);

    // Text behind "Show Details...": the pane grows with it as the box grows with its text,
    // across to its longest line (up to the screen's width) and down to its last, and a line too
    // long for the screen breaks at a separator of its path rather than inside a name.
    void setDetails(const std::string& details);

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    void fitText();
};

// The questions and messages of the UI removal as message boxes.
class MessageBoxDialogs : public UninstallDialogs {
public:
    explicit MessageBoxDialogs(QWidget* parent) : parent_(parent) {}
    bool confirm(const std::string& question) override;
    void tellFailure(const std::string& message) override;
    void tellDone(const std::string& message) override;

private:
    QWidget* parent_;
};

// A message box with an OK button.
void showMessage(QWidget* parent, const std::string& message,
                 QMessageBox::Icon icon = QMessageBox::NoIcon);

// "Can't find WoW, aborting", with where the search looked as its details.
void showGameNotFound(const std::string& looked);

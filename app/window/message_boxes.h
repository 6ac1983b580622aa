#pragma once

#include "uninstall/uninstall.h"

class QWidget;

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

// A message box with an OK button and the program's title.
void showMessage(QWidget* parent, const std::string& message);

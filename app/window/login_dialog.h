#pragma once

#include "app/common/login_flow.h"
#include <QDialog>
#include <memory>
#include <string>

namespace Ui {
class LoginDialog;
}

// The Mirelgan login: user name, password, or an anonymous upload. The members take the
// controls' values only when the user accepts with OK.
class LoginDialog : public QDialog {
    Q_OBJECT

public:
    LoginDialog(const LoginPrompt& prompt, QWidget* parent = nullptr);
    ~LoginDialog() override;

    const std::string& password() const { return password_; }
    const std::string& userName() const { return userName_; }
    int anonymous() const { return anonymous_; }

public slots:
    void accept() override;

private:
    std::string password_;
    std::string userName_;
    int anonymous_ = 0;
    std::string hint_;
    std::unique_ptr<Ui::LoginDialog> ui_;
};

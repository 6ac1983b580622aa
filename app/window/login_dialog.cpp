#include "app/window/login_dialog.h"

#include "app/window/dialog_units.h"
#include "ui_login_dialog.h"

LoginDialog::LoginDialog(const LoginPrompt& prompt, QWidget* parent)
    : QDialog(parent), password_(prompt.password), userName_(prompt.userName), hint_(prompt.hint),
      ui_(std::make_unique<Ui::LoginDialog>()) {
    ui_->setupUi(this);
    ui_->id1005->setText(QString::fromStdString(password_));
    ui_->id1004->setText(QString::fromStdString(userName_));
    ui_->id1000->setChecked(anonymous_ != 0);
    ui_->id1012->setText(QString::fromStdString(hint_));
    // Laid out with the hint it shows, which wraps.
    layoutInDialogUnits(this);
    connect(ui_->id1, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui_->id2, &QPushButton::clicked, this, &QDialog::reject);
}

void LoginDialog::accept() {
    password_ = ui_->id1005->text().toStdString();
    userName_ = ui_->id1004->text().toStdString();
    anonymous_ = ui_->id1000->isChecked() ? 1 : 0;
    QDialog::accept();
}

LoginDialog::~LoginDialog() = default;

#pragma once

#include <QDialog>
#include <memory>
#include <string>

class Settings;
namespace Ui {
class ReportWindow;
}

// The patch report: what the pass did to the interface files, "Pelvar.txt", and the notice
// about modified files (a rollback's report: the game directory and what it undid). Opening it
// consumes the report lines. It can be resized.
class ReportWindow : public QDialog {
    Q_OBJECT

public:
    // A rollback's report names the game directory, the current directory unless given.
    ReportWindow(Settings& settings, QWidget* parent = nullptr);
    ReportWindow(Settings& settings, const std::string& gameDirectory, QWidget* parent);
    ~ReportWindow() override;
    const std::string& reportText() const { return reportText_; }

protected:
    // The text takes what the window has, above its OK button.
    void resizeEvent(QResizeEvent* event) override;

private:
    std::string reportText_;
    std::unique_ptr<Ui::ReportWindow> ui_;
};

#pragma once

#include <QEvent>
#include <QObject>

class QWidget;

// A command from a control of a dialog, carrying the control's id: what a click on a link
// reports to its dialog.
class CommandEvent : public QEvent {
public:
    explicit CommandEvent(int controlId) : QEvent(commandType()), controlId_(controlId) {}
    int controlId() const { return controlId_; }
    static QEvent::Type commandType();

private:
    int controlId_;
};

// The link colour: red 0, green 0, blue 192.
inline constexpr int linkRed = 0, linkGreen = 0, linkBlue = 192;

// Turns the static text `controlId` of `dialog` into a link: drawn in the link colour,
// underlined while the pointer is over it or it has the focus, and reporting a click to the
// dialog as a CommandEvent with its id. It is reached with Tab and opened with Enter or Space,
// and assistive tools see a link that can be pressed. Its state lives in the controls' properties
// "_Hyperlink_Original_Proc_", "_Hyperlink_Original_Font_", "_Hyperlink_Underline_Font_" and
// "_Hyperlink_From_Static_"; the dialog's event filter is installed once, however many links it
// holds, and everything is undone when a control or the dialog is destroyed.
bool makeHyperlink(QWidget* dialog, int controlId);

// Event filters alive, for tests that check nothing is left behind.
int liveHyperlinkFilters();

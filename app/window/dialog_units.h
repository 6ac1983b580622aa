#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QSizeF>

class QGroupBox;
class QLabel;
class QWidget;

// The dialog base units of a font, as Windows computes them: the average width of the letters
// A-Z and a-z, and the font's height. One dialog unit is a quarter of the first across and an
// eighth of the second down.
QSize dialogBaseUnits(const QFont& font);
QRect dialogUnitsToPixels(const QRect& units, QSizeF baseUnits);

// Lays out a dialog made from one of our templates: the dialog and every control that carries a
// "dialogUnits" rectangle are placed by converting it with the metrics of the dialog's font (the
// application's font unless the dialog has its own). Where a control's fixed text would not fit
// its rectangle (a font's letters may be narrower on average than a text's), the units across
// grow for the whole dialog until it does. Controls inside a group box stay inside its frame.
// Check boxes and radio buttons get indicators as large as their font calls for.
void layoutInDialogUnits(QWidget* dialog);

// Puts a control that the template places inside a group box into it, where it stays: screen
// readers name a control by the group box around it.
void labelByGroupBox(QWidget* control, QGroupBox* box);
// The base units a dialog was laid out with.
QSizeF layoutBaseUnits(const QWidget* dialog);

// The size that a label's text takes, laid out `width` pixels wide when the label wraps its words
// (a line that cannot be broken there makes it wider), on its own lines otherwise.
QSize labelTextSize(const QLabel& label, int width);

// The control of a dialog with the given id (its "controlId" property), or null.
QWidget* controlById(QWidget* dialog, int id);

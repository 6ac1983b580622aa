#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

// The dialog base units of a font, as Windows computes them: the average width of the letters
// A-Z and a-z, and the font's height. One dialog unit is a quarter of the first across and an
// eighth of the second down.
QSize dialogBaseUnits(const QFont& font);
QRect dialogUnitsToPixels(const QRect& units, QSize baseUnits);

// Lays out a dialog made from one of our templates: the dialog and every control that carries a
// "dialogUnits" rectangle are placed by converting it with the metrics of the dialog's font.
void layoutInDialogUnits(QWidget* dialog);

// The control of a dialog with the given id (its "controlId" property), or null.
QWidget* controlById(QWidget* dialog, int id);

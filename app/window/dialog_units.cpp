#include "app/window/dialog_units.h"

#include <QFontMetrics>
#include <QVariant>
#include <QWidget>

QSize dialogBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect dialogUnitsToPixels(const QRect& units, QSize base) {
    auto across = [&](int value) { return (value * base.width() + 2) / 4; };
    auto down = [&](int value) { return (value * base.height() + 4) / 8; };
    return {across(units.x()), down(units.y()), across(units.width()), down(units.height())};
}

void layoutInDialogUnits(QWidget* dialog) {
    QSize base = dialogBaseUnits(dialog->font());
    for (QWidget* control : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QVariant units = control->property("dialogUnits");
        if (units.isValid())
            control->setGeometry(dialogUnitsToPixels(units.toRect(), base));
    }
    QVariant size = dialog->property("dialogUnits");
    if (size.isValid())
        dialog->setFixedSize(dialogUnitsToPixels(size.toRect(), base).size());
}

QWidget* controlById(QWidget* dialog, int id) {
    for (QWidget* control : dialog->findChildren<QWidget*>())
        if (control->property("controlId").toInt() == id &&
            control->property("controlId").isValid())
            return control;
    return nullptr;
}

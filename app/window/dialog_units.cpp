#include "app/window/dialog_units.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVariant>
#include <QWidget>
#include <algorithm>

namespace {

// The application's style with check-box and radio-button indicators that grow with the font:
// styles draw them a fixed 13 pixels or so, a speck beside a 20-point label.
class IndicatorStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        int given = QProxyStyle::pixelMetric(metric, option, widget);
        switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
        case PM_ExclusiveIndicatorWidth:
        case PM_ExclusiveIndicatorHeight: {
            QFontMetrics metrics = widget   ? widget->fontMetrics()
                                   : option ? option->fontMetrics
                                            : QFontMetrics(QApplication::font());
            // As large, against the font's height, as the styles draw them at 9 points.
            return std::max(given, qRound(metrics.height() * 0.75));
        }
        default:
            return given;
        }
    }
};

void scaleIndicators(QWidget* dialog) {
    static QPointer<IndicatorStyle> style;
    if (!style) {
        style = new IndicatorStyle;
        style->setParent(qApp);
    }
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
        if (qobject_cast<QCheckBox*>(button) || qobject_cast<QRadioButton*>(button))
            button->setStyle(style);
}

// Keeps the controls that the template puts inside a group box inside its frame. Windows draws
// the frame through the middle of the title, Qt's styles below it, so a control placed just under
// the title would straddle the frame line.
void keepInsideGroupBoxes(const QList<QWidget*>& controls) {
    for (QWidget* widget : controls) {
        auto* box = qobject_cast<QGroupBox*>(widget);
        if (!box || !box->property("dialogUnits").isValid())
            continue;
        box->ensurePolished();
        QRect boxUnits = box->property("dialogUnits").toRect();
        QRect inside = box->contentsRect().translated(box->pos());
        for (QWidget* control : controls) {
            QVariant units = control->property("dialogUnits");
            if (control == box || qobject_cast<QGroupBox*>(control) || !units.isValid() ||
                !boxUnits.contains(units.toRect().topLeft()))
                continue;
            QRect place = control->geometry();
            // A drop-down list's template height is that of its open list; closed, it is as high
            // as its font needs, as on Windows.
            if (qobject_cast<QComboBox*>(control))
                place.setHeight(control->sizeHint().height());
            if (place.bottom() > inside.bottom())
                place.moveBottom(inside.bottom());
            if (place.top() < inside.top())
                place.moveTop(inside.top());
            control->setGeometry(place);
        }
    }
}

// The width that a control's fixed text needs to show whole, measured as the control draws it
// (rounded up, not to the nearest pixel); 0 for a control without one. A label that wraps its
// words needs the width at which its lines fit its height `room`, and no line is cut across.
int textWidth(QWidget* control, QSize room) {
    QFontMetrics metrics(control->font());
    QStyle* style = control->style();
    int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
    if (auto* label = qobject_cast<QLabel*>(control)) {
        if (label->text().isEmpty())
            return 0;
        int extra = 2 * (label->margin() + label->frameWidth());
        if (!label->wordWrap())
            return labelTextSize(*label, 0).width() + extra;
        auto fits = [&](int width) {
            QSize text = labelTextSize(*label, width - extra);
            return text.width() <= width - extra && text.height() <= room.height() - extra;
        };
        int width = room.width();
        while (!fits(width) && width < 4 * room.width())
            width += std::max(1, room.width() / 32);
        return width;
    }
    if (auto* check = qobject_cast<QCheckBox*>(control))
        return check->sizeHint().width();
    if (auto* button = qobject_cast<QPushButton*>(control))
        return metrics.size(Qt::TextShowMnemonic, button->text()).width() +
               2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, control) + frame);
    if (auto* box = qobject_cast<QGroupBox*>(control))
        return metrics.size(Qt::TextShowMnemonic, box->title()).width() + 4 * frame;
    return 0;
}

} // namespace

QSize dialogBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect dialogUnitsToPixels(const QRect& units, QSizeF base) {
    // The corners are converted, as Windows does, so that controls that touch in dialog units
    // touch on the screen.
    auto across = [&](int value) { return qRound(value * base.width() / 4); };
    auto down = [&](int value) { return qRound(value * base.height() / 8); };
    int left = across(units.x()), top = down(units.y());
    return {left, top, across(units.x() + units.width()) - left,
            down(units.y() + units.height()) - top};
}

void layoutInDialogUnits(QWidget* dialog) {
    scaleIndicators(dialog);
    QSizeF base = dialogBaseUnits(dialog->font());
    QList<QWidget*> controls = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    double widen = 1;
    for (QWidget* control : controls) {
        QVariant units = control->property("dialogUnits");
        if (!units.isValid())
            continue;
        double given = units.toRect().width() * base.width() / 4;
        int needed = textWidth(control, dialogUnitsToPixels(units.toRect(), base).size());
        if (given > 0 && needed > given)
            widen = std::max(widen, (needed + 1.0) / given); // one more for the rounding
    }
    base.setWidth(base.width() * widen);
    dialog->setProperty("dialogBaseUnits", base);
    for (QWidget* control : controls) {
        QVariant units = control->property("dialogUnits");
        if (units.isValid())
            control->setGeometry(dialogUnitsToPixels(units.toRect(), base));
    }
    keepInsideGroupBoxes(controls);
    QVariant size = dialog->property("dialogUnits");
    if (size.isValid())
        dialog->setFixedSize(dialogUnitsToPixels(size.toRect(), base).size());
}

void labelByGroupBox(QWidget* control, QGroupBox* box) {
    QPoint inBox = control->pos() - box->pos();
    control->setParent(box);
    control->move(inBox);
    control->show();
}

QSizeF layoutBaseUnits(const QWidget* dialog) {
    return dialog->property("dialogBaseUnits").toSizeF();
}

QSize labelTextSize(const QLabel& label, int width) {
    // As the label measures itself: centring is left out, as its halves would round.
    int flags = label.alignment() & ~(Qt::AlignHCenter | Qt::AlignVCenter);
    if (label.wordWrap())
        flags |= Qt::TextWordWrap;
    else
        width = 0;
    return label.fontMetrics().boundingRect(0, 0, width, 2000, flags, label.text()).size();
}

QWidget* controlById(QWidget* dialog, int id) {
    for (QWidget* control : dialog->findChildren<QWidget*>())
        if (control->property("controlId").toInt() == id &&
            control->property("controlId").isValid())
            return control;
    return nullptr;
}

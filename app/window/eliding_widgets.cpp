#include "app/window/eliding_widgets.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QToolTip>
#include <algorithm>

namespace {

// Shows the whole text as the tool tip of a control that shows less of it.
bool showWholeTextAsToolTip(QWidget* control, QEvent* event, const QString& whole,
                            const QString& shown) {
    if (event->type() != QEvent::ToolTip || !control->toolTip().isEmpty())
        return false;
    if (shown == whole)
        QToolTip::hideText();
    else
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), whole, control);
    return true;
}

QString elidedKeepingFileName(const QFontMetrics& metrics, const QString& text, int width) {
    if (metrics.size(0, text).width() <= width)
        return text;
    qsizetype separator = std::max(text.lastIndexOf(u'\\'), text.lastIndexOf(u'/'));
    if (separator < 0)
        return metrics.elidedText(text, Qt::ElideRight, width);
    QString fileName = text.mid(separator);
    QString start = metrics.elidedText(text.left(separator), Qt::ElideRight,
                                       width - metrics.horizontalAdvance(fileName));
    // Too narrow for the whole file name: its end, the extension, stays.
    if (start.isEmpty())
        return metrics.elidedText(text, Qt::ElideLeft, width);
    return start + fileName;
}

} // namespace

QString ElidingLabel::shownText() const {
    return elidedKeepingFileName(fontMetrics(), text(), contentsRect().width());
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()), palette(),
                          isEnabled(), shownText(), foregroundRole());
}

bool ElidingLabel::event(QEvent* event) {
    return showWholeTextAsToolTip(this, event, text(), shownText()) || QLabel::event(event);
}

QString ElidingComboBox::shownText() const {
    QStyleOptionComboBox option;
    initStyleOption(&option);
    // The style draws the text one pixel inside the field on either side.
    QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    return fontMetrics().elidedText(currentText(), elideMode_, field.width() - 2);
}

void ElidingComboBox::showPopup() {
    int widest = view()->sizeHintForColumn(0) + 2 * view()->frameWidth() +
                 style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view());
    if (QScreen* shownOn = screen())
        widest = std::min(widest, shownOn->availableGeometry().width());
    view()->setMinimumWidth(widest);
    QComboBox::showPopup();
}

void ElidingComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    option.currentText = shownText();
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

bool ElidingComboBox::event(QEvent* event) {
    return showWholeTextAsToolTip(this, event, currentText(), shownText()) ||
           QComboBox::event(event);
}

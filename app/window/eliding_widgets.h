#pragma once

#include <QComboBox>
#include <QLabel>

// A one-line label that shows as much of its text as fits, with an ellipsis where the rest gave
// way: a path keeps its file name (the start of the text gives way first), other text keeps its
// start. Its text stays whole: assistive tools read it, and it is the tool tip when cut.
class ElidingLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};

// A drop-down list whose closed box shows a row too long for it with an ellipsis instead of
// cutting it mid-letter (at its end, or in its middle for rows that end with what tells them
// apart), the whole row as its tool tip; the open list is as wide as its longest row, up to the
// screen's width.
class ElidingComboBox : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;
    QString shownText() const;
    void showPopup() override;
    void setElideMode(Qt::TextElideMode mode) { elideMode_ = mode; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    Qt::TextElideMode elideMode_ = Qt::ElideRight;
};

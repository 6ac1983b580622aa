#include "app/window/hyperlink.h"

#include "app/window/dialog_units.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QColor>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPointer>
#include <QVariant>

namespace {

const char originalProc[] = "_Hyperlink_Original_Proc_";
const char originalFont[] = "_Hyperlink_Original_Font_";
const char underlineFont[] = "_Hyperlink_Underline_Font_";
const char fromStatic[] = "_Hyperlink_From_Static_";

int liveFilters = 0;

void colourAsLink(QWidget* control) {
    QPalette palette = control->palette();
    palette.setColor(QPalette::WindowText, QColor(linkRed, linkGreen, linkBlue));
    control->setPalette(palette);
}

// Stands in for the replaced window procedure of the dialog: keeps the links coloured when the
// dialog's colours change, and undoes itself with the dialog.
class ParentFilter : public QObject {
public:
    explicit ParentFilter(QWidget* dialog) : QObject(dialog), dialog_(dialog) {
        ++liveFilters;
        dialog->setProperty(originalProc, QVariant::fromValue<QObject*>(this));
        dialog->installEventFilter(this);
    }
    ~ParentFilter() override {
        --liveFilters;
        if (dialog_)
            dialog_->setProperty(originalProc, QVariant());
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == dialog_ && event->type() == QEvent::PaletteChange)
            for (QWidget* child : dialog_->findChildren<QWidget*>())
                if (child->property(fromStatic).toInt() == 1)
                    colourAsLink(child);
        return false;
    }

private:
    QPointer<QWidget> dialog_;
};

// Stands in for the replaced window procedure of one link.
class LinkFilter : public QObject {
public:
    LinkFilter(QWidget* control, QWidget* dialog, int controlId)
        : QObject(control), control_(control), dialog_(dialog), controlId_(controlId) {
        ++liveFilters;
        QFont underlined = control->font();
        underlined.setUnderline(true);
        control->setProperty(originalProc, QVariant::fromValue<QObject*>(this));
        control->setProperty(originalFont, control->font());
        control->setProperty(underlineFont, underlined);
        control->setProperty(fromStatic, 1);
        control->setCursor(Qt::ArrowCursor);
        control->setMouseTracking(true);
        // Reached with Tab (and opened with Enter or Space), as a link is in a web page.
        control->setFocusPolicy(Qt::TabFocus);
        control->installEventFilter(this);
        colourAsLink(control);
    }
    ~LinkFilter() override {
        --liveFilters;
        if (!control_)
            return;
        control_->setFont(control_->property(originalFont).value<QFont>());
        for (const char* name : {originalProc, originalFont, underlineFont, fromStatic})
            control_->setProperty(name, QVariant());
    }

    // What a click does: the dialog receives the command with the link's id.
    void activate() {
        if (!dialog_)
            return;
        CommandEvent command(controlId_);
        QApplication::sendEvent(dialog_, &command);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != control_)
            return false;
        switch (event->type()) {
        case QEvent::Enter:
            setHovered(true);
            break;
        case QEvent::MouseMove:
            setHovered(
                control_->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint()));
            break;
        case QEvent::Leave:
            setHovered(false);
            break;
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                control_->rect().contains(mouse->position().toPoint()))
                activate();
            break;
        }
        case QEvent::FocusIn:
        case QEvent::FocusOut:
            // The underline shows where the keyboard is.
            focused_ = event->type() == QEvent::FocusIn;
            showUnderline();
            break;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
            if (plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                          key->key() == Qt::Key_Space)) {
                activate();
                return true;
            }
            break;
        }
        default:
            break;
        }
        return false;
    }

private:
    void setHovered(bool hovered) {
        if (hovered == hovered_)
            return;
        hovered_ = hovered;
        showUnderline();
    }
    void showUnderline() {
        bool underlined = hovered_ || focused_;
        control_->setFont(
            control_->property(underlined ? underlineFont : originalFont).value<QFont>());
        control_->update();
    }

    QPointer<QWidget> control_;
    QPointer<QWidget> dialog_;
    int controlId_;
    bool hovered_ = false;
    bool focused_ = false;
};

// What a screen reader sees of a link: its text as its name, the role of a link, and the press
// action, which does what a click does.
class LinkAccessible : public QAccessibleWidget {
public:
    explicit LinkAccessible(QWidget* link) : QAccessibleWidget(link, QAccessible::Link) {}

    QString text(QAccessible::Text kind) const override {
        QString text = QAccessibleWidget::text(kind);
        if (kind == QAccessible::Name && text.isEmpty())
            if (auto* label = qobject_cast<QLabel*>(widget()))
                return label->text();
        return text;
    }
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << pressAction();
    }
    void doAction(const QString& action) override {
        if (action != pressAction())
            return QAccessibleWidget::doAction(action);
        if (auto* filter =
                dynamic_cast<LinkFilter*>(widget()->property(originalProc).value<QObject*>()))
            filter->activate();
    }
};

QAccessibleInterface* linkAccessible(const QString&, QObject* object) {
    auto* control = qobject_cast<QWidget*>(object);
    if (control && control->property(fromStatic).toInt() == 1)
        return new LinkAccessible(control);
    return nullptr;
}

} // namespace

QEvent::Type CommandEvent::commandType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool makeHyperlink(QWidget* dialog, int controlId) {
    QWidget* control = controlById(dialog, controlId);
    if (!control)
        return false;
    QWidget* parent = control->parentWidget();
    if (parent && !parent->property(originalProc).isValid())
        new ParentFilter(parent);
    new LinkFilter(control, parent ? parent : dialog, controlId);
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(linkAccessible);
        return true;
    }();
    // Qt made the control's interface, as plain text, when its text was set: the next one asked
    // for is a link's.
    if (QAccessibleInterface* plain = QAccessible::queryAccessibleInterface(control);
        factoryInstalled && plain)
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(plain));
    return true;
}

int liveHyperlinkFilters() {
    return liveFilters;
}

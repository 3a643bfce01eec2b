// SPDX-License-Identifier: GPL-3.0-or-later
#include "Controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QLineEdit>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

namespace zptt {

namespace {

// The button as screen readers get it: a check box, as Qt shows checkable buttons, checked
// exactly while keyed. Its actions click the button, so that the click handler alone keys.
class AccessibleColourButton final : public QAccessibleWidget {
public:
    explicit AccessibleColourButton(ColourButton *button)
        : QAccessibleWidget(button, QAccessible::CheckBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return button()->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = button()->keyedShown();
        return s;
    }
    QStringList actionNames() const override {
        return QStringList{toggleAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override {
        // Deferred, as a click of the mouse: a keying must not hold up the screen reader's call.
        if ((action == toggleAction() || action == pressAction()) && button()->isEnabled())
            button()->animateClick();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    ColourButton *button() const { return static_cast<ColourButton *>(widget()); }
};

// Qt's accessibility cache owns what the factory makes.
QAccessibleInterface *accessibleColourButton(const QString &className, QObject *object) {
    if (className == QLatin1String(ColourButton::staticMetaObject.className()))
        return new AccessibleColourButton(static_cast<ColourButton *>(object));
    return nullptr;
}

} // namespace

ColourButton::ColourButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent) {
    static const bool accessible = [] {
        QAccessible::installFactory(accessibleColourButton);
        return true;
    }();
    (void)accessible;
    // Fusion paints the palette's button colour on every platform theme.
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        fusion->setParent(this);
        setStyle(fusion);
    }
    setAutoDefault(false);
    setDefault(false);
}

QColor ColourButton::toQColor(std::uint32_t colour) {
    if (colour & 0x80000000u) {
        switch (colour & 0xFFu) {
        case 5:
            return QApplication::palette().color(QPalette::Base);
        case 15:
        default:
            return QApplication::palette().color(QPalette::Button);
        }
    }
    return QColor(int(colour & 0xFFu), int((colour >> 8) & 0xFFu), int((colour >> 16) & 0xFFu));
}

void ColourButton::setBackColor(std::uint32_t colour) {
    m_backColor = colour;
    QPalette p = palette();
    p.setColor(QPalette::Button, toQColor(colour));
    setPalette(p);
    // Painted on the next pass of the event loop: the line must not wait for the X server,
    // nor for the screen reader, which learns of the change with the paint.
    update();
    QMetaObject::invokeMethod(this, &ColourButton::showKeyedToScreenReaders, Qt::QueuedConnection);
}

void ColourButton::showKeyedToScreenReaders() {
    if (m_keyedShown == (m_backColor != kButtonFace))
        return;
    m_keyedShown = !m_keyedShown;
    // The event makes a screen reader announce the change.
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

TextRoom ColourButton::captionRoom() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    return {text(), style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).size()};
}

DropDownList::DropDownList(QWidget *parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(15);
    // Leaving the field would otherwise select an item matching the typed text.
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
}

QList<TextRoom> DropDownList::itemRooms() const {
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    // The line edit keeps 2 pixels each side and 1 above and below, and scrolls its text unless
    // the cursor fits after it.
    const QSizeF room(field.width() - 4 - 1, field.height() - 2);
    QList<TextRoom> rooms;
    for (int i = 0; i < count(); ++i)
        rooms.append({itemText(i), room});
    return rooms;
}

void DropDownList::showPopup() {
    if (m_aboutToDropDown)
        m_aboutToDropDown();
    QComboBox::showPopup();
}

TriStateBox::TriStateBox(QWidget *parent) : QCheckBox(parent) {
    setTristate(true);
}

std::int16_t TriStateBox::Value() const {
    switch (checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

void TriStateBox::showValue(std::int16_t value) {
    switch (value) {
    case 0:
        setCheckState(Qt::Unchecked);
        return;
    case 1:
        setCheckState(Qt::Checked);
        return;
    case 2:
        setCheckState(Qt::PartiallyChecked);
        return;
    default:
        throw InvalidPropertyValue(
            QStringLiteral("Check box value %1 is not 0, 1 or 2").arg(value));
    }
}

void TriStateBox::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

QSize CompactMenuBarStyle::sizeFromContents(ContentsType type, const QStyleOption *option,
                                            const QSize &size, const QWidget *widget) const {
    if (type == CT_MenuBarItem && !size.isEmpty())
        return size + QSize(6, 5);
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

int CompactMenuBarStyle::pixelMetric(PixelMetric metric, const QStyleOption *option,
                                     const QWidget *widget) const {
    switch (metric) {
    case PM_MenuBarItemSpacing:
    case PM_MenuBarHMargin:
        return 0;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

} // namespace zptt

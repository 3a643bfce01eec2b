#include "Controls.h"

#include <QApplication>
#include <QLineEdit>
#include <QStyleFactory>

namespace zptt {

ColourButton::ColourButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent) {
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
    // Painted on the next pass of the event loop: the line must not wait for the X server.
    update();
}

DropDownList::DropDownList(QWidget *parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    setMaxVisibleItems(15);
    // Leaving the field would otherwise select an item matching the typed text.
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
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

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "DesignedFont.h"

#include <QCheckBox>
#include <QComboBox>
#include <QProxyStyle>
#include <QPushButton>
#include <cstdint>
#include <functional>
#include <stdexcept>

namespace zptt {

// Colour values as the window stores them: with the top bit set the low byte picks a system
// colour, otherwise red, green and blue in bits 0-7, 8-15 and 16-23.
inline constexpr std::uint32_t kButtonFace = 0x8000000F;
inline constexpr std::uint32_t kKeyedRed = 192;

// A value a control refuses (a list index out of range, a check box value other than 0..2).
class InvalidPropertyValue : public std::runtime_error {
public:
    explicit InvalidPropertyValue(const QString &what) : std::runtime_error(what.toStdString()) {}
};

// Push button that paints the back colour it is given and gives back exactly that value.
// Screen readers get it as a check box, checked exactly while it shows a colour other than the
// button face (keyed), whose actions click it as the operator does.
class ColourButton final : public QPushButton {
    Q_OBJECT
public:
    ColourButton(const QString &caption, QWidget *parent);

    std::uint32_t BackColor() const { return m_backColor; }
    void setBackColor(std::uint32_t colour);
    // The keyed state as screen readers have it: the colour's, from the next paint on.
    bool keyedShown() const { return m_keyedShown; }

    static QColor toQColor(std::uint32_t colour);
    TextRoom captionRoom() const;

private:
    void showKeyedToScreenReaders();

    std::uint32_t m_backColor = 0;
    bool m_keyedShown = false;
};

// Drop-down list with an editable text field. Only a choice from the list runs its handler:
// typing never inserts, completes or selects, not on Enter and not on leaving the field.
class DropDownList final : public QComboBox {
    Q_OBJECT
public:
    explicit DropDownList(QWidget *parent);

    int ListIndex() const { return currentIndex(); }
    QString Text() const { return currentText(); }
    // Every item as the text field shows it, with the room the field gives it.
    QList<TextRoom> itemRooms() const;

    // Called just before the list drops down (the port list refreshes its tooltips there).
    void setAboutToDropDown(std::function<void()> callback) {
        m_aboutToDropDown = std::move(callback);
    }
    void showPopup() override;

private:
    std::function<void()> m_aboutToDropDown;
};

// Check box with values 0 clear, 1 checked, 2 grey. An operator's click toggles between clear
// and checked only; a grey box becomes checked.
class TriStateBox final : public QCheckBox {
    Q_OBJECT
public:
    explicit TriStateBox(QWidget *parent);

    std::int16_t Value() const;
    // Sets the shown state only; the caller runs the click handler.
    void showValue(std::int16_t value);

protected:
    void nextCheckState() override;
};

// Menu bar items with less padding, so that File, Setup and Help all fit the window's narrow
// designed width instead of hiding behind the overflow button.
class CompactMenuBarStyle final : public QProxyStyle {
    Q_OBJECT
public:
    using QProxyStyle::QProxyStyle;
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                           const QWidget *widget) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QList>
#include <QPaintDevice>
#include <QSizeF>
#include <QString>

namespace zptt {

// One line of a control's text and the room the control gives it, in device-independent
// pixels.
struct TextRoom {
    QString text;
    QSizeF room;
};

// The designed sizes were drawn for an 8-point dialog font, and platforms' general fonts are
// larger or wider. The family of `general` at the largest size, in half points from its own
// size down to 6, at which every text fits its room on `device`; 6 points when none does.
QFont designedFont(const QFont &general, const QList<TextRoom> &texts, const QPaintDevice *device);

} // namespace zptt

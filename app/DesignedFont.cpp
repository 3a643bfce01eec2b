// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesignedFont.h"

#include <QFontMetricsF>
#include <algorithm>
#include <cmath>

namespace zptt {

QFont designedFont(const QFont &general, const QList<TextRoom> &texts, const QPaintDevice *device) {
    constexpr qreal kSmallest = 6.0;
    QFont font(general.family());
    const qreal largest = general.pointSizeF() > 0 ? general.pointSizeF() : 9.0;
    for (qreal size = std::floor(largest * 2) / 2; size > kSmallest; size -= 0.5) {
        font.setPointSizeF(size);
        const QFontMetricsF metrics(font, device);
        if (std::all_of(texts.begin(), texts.end(), [&](const TextRoom &t) {
                return metrics.horizontalAdvance(t.text) <= t.room.width() &&
                       metrics.height() <= t.room.height();
            }))
            return font;
    }
    font.setPointSizeF(kSmallest);
    return font;
}

} // namespace zptt

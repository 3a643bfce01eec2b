// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TextForms.h"

#include <algorithm>

namespace zptt {

// Twips are 1/1440 inch. The factor per axis is 1440 / logical DPI: 15 at 96 DPI.
inline double twipsPerPixel(double logicalDpi) {
    return 1440.0 / logicalDpi;
}

// Twips to whole pixels, a half going to the even neighbour: 22.5 px gives 22, 23.5 gives 24.
// Held to a range no window reaches, so that arithmetic on the result cannot overflow.
inline int twipsToPixels(double twips, double twipsPerPx) {
    constexpr double kLimit = 1 << 24;
    return static_cast<int>(std::clamp(RoundHalfEven(twips / twipsPerPx), -kLimit, kLimit));
}

} // namespace zptt

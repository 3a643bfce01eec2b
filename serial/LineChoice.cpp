// SPDX-License-Identifier: GPL-3.0-or-later
#include "LineChoice.h"

#include <sys/ioctl.h>

namespace zptt {

namespace {

int keyingBits(LineChoice::Line line) {
    switch (line) {
    case LineChoice::Line::Rts:
        return TIOCM_RTS;
    case LineChoice::Line::Both:
        return TIOCM_DTR | TIOCM_RTS;
    case LineChoice::Line::Dtr:
        return TIOCM_DTR;
    default: // a GPIO pin
        return 0;
    }
}

} // namespace

int LineChoice::gpioPin() const {
    return keying >= Line::Gpio1 ? int(keying) - int(Line::Gpio1) + 1 : 0;
}

LineLevels LineChoice::idle() const {
    if (gpioPin())
        return {};
    const int bits = keyingBits(keying);
    const int other = (TIOCM_DTR | TIOCM_RTS) & ~bits;
    LineLevels l;
    (keyedLow ? l.raise : l.lower) |= bits;
    (otherIdleHigh ? l.raise : l.lower) |= other;
    return l;
}

LineLevels LineChoice::keyed() const {
    const int bits = keyingBits(keying);
    return keyedLow ? LineLevels{0, bits} : LineLevels{bits, 0};
}

} // namespace zptt

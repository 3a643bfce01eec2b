// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace zptt {

// Modem-control bits (TIOCM_DTR, TIOCM_RTS) to raise and to lower to reach one state.
struct LineLevels {
    int raise = 0;
    int lower = 0;
    bool operator==(const LineLevels &) const = default;
};

// How an interface is keyed: which line, at which level, and where the other line rests.
// The defaults are DTR keyed high with RTS idle low. A serial port keys on DTR or RTS; a USB
// sound interface on one of its chip's GPIO pins, and has no other line.
struct LineChoice {
    enum class Line { Dtr, Rts, Both, Gpio1, Gpio2, Gpio3, Gpio4, Gpio5, Gpio6, Gpio7, Gpio8 };
    Line keying = Line::Dtr;
    bool keyedLow = false; // keyed = the keying line low
    bool otherIdleHigh =
        false; // the line that does not key rests high (interfaces powered from it)

    bool operator==(const LineChoice &) const = default;

    // The keying GPIO pin, 1 to 8; 0 when a serial line keys.
    int gpioPin() const;

    // A serial port's lines (none for a GPIO pin), both at rest: what every open, release and
    // way out leaves.
    LineLevels idle() const;
    // The keying line at its keyed level; the other line stays at rest.
    LineLevels keyed() const;
};

} // namespace zptt

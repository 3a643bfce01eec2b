// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyClock.h"
#include "LineChoice.h"

namespace zptt {

// Something that watches over the open port's lines on its own (the in-process watchdog, the
// guardian process), told by the serial control of every open, keying, release and close.
// Called on whichever thread keys or releases, under the control's lock: never block.
class LineGuard {
public:
    virtual ~LineGuard() = default;

    // fd is open and at rest; idle is what puts it back at rest.
    virtual void portOpened(int fd, LineLevels idle) = 0;
    // Keyed until deadline (a later call moves it).
    virtual void keyed(KeyClock::time_point deadline) = 0;
    // Back at rest, by the program.
    virtual void released() = 0;
    // fd is about to be closed: once this returns, it is no longer touched.
    virtual void portClosing() = 0;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyClock.h"

#include <functional>
#include <thread>

namespace zptt {

// Runs a function on a thread of its own when the armed time comes. Arming and disarming are one
// system call each and wake no thread, so that a keying pays nothing on its way to the line for
// the time-outs that watch it.
class DeadlineTimer {
public:
    // Throws std::system_error when the timer or its thread cannot be had.
    explicit DeadlineTimer(std::function<void()> due);
    ~DeadlineTimer();
    DeadlineTimer(const DeadlineTimer &) = delete;
    DeadlineTimer &operator=(const DeadlineTimer &) = delete;

    // Any thread. A later arm replaces the earlier.
    void arm(KeyClock::time_point at);
    void disarm();

private:
    void run();

    const std::function<void()> m_due;
    int m_timer = -1;
    int m_stop = -1;
    std::thread m_thread;
};

} // namespace zptt

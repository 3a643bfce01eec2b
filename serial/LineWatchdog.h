// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "DeadlineTimer.h"
#include "LineGuard.h"

#include <chrono>
#include <mutex>
#include <optional>

namespace zptt {

// Puts the port at rest itself when a keying outlives its deadline by more than a short grace,
// whatever else the program is doing (a thread stuck with the keying's lock, a settings write
// stuck on a slow home directory). One or two requests on its own copy of the descriptor,
// nothing else, and never under a lock that anyone else takes.
class LineWatchdog final : public LineGuard {
public:
    using Clock = KeyClock;

    // Throws std::system_error when its timer cannot be had.
    explicit LineWatchdog(std::chrono::milliseconds grace = std::chrono::milliseconds(500));
    LineWatchdog(const LineWatchdog &) = delete;
    LineWatchdog &operator=(const LineWatchdog &) = delete;

    bool portOpened(int fd, const RestAction &rest) override;
    bool keyingChanged(const KeyingState &state) override;
    void portClosing() override;

    std::chrono::milliseconds grace() const { return m_grace; }
    // How often the watchdog had to step in.
    int releases() const;

private:
    void due();

    const std::chrono::milliseconds m_grace;
    DescriptorCopy m_port;
    mutable std::mutex m_mutex;
    RestAction m_rest;
    std::optional<Clock::time_point> m_deadline;
    int m_releases = 0;
    DeadlineTimer m_timer; // last: its thread may call due() at once
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LineGuard.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace zptt {

// Puts the lines at rest itself when a keying outlives its deadline by more than a short
// grace, whatever the window's thread is doing (a settings write stuck on a slow home
// directory, a long paint). One or two ioctls, nothing else.
class LineWatchdog final : public LineGuard {
public:
    using Clock = KeyClock;

    explicit LineWatchdog(std::chrono::milliseconds grace = std::chrono::milliseconds(500));
    ~LineWatchdog() override;
    LineWatchdog(const LineWatchdog &) = delete;
    LineWatchdog &operator=(const LineWatchdog &) = delete;

    void portOpened(int fd, LineLevels idle) override;
    void keyed(Clock::time_point deadline) override;
    void released() override;
    void portClosing() override;

    std::chrono::milliseconds grace() const { return m_grace; }
    // How often the watchdog had to step in.
    int releases() const;

private:
    void run();

    const std::chrono::milliseconds m_grace;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_fd = -1;
    LineLevels m_idle;
    std::optional<Clock::time_point> m_deadline;
    int m_releases = 0;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace zptt

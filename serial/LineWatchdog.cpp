// SPDX-License-Identifier: GPL-3.0-or-later
#include "LineWatchdog.h"

#include <sys/ioctl.h>

namespace zptt {

LineWatchdog::LineWatchdog(std::chrono::milliseconds grace)
    : m_grace(grace), m_thread([this] { run(); }) {}

LineWatchdog::~LineWatchdog() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void LineWatchdog::portOpened(int fd, LineLevels idle) {
    std::lock_guard lock(m_mutex);
    m_fd = fd;
    m_idle = idle;
    m_deadline.reset();
}

void LineWatchdog::keyed(Clock::time_point deadline) {
    {
        std::lock_guard lock(m_mutex);
        m_deadline = deadline;
    }
    m_changed.notify_all();
}

void LineWatchdog::released() {
    std::lock_guard lock(m_mutex);
    m_deadline.reset();
}

void LineWatchdog::portClosing() {
    std::lock_guard lock(m_mutex);
    m_fd = -1;
    m_deadline.reset();
}

int LineWatchdog::releases() const {
    std::lock_guard lock(m_mutex);
    return m_releases;
}

void LineWatchdog::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (!m_deadline) {
            m_changed.wait(lock);
            continue;
        }
        const Clock::time_point due = *m_deadline + m_grace;
        if (Clock::now() < due) {
            m_changed.wait_until(lock, due);
            continue;
        }
        if (m_fd >= 0) {
            if (m_idle.lower)
                ::ioctl(m_fd, TIOCMBIC, &m_idle.lower);
            if (m_idle.raise)
                ::ioctl(m_fd, TIOCMBIS, &m_idle.raise);
            ++m_releases;
        }
        m_deadline.reset();
    }
}

} // namespace zptt

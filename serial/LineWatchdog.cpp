// SPDX-License-Identifier: GPL-3.0-or-later
#include "LineWatchdog.h"

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

bool LineWatchdog::portOpened(int fd, const RestAction &rest) {
    const bool copied = m_port.take(fd);
    std::lock_guard lock(m_mutex);
    m_rest = rest;
    m_deadline.reset();
    return copied;
}

bool LineWatchdog::keyingChanged(const KeyingState &state) {
    {
        std::lock_guard lock(m_mutex);
        if (state.keyed)
            m_deadline = state.deadline;
        else
            m_deadline.reset();
    }
    m_changed.notify_all();
    return true;
}

void LineWatchdog::portClosing() {
    m_port.drop();
    std::lock_guard lock(m_mutex);
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
        m_deadline.reset();
        const RestAction rest = m_rest;
        lock.unlock();
        const int fd = m_port.borrow();
        if (fd >= 0)
            restDevice(fd, rest);
        m_port.giveBack();
        lock.lock();
        m_releases += fd >= 0;
    }
}

} // namespace zptt

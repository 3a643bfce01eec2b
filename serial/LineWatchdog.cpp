// SPDX-License-Identifier: GPL-3.0-or-later
#include "LineWatchdog.h"

namespace zptt {

LineWatchdog::LineWatchdog(std::chrono::milliseconds grace)
    : m_grace(grace), m_timer([this] { due(); }) {}

bool LineWatchdog::portOpened(int fd, const RestAction &rest) {
    const bool copied = m_port.take(fd);
    std::lock_guard lock(m_mutex);
    m_rest = rest;
    m_deadline.reset();
    m_timer.disarm();
    return copied;
}

bool LineWatchdog::keyingChanged(const KeyingState &state) {
    std::lock_guard lock(m_mutex);
    if (state.keyed) {
        m_deadline = state.deadline;
        m_timer.arm(state.deadline + m_grace);
    } else {
        m_deadline.reset();
        m_timer.disarm();
    }
    return true;
}

void LineWatchdog::portClosing() {
    m_port.drop();
    std::lock_guard lock(m_mutex);
    m_deadline.reset();
    m_timer.disarm();
}

int LineWatchdog::releases() const {
    std::lock_guard lock(m_mutex);
    return m_releases;
}

void LineWatchdog::due() {
    RestAction rest;
    {
        std::lock_guard lock(m_mutex);
        if (!m_deadline || Clock::now() < *m_deadline + m_grace)
            return; // released, or moved, meanwhile
        m_deadline.reset();
        rest = m_rest;
    }
    const int fd = m_port.borrow();
    if (fd >= 0)
        restDevice(fd, rest);
    m_port.giveBack();
    std::lock_guard lock(m_mutex);
    m_releases += fd >= 0;
}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeviceProbe.h"

#include <cerrno>
#include <chrono>
#include <sys/ioctl.h>

namespace zptt {

DeviceProbe::DeviceProbe(std::function<void()> failed)
    : m_failed(std::move(failed)), m_thread([this] { run(); }) {}

DeviceProbe::~DeviceProbe() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DeviceProbe::portOpened(int fd, LineLevels) {
    {
        std::lock_guard lock(m_mutex);
        m_fd = fd;
    }
    m_changed.notify_all();
}

void DeviceProbe::portClosing() {
    std::lock_guard lock(m_mutex);
    m_fd = -1;
}

void DeviceProbe::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_fd < 0) {
            m_changed.wait(lock); // no port, no wake-ups
            continue;
        }
        if (m_changed.wait_for(lock, std::chrono::seconds(1)) == std::cv_status::no_timeout)
            continue; // a new port, a close or the end: look again
        int lines = 0;
        // Under the lock: the descriptor is not closed while the ioctl runs.
        if (m_fd >= 0 && ::ioctl(m_fd, TIOCMGET, &lines) != 0 && errno != EINTR)
            m_failed();
    }
}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeviceProbe.h"

#include <chrono>

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

bool DeviceProbe::portOpened(int fd, const RestAction &rest) {
    const bool copied = m_port.take(fd);
    {
        std::lock_guard lock(m_mutex);
        m_kind = rest.kind;
        m_open = true;
    }
    m_changed.notify_all();
    return copied;
}

void DeviceProbe::portClosing() {
    m_port.drop();
    {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    m_changed.notify_all();
}

void DeviceProbe::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (!m_open) {
            m_changed.wait(lock); // no port, no wake-ups
            continue;
        }
        if (m_changed.wait_for(lock, std::chrono::seconds(1)) == std::cv_status::no_timeout)
            continue; // a new port, a close or the end: look again
        const RestAction::Kind kind = m_kind;
        lock.unlock();
        const int fd = m_port.borrow();
        const bool answers = fd < 0 || deviceAnswers(fd, kind);
        m_port.giveBack();
        lock.lock();
        if (!answers && m_open && !m_stop) {
            lock.unlock();
            m_failed();
            lock.lock();
        }
    }
}

} // namespace zptt

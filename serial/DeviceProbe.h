// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LineGuard.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace zptt {

// Notices a device that only fails its ioctls (an adapter gone without a hang-up) within a
// second, on a thread of its own, so that a program waiting with an open port wakes nothing but
// this one ioctl a second.
class DeviceProbe final : public LineGuard {
public:
    // failed runs on the probe's thread after an ioctl on the open port failed.
    explicit DeviceProbe(std::function<void()> failed);
    ~DeviceProbe() override;
    DeviceProbe(const DeviceProbe &) = delete;
    DeviceProbe &operator=(const DeviceProbe &) = delete;

    void portOpened(int fd, LineLevels idle) override;
    void keyed(KeyClock::time_point) override {}
    void released() override {}
    void portClosing() override;

private:
    void run();

    const std::function<void()> m_failed;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_fd = -1;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace zptt

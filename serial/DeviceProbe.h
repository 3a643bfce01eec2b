// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LineGuard.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace zptt {

// Notices a device that only fails its requests (an adapter gone without a hang-up) within a
// second, on a thread of its own and on its own copy of the descriptor, so that a program
// waiting with an open port wakes nothing but this one request a second, and a wedged adapter
// holds up no one else.
class DeviceProbe final : public LineGuard {
public:
    // failed runs on the probe's thread after a request on the open port failed. Throws
    // std::system_error when the thread cannot be started.
    explicit DeviceProbe(std::function<void()> failed);
    ~DeviceProbe() override;
    DeviceProbe(const DeviceProbe &) = delete;
    DeviceProbe &operator=(const DeviceProbe &) = delete;

    bool portOpened(int fd, const RestAction &rest) override;
    bool keyingChanged(const KeyingState &) override { return true; }
    void portClosing() override;

private:
    void run();

    const std::function<void()> m_failed;
    DescriptorCopy m_port;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    RestAction::Kind m_kind = RestAction::Kind::ModemLines;
    bool m_open = false;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace zptt

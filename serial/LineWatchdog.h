#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace zptt {

// Lowers DTR itself when a keying outlives its deadline by more than a short grace, whatever
// the window's thread is doing (a settings write stuck on a slow home directory, a long paint).
// One ioctl, nothing else.
class LineWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    explicit LineWatchdog(std::chrono::milliseconds grace = std::chrono::milliseconds(500));
    ~LineWatchdog();
    LineWatchdog(const LineWatchdog &) = delete;
    LineWatchdog &operator=(const LineWatchdog &) = delete;

    // DTR is high on fd until deadline.
    void arm(int fd, Clock::time_point deadline);
    // The owner lowered the line, or is about to close fd: once this returns the watchdog no
    // longer touches fd.
    void disarm();

    std::chrono::milliseconds grace() const { return m_grace; }
    // How often the watchdog had to step in.
    int releases() const;

private:
    void run();

    const std::chrono::milliseconds m_grace;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_fd = -1;
    std::optional<Clock::time_point> m_deadline;
    int m_releases = 0;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace zptt

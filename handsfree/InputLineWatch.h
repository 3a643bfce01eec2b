// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace zptt {

class KeyingSource;

// A foot switch on an input line of an open serial port (a TIOCM bit: CTS, DSR, DCD or RI),
// awaited with TIOCMIWAIT on a thread of its own, so that nothing runs while the line stays
// put. A change counts once the line has kept it for the settling time: a switch's contacts
// bounce. The source hears of the switch on that thread; gone runs there after the device
// went away (the source has been told). The descriptor stays the caller's.
class InputLineWatch {
public:
    static constexpr std::chrono::milliseconds kSettle{20};

    InputLineWatch(int fd, int line, bool activeHigh, KeyingSource &source,
                   std::function<void()> gone, std::chrono::milliseconds settle = kSettle);
    // Interrupts the wait (a signal to the thread): the descriptor is no longer touched once it
    // returns. Must not be called while holding what the source's requests take.
    ~InputLineWatch();
    InputLineWatch(const InputLineWatch &) = delete;
    InputLineWatch &operator=(const InputLineWatch &) = delete;

    int fd() const { return m_fd; }

private:
    void run();
    bool read(int &lines) const;

    const int m_fd;
    const int m_line;
    const bool m_activeHigh;
    KeyingSource &m_source;
    const std::function<void()> m_gone;
    const std::chrono::milliseconds m_settle;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

} // namespace zptt

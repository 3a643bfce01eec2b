// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LineGuard.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace zptt {

class KeyingSource;

// A foot switch on an input line of a serial port (a TIOCM bit: CTS, DSR, DCD or RI), awaited
// with TIOCMIWAIT on a thread of its own, so that nothing runs while the line stays put. A
// change counts once the line has kept it for the settling time: a switch's contacts bounce.
// The thread uses its own copy of the port's descriptor. The source hears of the switch on that
// thread; gone runs there after the device went away (the source has been told).
class InputLineWatch {
public:
    static constexpr std::chrono::milliseconds kSettle{20};

    // Throws std::system_error when its thread cannot be started.
    InputLineWatch(int line, bool activeHigh, KeyingSource &source, std::function<void()> gone,
                   std::chrono::milliseconds settle = kSettle);
    // Interrupts the wait (a signal to the thread) and waits for the thread: not while holding
    // what the source's requests take.
    ~InputLineWatch();
    InputLineWatch(const InputLineWatch &) = delete;
    InputLineWatch &operator=(const InputLineWatch &) = delete;

    // Watches a copy of fd from now on (-1: nothing); a keying the switch held on the port
    // before ends. Never blocks: the keying calls it under its lock.
    void watch(int fd);

private:
    void run();
    // Until the descriptor changes, the watch stops or the device goes.
    void follow(int fd, unsigned generation);

    const int m_line;
    const bool m_activeHigh;
    KeyingSource &m_source;
    const std::function<void()> m_gone;
    const std::chrono::milliseconds m_settle;
    DescriptorCopy m_copy;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<unsigned> m_generation{0}; // counts watch() calls
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

} // namespace zptt

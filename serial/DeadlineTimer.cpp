// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeadlineTimer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <system_error>
#include <unistd.h>

namespace zptt {

namespace {

int orThrow(int fd, const char *what) {
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), what);
    return fd;
}

} // namespace

DeadlineTimer::DeadlineTimer(std::function<void()> due) : m_due(std::move(due)) {
    // KeyClock is CLOCK_MONOTONIC: the same clock, and no one moves it.
    m_timer = orThrow(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), "timerfd");
    try {
        m_stop = orThrow(::eventfd(0, EFD_CLOEXEC), "eventfd");
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        ::close(m_timer);
        if (m_stop >= 0)
            ::close(m_stop);
        throw;
    }
}

DeadlineTimer::~DeadlineTimer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_stop, &one, sizeof one);
    m_thread.join();
    ::close(m_timer);
    ::close(m_stop);
}

void DeadlineTimer::arm(KeyClock::time_point at) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
    itimerspec when{};
    when.it_value.tv_sec = std::max<std::int64_t>(ns.count() / 1'000'000'000, 0);
    when.it_value.tv_nsec = ns.count() % 1'000'000'000;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0)
        when.it_value.tv_nsec = 1; // zero would disarm it
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &when, nullptr);
}

void DeadlineTimer::disarm() {
    const itimerspec never{};
    ::timerfd_settime(m_timer, 0, &never, nullptr);
}

void DeadlineTimer::run() {
    for (;;) {
        pollfd p[2] = {{m_timer, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0)
            continue; // EINTR
        if (p[1].revents)
            return;
        std::uint64_t expirations = 0;
        if (::read(m_timer, &expirations, sizeof expirations) == sizeof expirations)
            m_due();
    }
}

} // namespace zptt

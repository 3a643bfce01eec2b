// SPDX-License-Identifier: GPL-3.0-or-later
#include "InputLineWatch.h"

#include "KeyingSource.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <sys/ioctl.h>

namespace zptt {

namespace {

// Sent to the watch's thread to end its wait: TIOCMIWAIT has no time-out and no other way out.
int stopSignal() {
    return SIGRTMIN + 5;
}

// Without SA_RESTART, so that the wait returns EINTR. Installed anew by each watch: the same
// handler every time.
void installStopHandler() {
    struct sigaction sa {};
    sa.sa_handler = +[](int) {};
    sigemptyset(&sa.sa_mask);
    ::sigaction(stopSignal(), &sa, nullptr);
}

// The stop signal reaches the thread only inside its waits, never in the source's requests.
void allowStop(bool allow) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, stopSignal());
    ::pthread_sigmask(allow ? SIG_UNBLOCK : SIG_BLOCK, &set, nullptr);
}

} // namespace

InputLineWatch::InputLineWatch(int fd, int line, bool activeHigh, KeyingSource &source,
                               std::function<void()> gone, std::chrono::milliseconds settle)
    : m_fd(fd), m_line(line), m_activeHigh(activeHigh), m_source(source), m_gone(std::move(gone)),
      m_settle(settle) {
    installStopHandler();
    m_thread = std::thread([this] {
        allowStop(false);
        run();
        m_done = true;
    });
}

InputLineWatch::~InputLineWatch() {
    m_stop = true;
    // Again and again: a signal that comes just before the wait starts is not seen by it.
    while (!m_done) {
        ::pthread_kill(m_thread.native_handle(), stopSignal());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m_thread.join();
}

bool InputLineWatch::read(int &lines) const {
    while (::ioctl(m_fd, TIOCMGET, &lines) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

void InputLineWatch::run() {
    const auto active = [this](int lines) { return bool(lines & m_line) == m_activeHigh; };
    int lines = 0;
    if (!read(lines)) {
        m_source.lost();
        m_gone();
        return;
    }
    bool reported = active(lines);
    m_source.started(reported);
    const timespec settle{m_settle.count() / 1000, m_settle.count() % 1000 * 1'000'000};
    while (!m_stop) {
        // A change in the moment between the last read and the wait's start goes unseen until
        // the next change, after which the line is read afresh.
        allowStop(true);
        int r = m_stop ? -1 : ::ioctl(m_fd, TIOCMIWAIT, m_line);
        const int error = errno;
        // Until the line has kept its level for the settling time.
        bool settled = r == 0 && read(lines);
        while (settled && !m_stop) {
            int again = 0;
            if (::nanosleep(&settle, nullptr) != 0)
                continue; // a signal: the stop, or another one
            if (!(settled = read(again)) || (again & m_line) == (lines & m_line))
                break;
            lines = again;
        }
        allowStop(false);
        if (m_stop)
            return;
        if (r != 0 && error == EINTR)
            continue;
        if (!settled) {
            m_source.lost();
            m_gone();
            return;
        }
        if (active(lines) != reported)
            m_source.changed(reported = active(lines));
    }
}

} // namespace zptt

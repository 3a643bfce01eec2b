// SPDX-License-Identifier: GPL-3.0-or-later
#include "InputLineWatch.h"

#include "KeyingSource.h"

#include <cerrno>
#include <csetjmp>
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

// Set on a watch's thread while it looks whether to stop and waits: a stop signal landing after
// the look but before the wait starts jumps out, instead of leaving the wait to the line's next
// change (the old port would be followed until the switch is pressed).
thread_local sigjmp_buf *t_stopJump = nullptr;

// Without SA_RESTART, so that the wait returns EINTR. Installed anew by each watch: the same
// handler every time.
void installStopHandler() {
    struct sigaction sa {};
    sa.sa_handler = +[](int) {
        if (t_stopJump)
            siglongjmp(*t_stopJump, 1);
    };
    sigemptyset(&sa.sa_mask);
    ::sigaction(stopSignal(), &sa, nullptr);
}

// The stop signal reaches the thread only in its waits, never in the source's requests.
void allowStop(bool allow) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, stopSignal());
    ::pthread_sigmask(allow ? SIG_UNBLOCK : SIG_BLOCK, &set, nullptr);
}

// TIOCMIWAIT unless stopped: -1 with EINTR at the stop signal, wherever it lands. Nothing here
// may need undoing: a jump leaves it from any point.
int waitUnlessMoved(int fd, int mask, const std::function<bool()> &moved) {
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) != 0) { // the mask as it was: the signal blocked again
        t_stopJump = nullptr;
        errno = EINTR;
        return -1;
    }
    t_stopJump = &jump;
    allowStop(true);
    const int r = moved() ? (errno = EINTR, -1) : ::ioctl(fd, TIOCMIWAIT, mask);
    const int error = errno;
    t_stopJump = nullptr;
    errno = error;
    return r;
}

bool readLines(int fd, int &lines) {
    while (::ioctl(fd, TIOCMGET, &lines) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

} // namespace

InputLineWatch::InputLineWatch(int line, bool activeHigh, KeyingSource &source,
                               std::function<void()> gone, std::chrono::milliseconds settle)
    : m_line(line), m_activeHigh(activeHigh), m_source(source), m_gone(std::move(gone)),
      m_settle(settle) {
    installStopHandler();
    m_thread = std::thread([this] {
        allowStop(false);
        run();
        m_done = true;
    });
}

InputLineWatch::~InputLineWatch() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_one();
    // Again and again: a signal that comes just before the wait starts is not seen by it.
    while (!m_done) {
        ::pthread_kill(m_thread.native_handle(), stopSignal());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m_thread.join();
}

void InputLineWatch::watch(int fd) {
    if (fd >= 0)
        m_copy.take(fd);
    else
        m_copy.drop();
    {
        const std::lock_guard lock(m_mutex);
        ++m_generation;
    }
    m_changed.notify_one();
    // Once: a wait that starts in the same instant ends at the line's next change instead.
    ::pthread_kill(m_thread.native_handle(), stopSignal());
}

void InputLineWatch::run() {
    unsigned seen = 0;
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_generation == seen) {
            m_changed.wait(lock);
            continue;
        }
        seen = m_generation;
        lock.unlock();
        if (const int fd = m_copy.borrow(); fd >= 0)
            follow(fd, seen);
        m_copy.giveBack();
        lock.lock();
    }
}

void InputLineWatch::follow(int fd, unsigned generation) {
    const std::function<bool()> moved = [&] { return m_stop || m_generation != generation; };
    const auto active = [this](int lines) { return bool(lines & m_line) == m_activeHigh; };
    int lines = 0;
    bool settled = readLines(fd, lines);
    bool reported = active(lines);
    if (settled)
        m_source.started(reported);
    const timespec settle{m_settle.count() / 1000, m_settle.count() % 1000 * 1'000'000};
    while (settled) {
        // A change between the last read and the wait's start goes unseen until the next one.
        const int r = waitUnlessMoved(fd, m_line, moved);
        const int error = errno;
        // Until the line has kept its level for the settling time.
        settled = r == 0 && readLines(fd, lines);
        while (settled && !moved()) {
            int again = 0;
            if (::nanosleep(&settle, nullptr) != 0)
                continue; // a signal: the stop, or another one
            if (!(settled = readLines(fd, again)) || (again & m_line) == (lines & m_line))
                break;
            lines = again;
        }
        allowStop(false);
        if (moved()) {
            m_source.lost(); // the port closes, or the watch stops: a hold on it ends
            return;
        }
        if (r != 0 && error == EINTR)
            settled = true;
        else if (settled && active(lines) != reported)
            m_source.changed(reported = active(lines));
    }
    // The device went away: its requests fail.
    m_source.lost();
    m_gone();
}

} // namespace zptt

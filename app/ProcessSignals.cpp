// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProcessSignals.h"

#include "EmergencyRelease.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zptt {

namespace {

// All a signal handler may touch: the write ends of the two pipes.
std::atomic<int> g_eventFd{-1};
std::atomic<int> g_exitFd{-1};

constexpr int kEndSignals[] = {SIGTERM, SIGHUP, SIGINT};
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
// A save may take its time; the whole end may not take more than two seconds.
constexpr int kEndWithinMs = 1600;

void post(const std::atomic<int> &fd, int signalNumber) {
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (const int f = fd.load(); f >= 0) [[maybe_unused]]
        ssize_t n = ::write(f, &byte, 1);
}

void onEnd(int signalNumber) {
    const int saved = errno;
    EmergencyRelease::releaseNow();
    post(g_exitFd, signalNumber);
    post(g_eventFd, signalNumber);
    errno = saved;
}

void onStop(int) {
    const int saved = errno;
    EmergencyRelease::releaseNow();
    ::raise(SIGSTOP);
    // Running again.
    post(g_eventFd, SIGCONT);
    errno = saved;
}

bool makePipe(int &readFd, int &writeFd, int flags) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | flags) != 0)
        return false;
    readFd = fds[0];
    writeFd = fds[1];
    return true;
}

} // namespace

ProcessSignals::ProcessSignals(QObject *parent) : QObject(parent) {
    if (!makePipe(m_readFd, m_writeFd, O_NONBLOCK) || !makePipe(m_exitReadFd, m_exitWriteFd, 0)) {
        m_problem = QStringLiteral("cannot watch for signals to end or stop: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    ::fcntl(m_exitWriteFd, F_SETFL, O_NONBLOCK);
    try {
        m_exitWatch = std::thread([this] { endInTime(); });
    } catch (const std::system_error &e) {
        m_problem = QStringLiteral("cannot watch the end of the program: %1").arg(e.what());
        return;
    }
    g_eventFd.store(m_writeFd);
    g_exitFd.store(m_exitWriteFd);
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessSignals::drain);

    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = onEnd;
    for (int s : kEndSignals)
        ::sigaction(s, &sa, nullptr);
    sa.sa_handler = onStop;
    for (int s : kStopSignals)
        ::sigaction(s, &sa, nullptr);
}

ProcessSignals::~ProcessSignals() {
    for (int s : kEndSignals)
        ::signal(s, SIG_DFL);
    for (int s : kStopSignals)
        ::signal(s, SIG_DFL);
    g_eventFd.store(-1);
    g_exitFd.store(-1);
    for (int fd : {m_writeFd, m_readFd, m_exitWriteFd}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (m_exitWatch.joinable())
        m_exitWatch.join(); // the closed pipe ends its read
    if (m_exitReadFd >= 0)
        ::close(m_exitReadFd);
}

void ProcessSignals::drain() {
    unsigned char byte = 0;
    while (::read(m_readFd, &byte, 1) == 1) {
        if (byte == SIGCONT)
            emit resumedAfterStop();
        else
            emit endRequested(byte);
    }
}

void ProcessSignals::endInTime() {
    unsigned char byte = 0;
    ssize_t n;
    do {
        n = ::read(m_exitReadFd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1)
        return;
    // The window normally ends the program well before this.
    pollfd none{};
    ::poll(&none, 0, kEndWithinMs);
    static const char line[] = "Zorore_PTT: did not end in time after a request to end; "
                               "ending now, settings not saved\n";
    [[maybe_unused]] ssize_t w = ::write(STDERR_FILENO, line, sizeof line - 1);
    EmergencyRelease::endProcess(1);
}

} // namespace zptt

#include "TerminationSignals.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zptt {

namespace {

// The one thing a signal handler may touch: the write end of the self-pipe.
std::atomic<int> g_writeFd{-1};

void onSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int fd = g_writeFd.load();
    if (fd >= 0) [[maybe_unused]]
        ssize_t n = ::write(fd, &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_readFd = fds[0];
    g_writeFd.store(fds[1]);
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::drain);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(s, &sa, nullptr);
}

TerminationSignals::~TerminationSignals() {
    for (int s : {SIGTERM, SIGHUP, SIGINT})
        ::signal(s, SIG_DFL);
    const int w = g_writeFd.exchange(-1);
    if (w >= 0)
        ::close(w);
    if (m_readFd >= 0)
        ::close(m_readFd);
}

void TerminationSignals::drain() {
    unsigned char byte = 0;
    while (::read(m_readFd, &byte, 1) == 1)
        emit received(byte);
}

} // namespace zptt

#include "FatalSignalRelease.h"

#include <atomic>
#include <csignal>
#include <sys/ioctl.h>

namespace zptt::FatalSignalRelease {

namespace {

// A signal handler can reach nothing but this.
std::atomic<int> g_fd{-1};

constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE};

void onFatalSignal(int signalNumber) {
    const int fd = g_fd.exchange(-1);
    if (fd >= 0) {
        int lines = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIC, &lines);
    }
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

} // namespace

void install() {
    struct sigaction sa {};
    sa.sa_handler = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int s : kSignals)
        ::sigaction(s, &sa, nullptr);
}

void track(int fd) {
    g_fd.store(fd);
}

} // namespace zptt::FatalSignalRelease

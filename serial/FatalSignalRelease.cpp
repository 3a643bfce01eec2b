#include "FatalSignalRelease.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <sys/ioctl.h>

namespace zptt::FatalSignalRelease {

namespace {

// A signal handler can reach nothing but this.
std::atomic<int> g_fd{-1};

constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE};

void releaseLines() {
    const int fd = g_fd.exchange(-1);
    if (fd >= 0) {
        int lines = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIC, &lines);
    }
}

void onFatalSignal(int signalNumber) {
    releaseLines();
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
    // exit() from inside the toolkit (a lost display connection) skips our own close.
    std::atexit(releaseLines);
}

void track(int fd) {
    g_fd.store(fd);
}

} // namespace zptt::FatalSignalRelease

// SPDX-License-Identifier: GPL-3.0-or-later
#include "EmergencyRelease.h"

#include <QFile>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zptt::EmergencyRelease {

namespace {

// A signal handler can reach nothing but these.
std::atomic<int> g_fd{-1};
std::atomic<int> g_lower{0};
std::atomic<int> g_raise{0};
std::atomic<bool> g_hasLock{false};
char g_lockFile[PATH_MAX];

// Crashes, and the signals whose default action ends the process without a word from us.
// SIGTERM, SIGHUP, SIGINT and the stop signals have handlers of their own in the program.
constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS,  SIGFPE,    SIGILL,   SIGQUIT,
                            SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,  SIGXCPU,
                            SIGXFSZ, SIGSYS,  SIGIO,   SIGPWR,    SIGSTKFLT};

void releaseAndUnlock() {
    releaseNow();
    if (g_hasLock.exchange(false))
        ::unlink(g_lockFile);
}

void onSignal(int signalNumber) {
    releaseAndUnlock();
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

} // namespace

bool install() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    bool ok = true;
    for (int s : kSignals)
        ok = ::sigaction(s, &sa, nullptr) == 0 && ok;
    // A write to a closed socket is an error to handle where it happens, not a reason to end.
    ok = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR && ok;
    return std::atexit(releaseAndUnlock) == 0 && ok;
}

void track(int fd, LineLevels idle, const QString &lockFile) {
    g_fd.store(-1);
    g_hasLock.store(false);
    const QByteArray path = QFile::encodeName(lockFile);
    if (fd >= 0 && !path.isEmpty() && path.size() < PATH_MAX) {
        std::memcpy(g_lockFile, path.constData(), std::size_t(path.size()) + 1);
        g_hasLock.store(true);
    }
    g_lower.store(idle.lower);
    g_raise.store(idle.raise);
    g_fd.store(fd);
}

void releaseNow() {
    const int fd = g_fd.load();
    if (fd < 0)
        return;
    int lower = g_lower.load();
    int raise = g_raise.load();
    if (lower)
        ::ioctl(fd, TIOCMBIC, &lower);
    if (raise)
        ::ioctl(fd, TIOCMBIS, &raise);
}

void endProcess(int status) {
    releaseAndUnlock();
    ::_exit(status);
}

} // namespace zptt::EmergencyRelease

// SPDX-License-Identifier: GPL-3.0-or-later
#include "EmergencyRelease.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace zptt::EmergencyRelease {

namespace {

// A signal handler can reach nothing but these. The port is written into the slot not in use,
// then published, so that a handler never reads one half written.
struct Tracked {
    int fd = -1;
    RestAction rest;
};
Tracked g_slots[2];
std::atomic<int> g_slot{-1};
int g_lastSlot = 1; // written by track() only, which one caller at a time runs
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

void track(int fd, const RestAction &rest, const QString &lockFile) {
    g_slot.store(-1);
    g_hasLock.store(false);
    const QByteArray path = QFile::encodeName(lockFile);
    if (fd >= 0 && !path.isEmpty() && path.size() < PATH_MAX) {
        std::memcpy(g_lockFile, path.constData(), std::size_t(path.size()) + 1);
        g_hasLock.store(true);
    }
    if (fd < 0)
        return;
    g_lastSlot = 1 - g_lastSlot;
    g_slots[g_lastSlot] = {fd, rest};
    g_slot.store(g_lastSlot);
}

void releaseNow() {
    if (const int slot = g_slot.load(); slot >= 0) {
        const int saved = errno;
        restDevice(g_slots[slot].fd, g_slots[slot].rest);
        errno = saved;
    }
}

void endProcess(int status) {
    releaseAndUnlock();
    ::_exit(status);
}

} // namespace zptt::EmergencyRelease

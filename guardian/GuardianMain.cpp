// SPDX-License-Identifier: GPL-3.0-or-later
// zorore-ptt-guardian: a process of its own that puts a keyed port at rest when the program
// overruns its deadline, stops answering (stopped, debugged, deadlocked) or dies.
// Plain POSIX and no Qt, so that it stays tiny; it opens nothing and reads only its socket.

#include "GuardianProtocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

using namespace zptt::guardian;
using Ns = std::int64_t; // on the key clock, as on the wire

// KeyClock's own clock, read without pulling in libstdc++ for it: the process stays tiny.
Ns now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return Ns{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

Ns later(Ns t, std::chrono::milliseconds d) {
    Ns sum = 0;
    return __builtin_add_overflow(t, Ns{d.count()} * 1'000'000, &sum) ? INT64_MAX : sum;
}

// poll()'s time-out, rounded up so that we never wake before the time.
int msUntil(Ns due) {
    const Ns left = due - now();
    if (left <= 0)
        return 0;
    return static_cast<int>(std::min<Ns>((left + 999'999) / 1'000'000, INT_MAX));
}

// What SIGTERM's handler rests; changed only with the signal blocked.
int g_port = -1;
zptt::RestAction g_rest;

void rest() {
    if (g_port >= 0)
        zptt::restDevice(g_port, g_rest); // the device may be gone: nothing to do then
}

void onTerminate(int) {
    rest();
    ::_exit(0);
}

void send(const Message &m) {
    ::send(kSocketFd, &m, sizeof m, MSG_DONTWAIT | MSG_NOSIGNAL);
}

class Guardian {
public:
    int run();

private:
    bool receive();
    void handle(const Message &m, int fd);
    void takePort(int fd, const zptt::RestAction &rest);
    Ns due() const { return std::min(later(m_deadline, kGrace), later(m_heard, kSilence)); }

    bool m_keyed = false;
    std::uint32_t m_keying = 0;
    std::uint32_t m_released = 0; // the keying we rested ourselves: later records about it are old
    Ns m_deadline = 0;
    Ns m_heard = 0; // the program's last record
    std::uint32_t m_seq = 0;
};

int Guardian::run() {
    send({.kind = Kind::Answer});
    for (;;) {
        // Idle: no time-out at all, so waiting costs nothing.
        pollfd p{kSocketFd, POLLIN, 0};
        const int r = ::poll(&p, 1, m_keyed ? msUntil(due()) : -1);
        const bool gone = (r < 0 && errno != EINTR) || (r > 0 && !receive());
        if (gone) {
            // Whether or not keyed: at rest, then our copy closed so that the kernel's last
            // close (HUPCL) is the program's own.
            rest();
            takePort(-1, {});
            return 0;
        }
        if (r > 0)
            send({.kind = Kind::Answer, .seq = m_seq});
        if (m_keyed && now() >= due()) {
            rest();
            m_keyed = false;
            m_released = m_keying;
            send({.kind = Kind::Released, .keying = m_keying});
        }
    }
}

// Everything queued; false once the program is gone.
bool Guardian::receive() {
    for (;;) {
        Message m;
        iovec iov{&m, sizeof m};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr h{};
        h.msg_iov = &iov;
        h.msg_iovlen = 1;
        h.msg_control = control;
        h.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(kSocketFd, &h, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0)
            return false;
        int fd = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
        m_heard = now();
        if (n == sizeof m && !(h.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
            handle(m, fd);
        else if (fd >= 0)
            ::close(fd);
    }
}

void Guardian::handle(const Message &m, int fd) {
    m_seq = m.seq;
    switch (m.kind) {
    case Kind::Port:
        takePort(fd, m.rest);
        return;
    case Kind::State:
        // The whole state, whatever came before; a keying we rested ourselves stays rested.
        m_keyed = m.keyed && m.keying != m_released;
        m_keying = m.keying;
        m_deadline = m.deadline;
        break;
    case Kind::Answer:
    case Kind::Released:
        break;
    }
    if (fd >= 0)
        ::close(fd);
}

// A port is always handed over at rest, and the old one may already be open again in the
// program: close it without touching it.
void Guardian::takePort(int fd, const zptt::RestAction &rest) {
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &term, &old);
    if (g_port >= 0)
        ::close(g_port);
    g_port = fd;
    g_rest = rest;
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    m_keyed = false;
}

} // namespace

int main() {
    // Only the program's end of the socket tells us to go: not the terminal, not a dead peer.
    for (int s : {SIGINT, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        std::signal(s, SIG_IGN);
    // Asked to end (a logout, a shutdown): the port at rest first.
    struct sigaction sa {};
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(kSocketFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_SEQPACKET) {
        std::fputs("zorore-ptt-guardian: started by zorore-ptt only\n", stderr);
        return 2;
    }
    return Guardian().run();
}

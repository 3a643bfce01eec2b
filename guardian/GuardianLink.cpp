// SPDX-License-Identifier: GPL-3.0-or-later
#include "GuardianLink.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zptt {

namespace {

constexpr char kHelperName[] = "zorore-ptt-guardian";

} // namespace

GuardianLink::GuardianLink(QObject *parent)
    : QObject(parent), m_heartbeat([this](std::stop_token stop) { heartbeats(stop); }) {}

GuardianLink::~GuardianLink() {
    m_heartbeat.request_stop();
    m_heartbeat.join();
    closeAndReap();
}

QString GuardianLink::defaultHelperPath() {
    const QString beside = QCoreApplication::applicationDirPath() + u'/' + kHelperName;
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStringLiteral(ZPTT_GUARDIAN_DIR "/") + kHelperName;
}

std::optional<QString> GuardianLink::start(const QString &helperPath) {
    if (m_pid > 0)
        return QStringLiteral("%1: already running").arg(helperPath);
    // Close-on-exec: no other child of ours may keep the guardian's peer alive.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return QStringLiteral("%1: %2").arg(helperPath, qt_error_string(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], guardian::kSocketFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, guardian::kSocketFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own: the terminal's Ctrl+Z and Ctrl+C do not reach it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    const QByteArray path = QFile::encodeName(helperPath);
    char *argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        return QStringLiteral("%1: %2").arg(helperPath, qt_error_string(error));
    }

    m_pid = pid;
    {
        std::lock_guard lock(m_mutex);
        m_socket = ends[0];
        // A guardian started again takes over what the last one watched.
        if (m_port >= 0)
            sendLocked({.kind = guardian::Kind::Port, .raise = m_idle.raise, .lower = m_idle.lower},
                       m_port);
        if (m_keyed)
            sendLocked({.kind = guardian::Kind::Keyed,
                        .keying = m_keying,
                        .deadline = guardian::toWire(m_deadline)});
    }
    m_notifier = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &GuardianLink::readMessages);
    return std::nullopt;
}

void GuardianLink::portOpened(int fd, LineLevels idle) {
    std::lock_guard lock(m_mutex);
    m_port = fd;
    m_idle = idle;
    m_keyed = false;
    sendLocked({.kind = guardian::Kind::Port, .raise = idle.raise, .lower = idle.lower}, fd);
    m_keyingChanged.notify_all();
}

void GuardianLink::keyed(KeyClock::time_point deadline) {
    std::lock_guard lock(m_mutex);
    if (!m_keyed)
        ++m_keying;
    m_keyed = true;
    m_deadline = deadline;
    sendLocked({.kind = guardian::Kind::Keyed,
                .keying = m_keying,
                .deadline = guardian::toWire(deadline)});
    m_keyingChanged.notify_all();
}

void GuardianLink::released() {
    std::lock_guard lock(m_mutex);
    m_keyed = false;
    sendLocked({.kind = guardian::Kind::Released, .keying = m_keying});
    m_keyingChanged.notify_all();
}

void GuardianLink::portClosing() {
    std::lock_guard lock(m_mutex);
    m_port = -1;
    m_keyed = false;
    sendLocked({.kind = guardian::Kind::NoPort});
    m_keyingChanged.notify_all();
}

// Never waits: a guardian that does not read loses records, and a lost release only makes it
// release by itself.
void GuardianLink::sendLocked(guardian::Message m, int fd) {
    if (m_socket < 0)
        return;
    iovec iov{&m, sizeof m};
    msghdr h{};
    h.msg_iov = &iov;
    h.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        h.msg_control = control;
        h.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof fd);
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    ::sendmsg(m_socket, &h, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void GuardianLink::heartbeats(std::stop_token stop) {
    std::unique_lock lock(m_mutex);
    while (!stop.stop_requested() && m_keyingChanged.wait(lock, stop, [this] { return m_keyed; })) {
        const bool releasedMeanwhile =
            m_keyingChanged.wait_for(lock, stop, guardian::kHeartbeat, [this] { return !m_keyed; });
        if (!releasedMeanwhile && !stop.stop_requested())
            sendLocked({.kind = guardian::Kind::Heartbeat, .keying = m_keying});
    }
}

void GuardianLink::readMessages() {
    for (;;) {
        guardian::Message m;
        const ssize_t n = ::recv(m_socket, &m, sizeof m, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            closeAndReap();
            emit lost();
            return;
        }
        if (n != sizeof m || m.kind != guardian::Kind::ReleasedByGuardian)
            continue;
        bool latest = false;
        {
            std::lock_guard lock(m_mutex);
            latest = m.keying == m_keying;
        }
        if (latest)
            emit releasedByGuardian();
    }
}

void GuardianLink::closeAndReap() {
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }
    if (m_pid <= 0)
        return;
    // It exits as soon as it sees our end closed. One that someone stopped is not waited for:
    // killed, so that its copy of the port is closed all the same.
    for (int i = 0; i < 200; ++i) {
        const pid_t r = ::waitpid(m_pid, nullptr, WNOHANG);
        if (r == m_pid || (r < 0 && errno != EINTR)) {
            m_pid = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = 0;
}

} // namespace zptt

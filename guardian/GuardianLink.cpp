// SPDX-License-Identifier: GPL-3.0-or-later
#include "GuardianLink.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace zptt {

namespace {

using namespace std::chrono_literals;

constexpr char kHelperName[] = "zorore-ptt-guardian";
// A guardian that has just been started gets longer for its first answer than a running one:
// the machine may be busy starting other things too.
constexpr auto kFirstAnswerWithin = 2s;
// Pauses between tries when no guardian can be had: a few a minute at the most.
constexpr auto kFirstPause = 2s;
constexpr auto kLongestPause = 30s;

std::int64_t nowNs() {
    return guardian::toWire(KeyClock::now());
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

GuardianLink::GuardianLink(QString helperPath, Events events)
    : m_helperPath(std::move(helperPath)), m_events(std::move(events)) {}

GuardianLink::~GuardianLink() {
    stop();
    retire();
    for (int fd : {m_wake, m_answerTimer})
        if (fd >= 0)
            ::close(fd);
}

void GuardianLink::stop() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        wake();
        m_thread.join();
    }
}

QString GuardianLink::defaultHelperPath() {
    const QString beside = QCoreApplication::applicationDirPath() + u'/' + kHelperName;
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStringLiteral(ZPTT_GUARDIAN_DIR "/") + kHelperName;
}

std::optional<QString> GuardianLink::start() {
    QString failed;
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_answerTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_wake < 0 || m_answerTimer < 0)
        failed = QStringLiteral("cannot watch the guardian: %1").arg(errorText(errno));
    else
        try {
            m_thread = std::jthread([this](std::stop_token stop) { run(stop); });
        } catch (const std::system_error &e) {
            failed = QStringLiteral("cannot start the thread that watches the guardian: %1")
                         .arg(QString::fromLocal8Bit(e.what()));
        }
    if (!failed.isEmpty()) {
        // No thread to say it later: said now, and for good.
        if (m_events.unavailable)
            m_events.unavailable(failed);
        return failed;
    }
    std::unique_lock lock(m_mutex);
    m_firstTry.wait(lock, [this] { return m_firstTryDone; });
    return m_firstTryFailure;
}

// The link's thread learns of it without being woken now: no keying waits for it.
void GuardianLink::awaitAnswerBy(std::int64_t ns) {
    itimerspec when{};
    when.it_value.tv_sec = ns / 1'000'000'000;
    when.it_value.tv_nsec = ns % 1'000'000'000;
    ::timerfd_settime(m_answerTimer, ns ? TFD_TIMER_ABSTIME : 0, &when, nullptr);
}

void GuardianLink::wake() {
    const std::uint64_t one = 1;
    if (m_wake >= 0) [[maybe_unused]]
        ssize_t n = ::write(m_wake, &one, sizeof one);
}

bool GuardianLink::portOpened(int fd, const RestAction &rest) {
    std::lock_guard lock(m_mutex);
    m_port = fd;
    m_rest = rest;
    m_state.keyed = false;
    return m_socket >= 0 && sendLocked({.kind = guardian::Kind::Port, .rest = rest}, fd);
}

// The guardian's answer wakes the link's thread, which then sees whether heartbeats are due.
bool GuardianLink::keyingChanged(const KeyingState &state) {
    std::lock_guard lock(m_mutex);
    m_state = state;
    // Without a guardian only a release may go on: the next one is told of it at its start.
    return m_socket >= 0 ? sendLocked({.kind = guardian::Kind::State,
                                       .keying = state.keying,
                                       .keyed = state.keyed,
                                       .deadline = guardian::toWire(state.deadline)})
                         : !state.keyed;
}

void GuardianLink::portClosing() {
    std::lock_guard lock(m_mutex);
    m_port = -1;
    m_state.keyed = false;
    if (m_socket >= 0)
        sendLocked({.kind = guardian::Kind::Port});
}

// Waits for room, but not for long: a guardian that does not take a record in time is lost,
// and the record is never dropped silently.
bool GuardianLink::sendLocked(guardian::Message m, int fd) {
    if (!m_failure.isEmpty())
        return false;
    m.seq = ++m_seq;
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
    ssize_t n;
    do {
        n = ::sendmsg(m_socket, &h, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != ssize_t(sizeof m)) {
        m_failure = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)
                        ? QStringLiteral("the guardian took no record for a second")
                        : QStringLiteral("cannot reach the guardian: %1").arg(errorText(errno));
        wake();
        return false;
    }
    const std::int64_t now = nowNs();
    std::int64_t none = 0;
    if (m_unansweredSince.compare_exchange_strong(none, now))
        awaitAnswerBy(now + std::chrono::nanoseconds(guardian::kAnswerWithin).count());
    return true;
}

bool GuardianLink::launch(QString &why) {
    // Close-on-exec: no other child of ours may keep the guardian's peer alive.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        why = QStringLiteral("%1: %2").arg(m_helperPath, errorText(errno));
        return false;
    }
    const timeval within{guardian::kAnswerWithin.count() / 1000,
                         (guardian::kAnswerWithin.count() % 1000) * 1000};
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDTIMEO, &within, sizeof within);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], guardian::kSocketFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, guardian::kSocketFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own: the terminal's Ctrl+Z and Ctrl+C do not reach it. Batch scheduling:
    // woken by a keying's record, it does not take the core from the keying before its line
    // rises; its own work is a second away.
    const sched_param batch{};
    posix_spawnattr_setschedpolicy(&attributes, SCHED_BATCH);
    posix_spawnattr_setschedparam(&attributes, &batch);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSCHEDULER);
    const QByteArray path = QFile::encodeName(m_helperPath);
    char *argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        why = QStringLiteral("%1: %2").arg(m_helperPath, errorText(error));
        return false;
    }
    m_pid = pid;
    std::lock_guard lock(m_mutex);
    m_socket = ends[0];
    m_failure.clear();
    m_answered = 0;
    m_unansweredSince = 0;
    // A guardian started again takes over what the last one watched.
    sendLocked({.kind = guardian::Kind::Port, .rest = m_rest}, m_port);
    sendLocked({.kind = guardian::Kind::State,
                .keying = m_state.keying,
                .keyed = m_state.keyed,
                .deadline = guardian::toWire(m_state.deadline)});
    return true;
}

GuardianLink::Outcome GuardianLink::awaitFirstAnswer(std::stop_token stop, QString &why) {
    const KeyClock::time_point until = KeyClock::now() + kFirstAnswerWithin;
    while (!stop.stop_requested() && KeyClock::now() < until) {
        pollfd p{m_socket, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - KeyClock::now());
        if (::poll(&p, 1, int(std::max<std::int64_t>(left.count(), 0))) > 0 && !readAnswers(why))
            return Outcome::Failed;
        if (m_unansweredSince.load() == 0)
            return Outcome::Answered;
    }
    why = QStringLiteral("%1 did not answer").arg(m_helperPath);
    return Outcome::Failed;
}

// Everything the guardian sent; false, with the reason, once it is gone.
bool GuardianLink::readAnswers(QString &why) {
    for (;;) {
        guardian::Message m;
        const ssize_t n = ::recv(m_socket, &m, sizeof m, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0) {
            why = QStringLiteral("the guardian process has ended");
            return false;
        }
        if (n != ssize_t(sizeof m))
            continue;
        if (m.kind == guardian::Kind::Answer) {
            std::lock_guard lock(m_mutex);
            m_answered = m.seq;
            // Answered up to here: what came after waits from now.
            const std::int64_t now = nowNs();
            m_unansweredSince = m.seq == m_seq ? 0 : now;
            awaitAnswerBy(m.seq == m_seq
                              ? 0
                              : now + std::chrono::nanoseconds(guardian::kAnswerWithin).count());
        } else if (m.kind == guardian::Kind::Released && m_events.released) {
            m_events.released(m.keying);
        }
    }
}

void GuardianLink::run(std::stop_token stop) {
    auto pause = std::chrono::milliseconds(kFirstPause);
    bool unavailable = false;
    const auto firstTryDone = [this](const std::optional<QString> &failure) {
        std::lock_guard lock(m_mutex);
        if (!m_firstTryDone) {
            m_firstTryDone = true;
            m_firstTryFailure = failure;
            m_firstTry.notify_all();
        }
    };
    while (!stop.stop_requested()) {
        QString why;
        if (!launch(why) || awaitFirstAnswer(stop, why) == Outcome::Failed) {
            retire();
            firstTryDone(why);
            if (!std::exchange(unavailable, true) && m_events.unavailable)
                m_events.unavailable(why);
            std::unique_lock lock(m_mutex);
            m_firstTry.wait_for(lock, stop, pause, [] { return false; });
            pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestPause);
            continue;
        }
        pause = kFirstPause;
        m_ready = true;
        firstTryDone(std::nullopt);
        if (std::exchange(unavailable, false) && m_events.available)
            m_events.available();

        std::int64_t lastBeat = nowNs();
        while (!stop.stop_requested()) {
            int timeout = -1;
            bool keyed = false;
            {
                std::lock_guard lock(m_mutex);
                keyed = m_state.keyed;
                if (!m_failure.isEmpty()) {
                    why = m_failure;
                    break;
                }
            }
            const std::int64_t now = nowNs();
            const std::int64_t since = m_unansweredSince.load();
            const std::int64_t answerBy =
                since ? since + std::chrono::nanoseconds(guardian::kAnswerWithin).count() : 0;
            if (since && now >= answerBy) {
                why = QStringLiteral("the guardian did not answer for a second");
                break;
            }
            const std::int64_t beatAt =
                lastBeat + std::chrono::nanoseconds(guardian::kHeartbeat).count();
            if (keyed && now >= beatAt) {
                std::lock_guard lock(m_mutex);
                lastBeat = now;
                if (m_state.keyed)
                    sendLocked({.kind = guardian::Kind::State,
                                .keying = m_state.keying,
                                .keyed = 1,
                                .deadline = guardian::toWire(m_state.deadline)});
                continue;
            }
            std::int64_t next = keyed ? beatAt : INT64_MAX;
            if (since)
                next = std::min(next, answerBy);
            if (next != INT64_MAX)
                timeout = int((next - now + 999'999) / 1'000'000);
            pollfd p[3] = {{m_socket, POLLIN, 0}, {m_wake, POLLIN, 0}, {m_answerTimer, POLLIN, 0}};
            if (::poll(p, 3, timeout) < 0 && errno != EINTR) {
                why = QStringLiteral("cannot watch the guardian: %1").arg(errorText(errno));
                break;
            }
            for (int i : {1, 2})
                if (p[i].revents) {
                    std::uint64_t count;
                    [[maybe_unused]] ssize_t n = ::read(p[i].fd, &count, sizeof count);
                }
            if (p[0].revents && !readAnswers(why))
                break;
        }
        if (stop.stop_requested())
            break;
        m_ready = false;
        {
            // Closed first: what the program now rests is not sent to a guardian that does not
            // read, and one that still reads rests the port and ends.
            std::lock_guard lock(m_mutex);
            ::close(m_socket);
            m_socket = -1;
        }
        if (m_events.lost)
            m_events.lost(why);
        retire();
    }
}

void GuardianLink::retire() {
    {
        std::lock_guard lock(m_mutex);
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
        m_ready = false;
    }
    const pid_t pid = m_pid.exchange(0);
    if (pid <= 0)
        return;
    // It ends as soon as it sees our end closed. One that someone stopped is not waited for:
    // killed, so that its copy of the port is closed all the same.
    for (int i = 0; i < 200; ++i) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        std::this_thread::sleep_for(1ms);
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace zptt

// The real zorore-ptt-guardian driven through GuardianLink. The write end of a pipe stands in
// for the port: the guardian's line calls on it fail (it ignores that), and its close shows
// as end of file on the read end once our own copy is closed.

#include "GuardianLink.h"

#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using zptt::GuardianLink;
using zptt::KeyClock;

class TstGuardian : public QObject {
    Q_OBJECT

    std::unique_ptr<GuardianLink> m_link;
    int m_pipe[2] = {-1, -1};

private slots:
    void init() {
        QVERIFY(::pipe2(m_pipe, O_CLOEXEC) == 0);
        m_link = std::make_unique<GuardianLink>();
        const std::optional<QString> error = m_link->start(GuardianLink::defaultHelperPath());
        QVERIFY2(!error, qPrintable(error.value_or(QString())));
        m_link->portOpened(m_pipe[1], {0, TIOCM_DTR | TIOCM_RTS});
    }

    void cleanup() {
        m_link.reset();
        for (int &fd : m_pipe)
            if (fd >= 0)
                ::close(std::exchange(fd, -1));
    }

    void releasesAtDeadlinePlusGraceWhileHeartbeatsFlow() {
        QSignalSpy released(m_link.get(), &GuardianLink::releasedByGuardian);
        const KeyClock::time_point deadline = KeyClock::now() + 300ms;
        m_link->keyed(deadline);
        QVERIFY(released.wait(10'000));
        // Not at 1 s of silence (heartbeats flow), not before the grace.
        QVERIFY(KeyClock::now() >= deadline + zptt::guardian::kGrace);
        QCOMPARE(released.count(), 1);
    }

    void releasesWhenTheProgramStops() {
        QSignalSpy released(m_link.get(), &GuardianLink::releasedByGuardian);
        m_link->keyed(KeyClock::now() + 60s);
        // The whole process stopped, as by Ctrl+Z; a child of ours wakes it after 2.5 s.
        const pid_t self = ::getpid();
        const pid_t waker = ::fork();
        QVERIFY(waker >= 0);
        if (waker == 0)
            for (timespec pause{2, 500'000'000};; pause = {0, 100'000'000}) {
                ::nanosleep(&pause, nullptr);
                ::kill(self, SIGCONT);
            }
        ::kill(self, SIGSTOP);
        ::kill(waker, SIGKILL);
        ::waitpid(waker, nullptr, 0);
        // Released long before the deadline; the report waited for us to run again.
        QVERIFY(released.wait(1000));
    }

    void neverReleasesWhileIdle() {
        QSignalSpy released(m_link.get(), &GuardianLink::releasedByGuardian);
        m_link->keyed(KeyClock::now() + 200ms);
        m_link->released();
        QTest::qWait(2000); // past the deadline's grace, and a silence with no heartbeat
        QCOMPARE(released.count(), 0);
    }

    void programEndClosesThePortAndEnds() {
        m_link->keyed(KeyClock::now() + 60s);
        ::close(std::exchange(m_pipe[1], -1)); // the guardian's copy is now the last
        KeyClock::time_point closed;
        std::thread watch([&] {
            pollfd p{m_pipe[0], POLLIN, 0};
            if (::poll(&p, 1, 5000) == 1)
                closed = KeyClock::now();
        });
        const pid_t pid = m_link->processId();
        const KeyClock::time_point end = KeyClock::now();
        m_link.reset();
        watch.join();
        QVERIFY(closed > end);
        QVERIFY2(closed - end < 100ms, qPrintable(QString::number((closed - end) / 1ms)));
        QVERIFY(::kill(pid, 0) != 0); // exited and reaped
    }

    void killedGuardianIsLostOnceAndCanBeReplaced() {
        QSignalSpy lost(m_link.get(), &GuardianLink::lost);
        QVERIFY(::kill(m_link->processId(), SIGKILL) == 0);
        QVERIFY(lost.wait(5000));
        QCOMPARE(m_link->processId(), 0);
        m_link->keyed(KeyClock::now() + 60s); // nobody to tell: nothing breaks
        m_link->released();
        QTest::qWait(300);
        QCOMPARE(lost.count(), 1);

        // A new guardian takes over the port: it keeps the pipe open once we close our copy.
        QVERIFY(!m_link->start(GuardianLink::defaultHelperPath()));
        ::close(std::exchange(m_pipe[1], -1));
        pollfd p{m_pipe[0], POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 300), 0);
        m_link.reset();
        QCOMPARE(::poll(&p, 1, 5000), 1);
    }
};

QTEST_GUILESS_MAIN(TstGuardian)
#include "tst_guardian.moc"

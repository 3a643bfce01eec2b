// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "GuardianProtocol.h"
#include "LineGuard.h"

#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <sys/types.h>
#include <thread>

class QSocketNotifier;

namespace zptt {

// The program's side of zorore-ptt-guardian: starts it, hands it the port, tells it of every
// keying and release, says we are alive while keyed, and reports what it did by itself.
class GuardianLink final : public QObject, public LineGuard {
    Q_OBJECT

public:
    explicit GuardianLink(QObject *parent = nullptr);
    // Closes our end, upon which the guardian exits; reaps it.
    ~GuardianLink() override;

    // Starts the guardian and tells it about the port and keying we have now. An error text
    // when it could not be started.
    std::optional<QString> start(const QString &helperPath);
    // Beside the running program first (a build tree), then where it is installed.
    static QString defaultHelperPath();
    // While it runs, else 0.
    pid_t processId() const { return m_pid; }

    void portOpened(int fd, LineLevels idle) override;
    void keyed(KeyClock::time_point deadline) override;
    void released() override;
    void portClosing() override;

signals:
    // The guardian put the lines at rest by itself, at the latest keying's deadline plus its
    // grace or because we stopped answering. Reports about an earlier keying are dropped; one
    // may still cross our own release, so the program acts on it only while keyed.
    void releasedByGuardian();
    // The guardian went away (once per start); it has been reaped.
    void lost();

private:
    void sendLocked(guardian::Message m, int fd = -1);
    void heartbeats(std::stop_token stop);
    void readMessages();
    void closeAndReap();

    std::mutex m_mutex; // guards what the keying threads touch: all below but m_pid, m_notifier
    std::condition_variable_any m_keyingChanged;
    int m_socket = -1;
    int m_port = -1;
    LineLevels m_idle;
    bool m_keyed = false;
    std::uint32_t m_keying = 0;
    KeyClock::time_point m_deadline;

    pid_t m_pid = 0;
    QSocketNotifier *m_notifier = nullptr;
    std::jthread m_heartbeat; // waits without a time-out while not keyed
};

} // namespace zptt

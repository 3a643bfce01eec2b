// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "GuardianProtocol.h"
#include "LineGuard.h"

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>

namespace zptt {

// The program's side of zorore-ptt-guardian: starts it, hands it the port, tells it of every
// keying and release, says we are alive while keyed, hears what it did by itself, and starts
// it again when it is lost. Its own thread reads the guardian's answers and sends the
// heartbeats, so that neither waits for the window.
class GuardianLink final : public LineGuard {
public:
    // Called on the link's thread, never under its lock.
    struct Events {
        // The guardian rested keying number `keying` by itself (its deadline plus the grace
        // passed, or we stopped answering).
        std::function<void(std::uint32_t keying)> released;
        // The guardian went away or stopped answering; a new one is being started.
        std::function<void(const QString &why)> lost;
        // No guardian can be had: no port may be used until available() says so again.
        std::function<void(const QString &why)> unavailable;
        std::function<void()> available;
    };

    GuardianLink(QString helperPath, Events events);
    // Closes our end, upon which the guardian exits; reaps it.
    ~GuardianLink() override;
    GuardianLink(const GuardianLink &) = delete;
    GuardianLink &operator=(const GuardianLink &) = delete;

    // Starts the guardian and waits for its first answer; why none answered, or nothing. When
    // it fails, the link goes on trying with growing pauses; unavailable() has said so.
    std::optional<QString> start();
    // The link's thread ends: nothing is reported any more. The guardian keeps watching until
    // the link goes.
    void stop();
    // Beside the running program first (a build tree), then where it is installed.
    static QString defaultHelperPath();
    // While one runs, else 0.
    pid_t processId() const { return m_pid.load(); }

    bool portOpened(int fd, const RestAction &rest) override;
    bool keyingChanged(const KeyingState &state) override;
    void portClosing() override;
    bool ready() const override { return m_ready.load(); }

private:
    enum class Outcome { Answered, Failed };
    void run(std::stop_token stop);
    bool launch(QString &why);
    Outcome awaitFirstAnswer(std::stop_token stop, QString &why);
    bool readAnswers(QString &why);
    void retire();
    bool sendLocked(guardian::Message m, int fd = -1);
    void wake();
    void awaitAnswerBy(std::int64_t ns);

    const QString m_helperPath;
    const Events m_events;

    std::mutex m_mutex; // the state below and every send
    std::condition_variable_any m_firstTry;
    bool m_firstTryDone = false;
    std::optional<QString> m_firstTryFailure;
    int m_socket = -1;
    int m_port = -1;
    RestAction m_rest;
    KeyingState m_state;
    std::uint32_t m_seq = 0;
    QString m_failure; // a send that failed: the guardian is lost

    // Read by the link's thread without the lock.
    std::atomic<std::uint32_t> m_answered{0};
    std::atomic<std::int64_t> m_unansweredSince{0}; // ns on the key clock; 0: all answered
    std::atomic<bool> m_ready{false};
    std::atomic<pid_t> m_pid{0};
    int m_wake = -1;        // an eventfd: a send failed, or the link is to stop
    int m_answerTimer = -1; // a timerfd: when the oldest unanswered record is a second old
    std::jthread m_thread;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <thread>

namespace zptt {

// The signals that ask the program to end (SIGTERM, SIGHUP, SIGINT) or to stop (SIGTSTP,
// SIGTTIN, SIGTTOU), turned into signals on the event loop. The handlers put the lines at rest
// themselves first, so that neither a busy window nor a store that hangs keeps the transmitter
// keyed, and a request to end ends the process within two seconds whatever the window is doing.
class ProcessSignals final : public QObject {
    Q_OBJECT
public:
    explicit ProcessSignals(QObject *parent);
    ~ProcessSignals() override;

    // Empty when every handler is in place; otherwise what is missing.
    const QString &problem() const { return m_problem; }

signals:
    void endRequested(int signalNumber);
    // The program ran again after a stop signal; the lines were put at rest before it stopped.
    void resumedAfterStop();

private:
    void drain();
    void endInTime();

    QString m_problem;
    int m_readFd = -1;
    int m_writeFd = -1;
    int m_exitReadFd = -1;
    int m_exitWriteFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::thread m_exitWatch;
};

} // namespace zptt

#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace zptt {

// Turns SIGTERM, SIGHUP and SIGINT into a Qt signal on the event loop, so that a request to
// end the program closes the window like any other (settings saved, lines released).
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    void drain();

    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace zptt

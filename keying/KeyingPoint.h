// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CommControl.h"
#include "RemoteKeying.h"

#include <QObject>
#include <mutex>
#include <set>

namespace zptt {

// Where the keying sources meet: the TX button, through the serial control the window already
// speaks to, and remote clients, from a thread of their own. One keying with one deadline,
// driven under one lock, so that a release never waits for the window. Releases that come from
// elsewhere (a client, the guardian, a stop signal) are passed on to the window, which catches
// up when its thread runs.
class KeyingPoint final : public QObject, public CommControl, public RemoteKeying {
    Q_OBJECT
public:
    explicit KeyingPoint(CommControl &line, QObject *parent = nullptr);

    std::int16_t CommPort() const override;
    void setCommPort(std::int16_t port) override;
    bool PortOpen() const override;
    void setPortOpen(bool open) override;
    void setDTREnable(bool high) override;
    void setRTSEnable(bool high) override;
    void setKeyDeadline(std::optional<KeyClock::time_point> deadline) override;
    void setKeyingTime(std::chrono::milliseconds length) override;
    void setLostHandler(std::function<void()> handler) override;

    KeyResult remoteKey(ClientId client) override;
    void remoteRelease(ClientId client) override;
    void clientGone(ClientId client, bool handedOver) override;
    bool lineKeyed() const override;

    // The lines were put at rest, or must be, by something other than the window.
    void releaseElsewhere();

signals:
    // A client keyed, or renewed the keying: the window shows it and runs the time-out.
    void keyedElsewhere(KeyClock::time_point deadline);
    void releasedElsewhere();

private:
    void releaseLocked();

    CommControl &m_line;
    mutable std::mutex m_mutex;
    bool m_keyed = false;
    std::optional<KeyClock::time_point> m_deadline;
    std::chrono::milliseconds m_length = std::chrono::minutes(1);
    std::set<ClientId> m_holders; // clients that keyed and have not released since
    bool m_noPortReported = false;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "RemoteKeying.h"

#include <QHostAddress>
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>
#include <optional>

namespace zptt {

// Serves Hamlib's network rig protocol (rigctld's, on TCP port 4532 by default), so that station
// programs set up with Hamlib's "NET rigctl" rig key the transmitter through this program. The
// sockets live on a thread of their own: a client's release reaches the keying however busy
// the window's thread is. listen(), close() and the destructor wait for that thread: never call
// them while holding a lock that the keying's calls take.
class RemoteKeyingServer {
public:
    // Clients at once; further ones are refused.
    static constexpr std::size_t kMaxClients = 16;
    // Replies queued for a client that does not read them; beyond this it is dropped.
    static constexpr qint64 kMaxQueued = 64 * 1024;

    explicit RemoteKeyingServer(RemoteKeying &keying);
    ~RemoteKeyingServer();
    RemoteKeyingServer(const RemoteKeyingServer &) = delete;
    RemoteKeyingServer &operator=(const RemoteKeyingServer &) = delete;

    // Listens there, and nowhere else any more; an error text naming the address and the
    // reason, or nothing.
    std::optional<QString> listen(const QHostAddress &address, quint16 port);
    // Stops listening and drops every client, releasing what each one keyed.
    void close();
    // The port listened on (the one the system chose when 0 was asked for), or 0.
    quint16 serverPort() const { return m_port; }
    // Whether its thread runs; when not, it never listens.
    bool running() const;

private:
    class Listener;

    QThread m_thread;
    std::unique_ptr<Listener> m_listener; // lives on m_thread
    std::atomic<quint16> m_port = 0;
};

} // namespace zptt

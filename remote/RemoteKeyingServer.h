// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "RigctlSession.h"

#include <QHostAddress>
#include <QString>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>

namespace zptt {

// Serves Hamlib's network rig protocol (rigctld's, on TCP port 4532 by default), so that station
// programs set up with Hamlib's "NET rigctl" rig key the transmitter through this program. The
// sockets are read by a thread of their own, blocking in epoll: a client's key or release
// reaches the keying at once however busy the window's thread is. listen(), close() and the
// destructor stop and restart that thread: never call them while holding a lock that the
// keying's calls take.
class RemoteKeyingServer {
public:
    // Clients at once; further ones are refused.
    static constexpr std::size_t kMaxClients = 16;
    // Replies queued for a client that does not read them; beyond this it is dropped.
    static constexpr qsizetype kMaxQueued = 64 * 1024;
    // How long a line may stay unfinished: a connection holding a half line longer is closed, so
    // that half lines cannot fill the places. Between whole lines a client may idle for ever.
    static constexpr std::chrono::seconds kPartialLineLimit{3};

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
    // Whether its thread runs: from a listen() that succeeded to the next close().
    bool running() const { return m_thread.joinable(); }

    // What to tell the operator before listening there: nothing for the loopback address.
    static QString exposureWarning(const QHostAddress &address, quint16 port);

private:
    struct Client;
    using Clock = std::chrono::steady_clock;

    void run();
    void accept();
    bool serve(Client &client);
    bool send(Client &client, const QByteArray &bytes);
    void end(RemoteKeying::ClientId id, bool handedOver);
    void stop();

    RemoteKeying &m_keying;
    RigState m_rig; // one for every client, for the program's life
    std::map<RemoteKeying::ClientId, Client> m_clients;
    RemoteKeying::ClientId m_nextClient = 1;
    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_wakeFd = -1; // stops the thread
    std::thread m_thread;
    std::atomic<quint16> m_port = 0;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#include "RemoteKeyingServer.h"

#include "RigctlSession.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <map>

namespace zptt {
namespace {

// What is read from one client at a time; the rest waits in the kernel, so that a client that
// floods the server takes turns with the others.
constexpr qint64 kReadChunk = 4096;

QString endpoint(const QHostAddress &address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

// The listening socket, the clients' sockets and their sessions, all on the server's thread.
class RemoteKeyingServer::Listener : public QObject {
public:
    explicit Listener(RemoteKeying &keying) : m_keying(keying) {}

    std::optional<QString> listen(const QHostAddress &address, quint16 port) {
        close();
        // Qt takes a null address (a name that did not parse) for every interface.
        if (address.isNull())
            return QStringLiteral("Cannot listen on :%1: no IP address given").arg(port);
        auto server = std::make_unique<QTcpServer>();
        if (!server->listen(address, port))
            return QStringLiteral("Cannot listen on %1: %2")
                .arg(endpoint(address, port), server->errorString());
        connect(server.get(), &QTcpServer::newConnection, this, &Listener::accept);
        m_server = std::move(server);
        return std::nullopt;
    }

    void close() {
        while (!m_sessions.empty())
            end(m_sessions.begin()->first, End::Abort);
        m_server.reset(); // and the sockets still closing, its children
    }

    quint16 port() const { return m_server ? m_server->serverPort() : 0; }

private:
    enum class End { Abort, Flush };

    void accept() {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            if (m_sessions.size() >= kMaxClients) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            socket->setReadBufferSize(kReadChunk);
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_sessions.try_emplace(socket, m_keying, m_nextClient++);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, this,
                    [this, socket] { end(socket, End::Abort); });
            connect(socket, &QTcpSocket::errorOccurred, this,
                    [this, socket] { end(socket, End::Abort); });
        }
    }

    void serve(QTcpSocket *socket) {
        const auto it = m_sessions.find(socket);
        if (it == m_sessions.end())
            return;
        RigctlSession &session = it->second;
        const QByteArray reply = session.receive(socket->readAll());
        if (!reply.isEmpty()) {
            socket->write(reply);
            socket->flush(); // now, not on the next turn of the event loop
        }
        if (session.finished())
            end(socket, End::Flush);
        else if (socket->bytesToWrite() > kMaxQueued)
            end(socket, End::Abort); // it does not read what it asks for
    }

    // The client is gone, done, or dropped: its keying is released before anything else.
    void end(QTcpSocket *socket, End how) {
        const auto it = m_sessions.find(socket);
        if (it == m_sessions.end())
            return;
        const RemoteKeying::ClientId client = it->second.client();
        const bool saidGoodbye = it->second.saidGoodbye();
        m_sessions.erase(it);
        QObject::disconnect(socket, nullptr, this, nullptr);
        m_keying.clientGone(client, saidGoodbye);
        // A last reply goes out if the kernel has taken it; nothing waits for the client.
        if (how == End::Flush && socket->bytesToWrite() == 0)
            socket->disconnectFromHost();
        else
            socket->abort();
        socket->deleteLater();
    }

    RemoteKeying &m_keying;
    std::unique_ptr<QTcpServer> m_server;
    std::map<QTcpSocket *, RigctlSession> m_sessions;
    RemoteKeying::ClientId m_nextClient = 1;
};

RemoteKeyingServer::RemoteKeyingServer(RemoteKeying &keying)
    : m_listener(std::make_unique<Listener>(keying)) {
    m_thread.setObjectName(QStringLiteral("remote keying"));
    m_listener->moveToThread(&m_thread);
    m_thread.start();
}

bool RemoteKeyingServer::running() const {
    // A thread that could not start never answers: nothing may wait on it.
    return m_thread.isRunning();
}

RemoteKeyingServer::~RemoteKeyingServer() {
    close();
    m_thread.quit();
    m_thread.wait();
    // m_listener holds no socket now and its thread has ended: it can go from here.
}

std::optional<QString> RemoteKeyingServer::listen(const QHostAddress &address, quint16 port) {
    if (!running())
        return QStringLiteral("Cannot listen on %1: the thread that serves clients did not start")
            .arg(address.toString());
    std::optional<QString> error;
    QMetaObject::invokeMethod(
        m_listener.get(),
        [&] {
            error = m_listener->listen(address, port);
            m_port = m_listener->port();
        },
        Qt::BlockingQueuedConnection);
    return error;
}

void RemoteKeyingServer::close() {
    if (!running())
        return;
    QMetaObject::invokeMethod(
        m_listener.get(),
        [this] {
            m_listener->close();
            m_port = 0;
        },
        Qt::BlockingQueuedConnection);
}

} // namespace zptt

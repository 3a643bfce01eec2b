// SPDX-License-Identifier: GPL-3.0-or-later
// Sockets of our own rather than Qt's: a thread blocking in epoll reads a key within
// microseconds, never re-enters a session from a signal, and knows each connection's end.
#include "RemoteKeyingServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace zptt {
namespace {

// What is read from one client at a time; the rest waits in the kernel, so that a client that
// floods the server takes turns with the others.
constexpr std::size_t kReadChunk = 4096;
// Epoll's tags for the two descriptors that are not clients (whose tags are their numbers).
constexpr std::uint64_t kListenTag = ~std::uint64_t(0), kWakeTag = kListenTag - 1;

QString endpoint(const QHostAddress &address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

bool watch(int epollFd, int fd, std::uint64_t tag, int how = EPOLL_CTL_ADD,
           std::uint32_t what = EPOLLIN) {
    epoll_event event{};
    event.events = what;
    event.data.u64 = tag;
    return ::epoll_ctl(epollFd, how, fd, &event) == 0;
}

void closeFd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

struct RemoteKeyingServer::Client {
    int fd;
    RigctlSession session;
    QByteArray unsent;                    // what the kernel did not take yet: sent when it can
    std::optional<Clock::time_point> cut; // since when a line is unfinished
};

RemoteKeyingServer::RemoteKeyingServer(RemoteKeying &keying) : m_keying(keying) {}

RemoteKeyingServer::~RemoteKeyingServer() {
    close();
}

QString RemoteKeyingServer::exposureWarning(const QHostAddress &address, quint16 port) {
    if (address.isNull() || address.isLoopback())
        return {};
    return QStringLiteral("Remote Keying listens on %1, beyond this computer: anyone who can "
                          "reach that address can key your transmitter.")
        .arg(endpoint(address, port));
}

std::optional<QString> RemoteKeyingServer::listen(const QHostAddress &address, quint16 port) {
    close();
    // A null address is a name that did not parse.
    if (address.isNull())
        return QStringLiteral("Cannot listen on :%1: no IP address given").arg(port);
    sockaddr_storage where{};
    socklen_t size = sizeof(sockaddr_in);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto &in = reinterpret_cast<sockaddr_in &>(where);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(address.toIPv4Address());
    } else {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(where);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6.sin6_addr, bytes.c, sizeof bytes.c);
        size = sizeof(sockaddr_in6);
    }
    const int one = 1;
    m_listenFd = ::socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_listenFd < 0 || m_epollFd < 0 || m_wakeFd < 0 ||
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&where), size) != 0 ||
        ::listen(m_listenFd, int(kMaxClients)) != 0 || !watch(m_epollFd, m_listenFd, kListenTag) ||
        !watch(m_epollFd, m_wakeFd, kWakeTag)) {
        const int error = errno;
        close();
        return QStringLiteral("Cannot listen on %1: %2")
            .arg(endpoint(address, port), QString::fromLocal8Bit(std::strerror(error)));
    }
    socklen_t length = sizeof where;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&where), &length);
    m_port = ntohs(reinterpret_cast<sockaddr_in &>(where).sin_port); // the same place in both
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &) { // too many threads (ulimit -u)
        close();
        return QStringLiteral("Cannot listen on %1: the thread that serves clients did not start")
            .arg(endpoint(address, port));
    }
    return std::nullopt;
}

void RemoteKeyingServer::close() {
    stop();
    while (!m_clients.empty())
        end(m_clients.begin()->first, false);
    closeFd(m_listenFd);
    closeFd(m_epollFd);
    closeFd(m_wakeFd);
    m_port = 0;
}

void RemoteKeyingServer::stop() {
    if (!m_thread.joinable())
        return;
    const std::uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_thread.join();
}

void RemoteKeyingServer::run() {
    pthread_setname_np(pthread_self(), "remote keying");
    epoll_event events[kMaxClients + 2];
    for (;;) {
        // Woken at the latest when the oldest half line runs out of time.
        std::optional<Clock::time_point> first;
        for (const auto &[id, client] : m_clients) {
            if (client.cut && (!first || *client.cut < *first))
                first = client.cut;
        }
        int wait = -1;
        if (first) {
            using namespace std::chrono;
            const auto left = ceil<milliseconds>(*first + kPartialLineLimit - Clock::now());
            wait = int(std::max<milliseconds::rep>(left.count(), 0));
        }
        const int n = ::epoll_wait(m_epollFd, events, int(std::size(events)), wait);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag)
                return;
            if (tag == kListenTag) {
                accept();
            } else if (const auto it = m_clients.find(tag); it != m_clients.end()) {
                if (!serve(it->second))
                    end(tag, it->second.session.saidGoodbye());
            }
        }
        const Clock::time_point now = Clock::now();
        for (auto it = m_clients.begin(); it != m_clients.end();) {
            const auto id = (it++)->first; // end() erases it
            const auto &cut = m_clients.at(id).cut;
            if (cut && now - *cut >= kPartialLineLimit)
                end(id, false);
        }
    }
}

void RemoteKeyingServer::accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // none left, or a client that gave up before we came to it
        const int one = 1;
        const RemoteKeying::ClientId id = m_nextClient++;
        if (m_clients.size() >= kMaxClients ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            !watch(m_epollFd, fd, id)) {
            ::close(fd);
            continue;
        }
        m_clients.try_emplace(id, fd, RigctlSession(m_keying, m_rig, id));
    }
}

// Reads what the client sent and answers it; false: the connection has ended.
bool RemoteKeyingServer::serve(Client &client) {
    if (!send(client, {}))
        return false;
    char bytes[kReadChunk];
    const ssize_t n = ::recv(client.fd, bytes, sizeof bytes, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0)
        return false; // the end of the stream, a reset or an error
    const QByteArray reply = client.session.receive(QByteArrayView(bytes, n));
    if (!send(client, reply) || client.session.finished())
        return false;
    if (!client.session.midLine())
        client.cut.reset();
    else if (!client.cut)
        client.cut = Clock::now();
    return true;
}

// Sends now what the kernel takes; false: the client is gone or reads nothing of it.
bool RemoteKeyingServer::send(Client &client, const QByteArray &bytes) {
    const bool waited = !client.unsent.isEmpty();
    client.unsent += bytes;
    while (!client.unsent.isEmpty()) {
        const ssize_t n = ::send(client.fd, client.unsent.constData(),
                                 std::size_t(client.unsent.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n < 0)
            break;
        client.unsent.remove(0, n);
    }
    if (waited != !client.unsent.isEmpty())
        watch(m_epollFd, client.fd, client.session.client(), EPOLL_CTL_MOD,
              client.unsent.isEmpty() ? EPOLLIN : EPOLLIN | EPOLLOUT);
    return client.unsent.size() <= kMaxQueued;
}

// Every end of a connection comes here once: its keying is released (or handed over) before
// the socket closes.
void RemoteKeyingServer::end(RemoteKeying::ClientId id, bool handedOver) {
    const auto node = m_clients.extract(id);
    m_keying.clientGone(id, handedOver);
    ::close(node.mapped().fd); // and out of epoll with it
}

} // namespace zptt

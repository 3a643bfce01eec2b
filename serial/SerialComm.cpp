// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerialComm.h"

#include "EmergencyRelease.h"
#include "SerialError.h"

#include <QThread>
#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zptt {

namespace {

bool isGoneError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

} // namespace

SerialComm::SerialComm(PortResolver resolve)
    : m_resolve(std::move(resolve)), m_probe([this] {
          QMetaObject::invokeMethod(
              &m_context, [this] { checkDevice(false); }, Qt::QueuedConnection);
      }) {
    m_guards.push_back(&m_watchdog);
    m_guards.push_back(&m_probe);
}

SerialComm::~SerialComm() {
    std::lock_guard lock(m_mutex);
    closeDevice();
}

template <class F> void SerialComm::forGuards(F &&f) {
    for (LineGuard *g : m_guards)
        f(*g);
}

void SerialComm::addGuard(LineGuard *guard) {
    std::lock_guard lock(m_mutex);
    m_guards.push_back(guard);
    if (m_device.isOpen())
        guard->portOpened(m_device.fd(), m_device.lines().idle());
}

void SerialComm::refuseOpens(const QString &reason) {
    std::lock_guard lock(m_mutex);
    m_refusal = reason;
}

std::int16_t SerialComm::CommPort() const {
    std::lock_guard lock(m_mutex);
    return m_port;
}

bool SerialComm::PortOpen() const {
    std::lock_guard lock(m_mutex);
    return m_device.isOpen();
}

int SerialComm::fd() const {
    std::lock_guard lock(m_mutex);
    return m_device.fd();
}

void SerialComm::setCommPort(std::int16_t port) {
    std::lock_guard lock(m_mutex);
    if (m_device.isOpen())
        throw SerialError(
            QStringLiteral("COM%1: the port number cannot change while the port is open")
                .arg(m_port));
    if (port < 1 || port > 255)
        throw SerialError(QStringLiteral("COM%1: no such port (1..255)").arg(port));
    m_port = port;
}

void SerialComm::setPortOpen(bool open) {
    std::lock_guard lock(m_mutex);
    if (!open) {
        closeDevice();
        return;
    }
    if (m_device.isOpen())
        throw SerialError(QStringLiteral("COM%1: port already open").arg(m_port));
    if (!m_refusal.isEmpty())
        throw SerialError(QStringLiteral("COM%1: %2").arg(m_port).arg(m_refusal));
    const MappedPort mapped = m_resolve(m_port);
    if (!mapped.problem.isEmpty())
        throw SerialError(QStringLiteral("COM%1: %2").arg(m_port).arg(mapped.problem));
    m_device.open(mapped.device, mapped.lines);
    m_keyed = false;
    const LineLevels idle = mapped.lines.idle();
    EmergencyRelease::track(m_device.fd(), idle, m_device.lockFile());
    forGuards([&](LineGuard &g) { g.portOpened(m_device.fd(), idle); });
    watchDevice();
}

void SerialComm::closeDevice() {
    if (m_device.isOpen())
        forGuards([](LineGuard &g) { g.portClosing(); });
    EmergencyRelease::track(-1, {}, {});
    m_keyed = false;
    if (QThread::currentThread() == m_context.thread())
        m_hangup.reset();
    m_device.close();
}

void SerialComm::setDTREnable(bool high) {
    std::lock_guard lock(m_mutex);
    if (!m_device.isOpen())
        return;
    m_keyed = high;
    // The line first: the guards' bookkeeping must not delay a release.
    const int error = m_device.setKeyed(high) ? 0 : errno;
    if (!high)
        forGuards([](LineGuard &g) { g.released(); });
    if (isGoneError(error))
        deviceLost();
}

void SerialComm::setRTSEnable(bool high) {
    std::lock_guard lock(m_mutex);
    if (high || m_keyed || !m_device.isOpen())
        return;
    if (!m_device.setKeyed(false) && isGoneError(errno))
        deviceLost();
}

void SerialComm::setKeyDeadline(std::optional<KeyClock::time_point> deadline) {
    std::lock_guard lock(m_mutex);
    if (!m_device.isOpen())
        return;
    if (deadline)
        forGuards([&](LineGuard &g) { g.keyed(*deadline); });
    else
        forGuards([](LineGuard &g) { g.released(); });
}

void SerialComm::watchDevice() {
    m_hangup = std::make_unique<QSocketNotifier>(m_device.fd(), QSocketNotifier::Read);
    QObject::connect(m_hangup.get(), &QSocketNotifier::activated, &m_context,
                     [this] { checkDevice(true); });
}

void SerialComm::checkDevice(bool readable) {
    std::lock_guard lock(m_mutex);
    if (!m_device.isOpen())
        return;
    if (readable) {
        // Nothing is meant to arrive; discard what does, and tell a hang-up from data.
        char buffer[256];
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = ::read(m_device.fd(), buffer, sizeof buffer);
            if (n > 0)
                continue;
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                deviceLost();
                return;
            }
            break;
        }
    }
    int lines = 0;
    if (::ioctl(m_device.fd(), TIOCMGET, &lines) != 0 && isGoneError(errno))
        deviceLost();
}

void SerialComm::deviceLost() {
    closeDevice();
    // The watch belongs to the owning thread; tell the window from the event loop, never from
    // inside the call that noticed.
    QMetaObject::invokeMethod(
        &m_context,
        [this] {
            if (!PortOpen())
                m_hangup.reset();
            if (m_lost)
                m_lost();
        },
        Qt::QueuedConnection);
}

} // namespace zptt

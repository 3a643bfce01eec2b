#include "SerialComm.h"

#include "FatalSignalRelease.h"
#include "SerialError.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zptt {

namespace {

bool isGoneError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

} // namespace

SerialComm::SerialComm(const SettingsStore &store) : m_ports(store) {}

SerialComm::~SerialComm() {
    closeDevice();
}

void SerialComm::setCommPort(std::int16_t port) {
    if (m_device.isOpen())
        throw SerialError(
            QStringLiteral("COM%1: the port number cannot change while the port is open")
                .arg(m_port));
    if (port < 1 || port > 255)
        throw SerialError(QStringLiteral("COM%1: no such port (1..255)").arg(port));
    m_port = port;
}

void SerialComm::setPortOpen(bool open) {
    if (!open) {
        closeDevice();
        return;
    }
    if (m_device.isOpen())
        throw SerialError(QStringLiteral("COM%1: port already open").arg(m_port));
    const QString path = m_ports.device(m_port);
    if (path.isEmpty())
        throw SerialError(QStringLiteral("COM%1: no device for this port").arg(m_port));
    m_device.open(path);
    FatalSignalRelease::track(m_device.fd());
    watchDevice();
}

void SerialComm::closeDevice() {
    m_watchdog.disarm();
    FatalSignalRelease::track(-1);
    m_hangup.reset();
    m_probe.reset();
    m_device.close();
}

void SerialComm::setDTREnable(bool high) {
    if (!m_device.isOpen())
        return;
    if (!high)
        m_watchdog.disarm();
    if (!m_device.setDtr(high) && isGoneError(errno))
        deviceLost();
}

void SerialComm::setRTSEnable(bool high) {
    if (m_device.isOpen() && !m_device.setRts(high) && isGoneError(errno))
        deviceLost();
}

void SerialComm::setKeyDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (m_device.isOpen() && deadline)
        m_watchdog.arm(m_device.fd(), *deadline);
    else
        m_watchdog.disarm();
}

void SerialComm::watchDevice() {
    m_hangup = std::make_unique<QSocketNotifier>(m_device.fd(), QSocketNotifier::Read);
    QObject::connect(m_hangup.get(), &QSocketNotifier::activated, m_hangup.get(),
                     [this] { checkDevice(true); });
    m_probe = std::make_unique<QTimer>();
    m_probe->setInterval(std::chrono::seconds(1));
    QObject::connect(m_probe.get(), &QTimer::timeout, m_probe.get(),
                     [this] { checkDevice(false); });
    m_probe->start();
}

void SerialComm::checkDevice(bool readable) {
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
    // Tell the window from the event loop, never from inside the call that noticed.
    if (m_lost)
        QTimer::singleShot(0, &m_context, m_lost);
}

} // namespace zptt

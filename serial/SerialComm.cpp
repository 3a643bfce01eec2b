#include "SerialComm.h"

#include "SerialError.h"

namespace zptt {

SerialComm::SerialComm(const SettingsStore &store) : m_ports(store) {}

SerialComm::~SerialComm() = default; // the device closes itself, lines low

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
        m_device.close();
        return;
    }
    if (m_device.isOpen())
        throw SerialError(QStringLiteral("COM%1: port already open").arg(m_port));
    const QString path = m_ports.device(m_port);
    if (path.isEmpty())
        throw SerialError(QStringLiteral("COM%1: no device for this port").arg(m_port));
    m_device.open(path);
}

void SerialComm::setDTREnable(bool high) {
    if (m_device.isOpen())
        m_device.setDtr(high);
}

void SerialComm::setRTSEnable(bool high) {
    if (m_device.isOpen())
        m_device.setRts(high);
}

} // namespace zptt

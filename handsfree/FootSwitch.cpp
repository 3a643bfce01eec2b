// SPDX-License-Identifier: GPL-3.0-or-later
#include "FootSwitch.h"

#include "DeviceWatch.h"
#include "PortMap.h"
#include "SerialError.h"

#include <QTimer>
#include <cstdio>
#include <utility>

namespace zptt {

FootSwitch::FootSwitch(const SwitchSetting &setting, KeyRequests &requests, PortMap &ports,
                       DeviceWatch *devices, QObject *parent)
    : QObject(parent), m_setting(setting), m_ports(ports),
      m_source(requests, Holder{Holder::Kind::Switch}, setting.mode) {
    if (devices)
        connect(devices, &DeviceWatch::appeared, this, [this](int port) { appeared(port, 2); });
}

FootSwitch::~FootSwitch() {
    stopWatch();
}

void FootSwitch::keyedPort(int port, int fd) {
    m_keyedPort = port;
    m_keyedFd = fd;
    follow();
}

void FootSwitch::follow() {
    const bool onKeyed = m_setting.port == m_keyedPort;
    int fd = onKeyed ? m_keyedFd : m_own.fd();
    if (m_watch && fd >= 0 && m_watch->fd() == fd)
        return;
    stopWatch();
    if (onKeyed) {
        m_own.close(); // the keying takes the port
    } else if (!m_own.isOpen()) {
        const MappedPort mapped = m_ports.lookUp(m_setting.port);
        QString problem = mapped.problem;
        try {
            if (problem.isEmpty())
                m_own.open(mapped.device, mapped.lines);
            fd = m_own.fd();
        } catch (const SerialError &e) {
            problem = QString::fromUtf8(e.what());
        }
        if (!problem.isEmpty() && problem != std::exchange(m_problem, problem))
            std::fprintf(stderr, "Zorore_PTT: foot switch on COM%d: %s\n", m_setting.port,
                         problem.toLocal8Bit().constData());
    }
    if (fd < 0)
        return;
    m_problem.clear();
    const unsigned watch = ++m_watches;
    m_watch = std::make_unique<InputLineWatch>(
        fd, m_setting.lineBit(), m_setting.activeHigh, m_source, [this, watch] {
            QMetaObject::invokeMethod(
                this, [this, watch] { gone(watch); }, Qt::QueuedConnection);
        });
}

void FootSwitch::stopWatch() {
    if (!m_watch)
        return;
    m_watch.reset();
    m_source.lost();
}

// The device went away under the watch, which has let go already. The keying notices a keyed
// port of its own; a port of ours waits for the device to come back.
void FootSwitch::gone(unsigned watch) {
    if (watch != m_watches || !m_watch)
        return;
    m_watch.reset();
    m_own.close();
}

// udev may give the device its group a moment after it appears: a failed open is tried again a
// second later, twice at most.
void FootSwitch::appeared(int port, int retries) {
    if (port != m_setting.port || port == m_keyedPort || m_own.isOpen())
        return;
    follow();
    if (!m_own.isOpen() && retries > 0)
        QTimer::singleShot(std::chrono::seconds(1), this,
                           [this, port, retries] { appeared(port, retries - 1); });
}

} // namespace zptt

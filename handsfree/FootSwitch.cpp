// SPDX-License-Identifier: GPL-3.0-or-later
#include "FootSwitch.h"

#include "DeviceWatch.h"
#include "PortMap.h"
#include "SerialError.h"

#include <QFile>
#include <QTimer>
#include <cstdio>
#include <sys/stat.h>
#include <utility>

namespace zptt {

FootSwitch::FootSwitch(const SwitchSetting &setting, KeyRequests &requests, const PortMap &ports,
                       DeviceWatch *devices, std::function<int()> keyedPort, QObject *parent)
    : QObject(parent), m_setting(setting), m_ports(ports), m_keyedPort(std::move(keyedPort)),
      m_device(ports.lookUp(setting.port).device),
      m_source(requests, Holder{Holder::Kind::Switch}, setting.mode),
      m_watch(setting.lineBit(), setting.activeHigh, m_source, [this] {
          QMetaObject::invokeMethod(this, &FootSwitch::closeOwn, Qt::QueuedConnection);
      }) {
    if (devices)
        connect(devices, &DeviceWatch::appeared, this, [this](int port) { appeared(port, 2); });
}

void FootSwitch::follow() {
    if (m_onKeyed || m_own.isOpen() || m_keyedPort() == m_setting.port)
        return;
    const MappedPort mapped = m_ports.lookUp(m_setting.port);
    QString problem = mapped.problem;
    try {
        if (problem.isEmpty())
            m_own.open(mapped.device, mapped.lines);
    } catch (const SerialError &e) {
        problem = QString::fromUtf8(e.what());
    }
    if (problem.isEmpty()) {
        m_problem.clear();
        m_watch.watch(m_own.fd());
    } else if (problem != std::exchange(m_problem, problem)) {
        std::fprintf(stderr, "Zorore_PTT: foot switch on COM%d: %s\n", m_setting.port,
                     problem.toLocal8Bit().constData());
    }
}

void FootSwitch::portWanted(int port) {
    if (port == m_setting.port)
        closeOwn();
}

// After the device went away under the watch too: it waits for the device to come back.
void FootSwitch::closeOwn() {
    if (!m_own.isOpen())
        return;
    m_watch.watch(-1);
    m_own.close();
}

// Told under the keying's lock: nothing here waits.
bool FootSwitch::portOpened(int fd, const RestAction &) {
    struct stat keyed {
    }, ours{};
    m_onKeyed = !m_device.isEmpty() && ::fstat(fd, &keyed) == 0 &&
                ::stat(QFile::encodeName(m_device).constData(), &ours) == 0 &&
                keyed.st_rdev == ours.st_rdev;
    if (m_onKeyed)
        m_watch.watch(fd);
    return true;
}

void FootSwitch::portClosing() {
    if (!std::exchange(m_onKeyed, false))
        return;
    m_watch.watch(-1);
    // Once the keying is done with the port: another number may have become the keyed one.
    QMetaObject::invokeMethod(this, &FootSwitch::follow, Qt::QueuedConnection);
}

// udev may give the device its group a moment after it appears: a failed open is tried again a
// second later, twice at most.
void FootSwitch::appeared(int port, int retries) {
    if (port != m_setting.port || m_own.isOpen() || m_onKeyed)
        return;
    follow();
    if (!m_own.isOpen() && !m_onKeyed && retries > 0)
        QTimer::singleShot(std::chrono::seconds(1), this,
                           [this, port, retries] { appeared(port, retries - 1); });
}

} // namespace zptt

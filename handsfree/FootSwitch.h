// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "HandsFreeSettings.h"
#include "InputLineWatch.h"
#include "KeyingSource.h"
#include "LineGuard.h"
#include "PosixSerialPort.h"

#include <QObject>
#include <functional>

namespace zptt {

class DeviceWatch;
class PortMap;

// A foot switch's port and its watch. On the keyed port, the switch is watched on that port's
// descriptor while the keying has it open (this is one of its guards); on another port, that
// port is opened with its output lines at rest and never keyed, given up when the keying wants
// that number, and opened again when its device comes back. Lives on the keying's thread.
class FootSwitch final : public QObject, public LineGuard {
    Q_OBJECT
public:
    // keyedPort: the number of the port the keying uses. Throws std::system_error when the
    // watch's thread cannot start.
    FootSwitch(const SwitchSetting &setting, KeyRequests &requests, const PortMap &ports,
               DeviceWatch *devices, std::function<int()> keyedPort, QObject *parent = nullptr);

    // Opens the switch's own port when it is not the keyed one, and watches it.
    void follow();
    // The keying is about to open this port number: a port of ours of that number is closed.
    void portWanted(int port);

    bool portOpened(int fd, const RestAction &rest) override;
    bool keyingChanged(const KeyingState &) override { return true; }
    void portClosing() override;

private:
    void closeOwn();
    void appeared(int port, int retries);

    const SwitchSetting m_setting;
    const PortMap &m_ports;
    const std::function<int()> m_keyedPort;
    QString m_device;       // the switch port's device, as mapped at the start
    bool m_onKeyed = false; // watching the keying's descriptor
    PosixSerialPort m_own;
    QString m_problem; // said once
    KeyingSource m_source;
    InputLineWatch m_watch; // last: stopped before the rest goes
};

} // namespace zptt

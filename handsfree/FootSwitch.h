// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "HandsFreeSettings.h"
#include "InputLineWatch.h"
#include "KeyingSource.h"
#include "PosixSerialPort.h"

#include <QObject>
#include <memory>

namespace zptt {

class DeviceWatch;
class PortMap;

// A foot switch's port and its watch. On the keyed port, the switch is watched on the keyed
// port's descriptor while it is open; on another port, that port is opened with its output
// lines at rest and never keyed, and opened again when its device comes back. Lives on the
// window's thread.
class FootSwitch final : public QObject {
    Q_OBJECT
public:
    FootSwitch(const SwitchSetting &setting, KeyRequests &requests, PortMap &ports,
               DeviceWatch *devices, QObject *parent = nullptr);
    ~FootSwitch() override;

    // The keyed port is now port, open on fd, or about to open or close (fd -1). Not under the
    // keying's lock: the watch may be waiting for it.
    void keyedPort(int port, int fd);

private:
    // Watches the descriptor the switch is on, opening its own port if need be.
    void follow();
    void stopWatch();
    void gone(unsigned watch);
    void appeared(int port, int retries);

    const SwitchSetting m_setting;
    PortMap &m_ports;
    KeyingSource m_source;
    PosixSerialPort m_own;
    std::unique_ptr<InputLineWatch> m_watch;
    unsigned m_watches = 0; // the watches started: a late word from a stopped one is ignored
    int m_keyedPort = 0;
    int m_keyedFd = -1;
    QString m_problem; // said once
};

} // namespace zptt

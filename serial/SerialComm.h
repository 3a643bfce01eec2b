// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CommControl.h"
#include "DeviceProbe.h"
#include "LineWatchdog.h"
#include "MappedPort.h"
#include "PosixSerialPort.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <mutex>
#include <vector>

namespace zptt {

// The real serial control: port numbers resolved to a device and its line choice, the device
// driven by PosixSerialPort. Keying and releasing may come from any thread; opening, closing
// and the watch for a lost device belong to the thread that created it.
class SerialComm final : public CommControl {
public:
    explicit SerialComm(PortResolver resolve);
    ~SerialComm() override;

    std::int16_t CommPort() const override;
    void setCommPort(std::int16_t port) override;
    bool PortOpen() const override;
    void setPortOpen(bool open) override;
    // True keys the port's keying line, False puts both lines at rest.
    void setDTREnable(bool high) override;
    // False puts the lines at rest when not keyed; the line that does not key is never
    // driven away from its rest level, so True changes nothing.
    void setRTSEnable(bool high) override;
    void setKeyDeadline(std::optional<KeyClock::time_point> deadline) override;
    void setLostHandler(std::function<void()> handler) override { m_lost = std::move(handler); }

    // Told of every open, keying, release and close (not owned; must outlive this).
    void addGuard(LineGuard *guard);
    // A part of the safety net is missing: refuse every open, for this reason.
    void refuseOpens(const QString &reason);

    // The open descriptor, or -1.
    int fd() const;
    const LineWatchdog &watchdog() const { return m_watchdog; }

private:
    void closeDevice();
    void watchDevice();
    void checkDevice(bool readable);
    void deviceLost();
    template <class F> void forGuards(F &&f);

    const PortResolver m_resolve;
    mutable std::recursive_mutex m_mutex;
    PosixSerialPort m_device;
    LineWatchdog m_watchdog;
    std::vector<LineGuard *> m_guards;
    QString m_refusal;
    std::int16_t m_port = 1;
    bool m_keyed = false;
    std::function<void()> m_lost;
    QObject m_context; // for calls queued to the owning thread
    // While open: a hang-up shows as readable; the probe catches a device that only fails
    // its ioctls.
    std::unique_ptr<QSocketNotifier> m_hangup;
    DeviceProbe m_probe;
};

} // namespace zptt

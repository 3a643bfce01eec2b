#pragma once

#include "CommControl.h"
#include "LineWatchdog.h"
#include "PortTable.h"
#include "PosixSerialPort.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>

namespace zptt {

// The real serial control: port numbers resolved through the port table, the device
// driven by PosixSerialPort.
class SerialComm final : public CommControl {
public:
    explicit SerialComm(const SettingsStore &store);
    ~SerialComm() override;

    std::int16_t CommPort() const override { return m_port; }
    void setCommPort(std::int16_t port) override;
    bool PortOpen() const override { return m_device.isOpen(); }
    void setPortOpen(bool open) override;
    void setDTREnable(bool high) override;
    void setRTSEnable(bool high) override;
    void setKeyDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) override;
    void setLostHandler(std::function<void()> handler) override { m_lost = std::move(handler); }

    // The open descriptor, or -1 (for the watchdog and the fatal-signal release).
    int fd() const { return m_device.fd(); }
    const PortTable &ports() const { return m_ports; }
    const LineWatchdog &watchdog() const { return m_watchdog; }

private:
    void closeDevice();
    void watchDevice();
    void checkDevice(bool readable);
    void deviceLost();

    PortTable m_ports;
    PosixSerialPort m_device;
    LineWatchdog m_watchdog;
    std::int16_t m_port = 1;
    std::function<void()> m_lost;
    QObject m_context; // for calls queued to the event loop
    // While open: a hang-up shows as readable; a probe each second catches a device that
    // only fails its ioctls.
    std::unique_ptr<QSocketNotifier> m_hangup;
    std::unique_ptr<QTimer> m_probe;
};

} // namespace zptt

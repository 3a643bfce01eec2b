#pragma once

#include "CommControl.h"
#include "PortTable.h"
#include "PosixSerialPort.h"

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

    // The open descriptor, or -1 (for the watchdog and the fatal-signal release).
    int fd() const { return m_device.fd(); }
    const PortTable &ports() const { return m_ports; }

private:
    PortTable m_ports;
    PosixSerialPort m_device;
    std::int16_t m_port = 1;
};

} // namespace zptt

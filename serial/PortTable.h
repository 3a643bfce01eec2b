#pragma once

#include <QString>

namespace zptt {

class SettingsStore;

// Port numbers to devices. Section [Ports] of the program's settings file may map a port:
// COM5=/dev/serial/by-id/usb-... . Without an entry, COM1..COM4 are /dev/ttyS0..3,
// COM5..COM10 /dev/ttyUSB0..5, COM11..COM15 /dev/ttyACM0..4; higher numbers have none.
class PortTable {
public:
    explicit PortTable(const SettingsStore &store);

    // The built-in device of a port number, or the empty text.
    static QString defaultDevice(int port);

    // The mapped device when [Ports] has an entry for the port, else the default.
    QString device(int port) const;

    // True when the port's device exists on this machine.
    bool present(int port) const;

private:
    const SettingsStore &m_store;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "MappedPort.h"

#include <QList>

namespace zptt {

class SettingsStore;

// Port numbers to devices and line choices, from section [Ports] of the settings file:
//   COM5=/dev/serial/by-id/usb-...   the device (an absolute path)
//   COM5-Line=DTR|RTS|Both|GPIOn     the keying line (DTR); GPIO1..GPIO8: a USB sound
//                                    interface's pin, whose device is its hidraw node
//   COM5-Keyed=High|Low              its level when keyed (High)
//   COM5-Other=Low|High              where the line that does not key rests (Low; none
//                                    for a GPIO pin)
// A number with no device entry at all has its built-in device: COM1..COM4 /dev/ttyS0..3,
// COM5..COM10 /dev/ttyUSB0..5, COM11..COM15 /dev/ttyACM0..4. An entry that cannot be used
// makes the port unavailable: it never falls back to another device.
class PortMap {
public:
    explicit PortMap(SettingsStore &store);

    static QString defaultDevice(int port);
    static QString deviceKey(int port);
    static constexpr int kListed = 15; // COM1..COM15 are always offered

    MappedPort lookUp(int port) const;
    // The port's device exists on this machine (looked up, never opened).
    bool present(int port) const;

    // COM1..COM15 and every higher number (up to 255) that [Ports] speaks of, in order.
    QList<int> numbers() const;
    // The device entry as stored; empty when the number has its built-in device.
    QString mapped(int port) const;
    // Stores a device (empty: the built-in one) and a line choice in one write, so that a
    // failed save never pairs a new device with an old line choice; only entries whose meaning
    // changes are written. Throws StoreWriteError.
    void store(int port, const QString &device, LineChoice lines);

private:
    QString entry(int port, const char *suffix) const;

    SettingsStore &m_store;
};

} // namespace zptt

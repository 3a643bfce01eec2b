// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <memory>

namespace zptt {

class DeviceWatch;
class FootSwitch;
class KeyingOwner;
class KeyingSource;
class PortMap;
class SettingsStore;
class X11KeyWatch;

// Keying without the mouse, as set up in [Keying]: a keyboard key (or a USB foot pedal that
// types one) seen with any window in front, and a foot switch on a serial port's input line.
// Each is a keying source of its own. Lives on the keying's thread.
class HandsFree final : public QObject {
    Q_OBJECT
public:
    HandsFree(SettingsStore &store, KeyingOwner &keying, const PortMap &ports, DeviceWatch *devices,
              QObject *parent = nullptr);
    ~HandsFree() override;

    // Reads [Keying] afresh and watches what it sets up; what cannot be used is said on
    // standard error. A key or switch held meanwhile keys nothing until it was let go.
    void reload();
    // The keying is about to open this port number (its opener asks, under the keying's lock):
    // a foot switch's own port of that number is given up.
    void portWanted(int port);

    // For the key dialog: why no key will be seen with another window in front and what to
    // do, or the limits of a Wayland session; empty when keys are seen everywhere.
    static QString keyNotice();

private:
    void stop();

    SettingsStore &m_store;
    KeyingOwner &m_keying;
    const PortMap &m_ports;
    DeviceWatch *m_devices;
    std::unique_ptr<KeyingSource> m_keySource;
    std::unique_ptr<X11KeyWatch> m_keys;
    std::unique_ptr<FootSwitch> m_switch;
};

} // namespace zptt

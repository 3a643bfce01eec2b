// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

namespace zptt {

// Where udev keeps each adapter's stable name.
inline constexpr char kStableNames[] = "/dev/serial/by-id";
// Where our udev rule keeps each USB sound interface's stable names: by its serial number where
// it has one, else by the USB socket it is plugged into (most of these chips have none).
inline constexpr char kSoundInterfaceNames[] = "/dev/cm108";

// A serial adapter or a USB sound interface plugged in, as the system describes it. Looking one
// up never opens it.
struct Adapter {
    QString device;     // the kernel's node, /dev/ttyUSB0, /dev/hidraw2
    QString stableName; // its link under /dev/serial/by-id/ or /dev/cm108/, or empty
    QString manufacturer;
    QString product;
    QString serialNumber;
    int vendorId = -1; // USB ids; -1 when not a USB device
    int productId = -1;
    // A CM108-family sound interface, keyed on a GPIO pin: its ALSA card, "Device (hw:1)".
    QString soundCard{};
    bool keyedByGpio = false;

    // What a port maps to: the stable name where there is one.
    QString mapPath() const { return stableName.isEmpty() ? device : stableName; }
    // "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001"; a sound interface's with its card
    // and node: "C-Media USB Audio Device, sound card Device (hw:1), /dev/hidraw2, USB ..."
    QString description() const;
    // This adapter is the device a port resolves to (by node, stable name or link target).
    bool isDevice(const QString &path) const;
};

// The adapters present; tests give a list of their own.
class AdapterList {
public:
    virtual ~AdapterList() = default;
    virtual QList<Adapter> adapters() const = 0;
};

// The system's list, from udev's device database: every tty with a USB device above it, and the
// hidraw device of every USB sound interface of the CM108 family.
class UdevAdapterList final : public AdapterList {
public:
    QList<Adapter> adapters() const override;
};

} // namespace zptt

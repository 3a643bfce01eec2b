// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

namespace zptt {

// Where udev keeps each adapter's stable name.
inline constexpr char kStableNames[] = "/dev/serial/by-id";

// A serial adapter plugged in, as the system describes it. Looking one up never opens it.
struct Adapter {
    QString device;     // the kernel's node, /dev/ttyUSB0
    QString stableName; // its link under /dev/serial/by-id/, or empty
    QString manufacturer;
    QString product;
    QString serialNumber;
    int vendorId = -1; // USB ids; -1 when not a USB device
    int productId = -1;

    // What a port maps to: the stable name where there is one.
    QString mapPath() const { return stableName.isEmpty() ? device : stableName; }
    // "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001"
    QString description() const;
    // This adapter is the device a port resolves to (by node, stable name or link target).
    bool isDevice(const QString &path) const;
};

// The serial adapters present; tests give a list of their own.
class AdapterList {
public:
    virtual ~AdapterList() = default;
    virtual QList<Adapter> adapters() const = 0;
};

// The system's list, from udev's device database: every tty with a USB device above it.
class UdevAdapterList final : public AdapterList {
public:
    QList<Adapter> adapters() const override;
};

} // namespace zptt

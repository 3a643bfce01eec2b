// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "RestAction.h"

#include <QString>
#include <functional>
#include <memory>

namespace zptt {

// An open port that keys a transmitter: a serial port's modem-control line, or the GPIO pin
// of a USB sound interface. Handed over at rest; its destructor puts it at rest and closes it.
class KeyingDevice {
public:
    virtual ~KeyingDevice() = default;

    virtual int fd() const = 0;
    // The keying line at its keyed level, or at rest; false with errno set when refused.
    virtual bool setKeyed(bool keyed) = 0;
    virtual RestAction restAction() const = 0;
    // Our lock file for the device (removed after a crash too), or empty.
    virtual QString lockFile() const { return {}; }
};

// Opens port n's device at rest; throws SerialError naming the device and the reason.
using PortOpener = std::function<std::unique_ptr<KeyingDevice>(int port)>;

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LineChoice.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace zptt {

// How an open device is put back at rest by code that may call nothing but the kernel: a
// signal handler, a guard's thread, the guardian process. Plain data, the same in both
// processes.
struct RestAction {
    enum class Kind : std::uint8_t {
        ModemLines,   // a serial port: modem-control bits lowered, then raised
        OutputReport, // a HID device: one output report written as it is
    };
    Kind kind = Kind::ModemLines;
    LineLevels levels;
    std::uint8_t report[8] = {};
    std::uint8_t reportSize = 0;

    bool operator==(const RestAction &) const = default;
};

// Both async-signal-safe; false with errno set when the device refused.
bool restDevice(int fd, const RestAction &action) noexcept;
// One request that changes nothing, to tell a device that is still there from one that went.
bool deviceAnswers(int fd, RestAction::Kind kind) noexcept;

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

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyClock.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace zptt {

// The serial control the window keys through: one port, opened and closed, with its DTR
// and RTS lines. No data passes.
class CommControl {
public:
    virtual ~CommControl() = default;

    // Number n of the port COMn used by the next open.
    virtual std::int16_t CommPort() const = 0;
    // Accepted only while the port is closed and for 1..255; otherwise throws SerialError
    // and keeps the current number.
    virtual void setCommPort(std::int16_t port) = 0;

    // True exactly while the port is open.
    virtual bool PortOpen() const = 0;
    // True opens port CommPort (throws SerialError when it cannot, the port stays closed);
    // False closes it with both lines low (closing a closed port changes nothing).
    virtual void setPortOpen(bool open) = 0;

    // Accepted without error whether or not the port is open; a closed port drives no line.
    virtual void setDTREnable(bool high) = 0;
    virtual void setRTSEnable(bool high) = 0;

    // The end of the keying in progress, or nullopt: lets the control release DTR by itself
    // should the window's thread be held up past it.
    virtual void setKeyDeadline(std::optional<KeyClock::time_point> deadline) { (void)deadline; }
    // How long a keying lasts: for keyings that do not start at the TX button.
    virtual void setKeyingTime(std::chrono::milliseconds length) { (void)length; }
    // Run on the window's thread after the open port's device went away (unplugged, hung up);
    // the port is closed by then.
    virtual void setLostHandler(std::function<void()> handler) { (void)handler; }
};

} // namespace zptt

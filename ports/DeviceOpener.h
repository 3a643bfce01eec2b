// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingDevice.h"
#include "MappedPort.h"

namespace zptt {

class PortMap;

// Opens the device a port number maps to at rest: a USB sound interface's hidraw device when
// the keying line is a GPIO pin (COMn-Line=GPIO1..GPIO8), a serial port otherwise. The line
// choice tells the two apart, not the path: a stable name or a pseudo-terminal in a test may
// stand for either. Throws SerialError with the reason, without the port number.
std::unique_ptr<KeyingDevice> openMapped(const MappedPort &mapped);

// openMapped() over the port map's entries; the map must outlive the opener.
PortOpener deviceOpener(const PortMap &ports);

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingDevice.h"

namespace zptt {

class PortMap;

// Opens what a port number stands for in the map, at rest; throws SerialError with the reason
// (the map's complaint about an entry, or the device's). A GPIO pin as keying line
// (COMn-Line=GPIO1..GPIO8) opens a USB sound interface's hidraw device, DTR or RTS a serial
// port: the line choice tells the two apart, not the path, since a stable name or a
// pseudo-terminal in a test may stand for either.
PortOpener openerFor(const PortMap &ports);

} // namespace zptt

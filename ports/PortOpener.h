// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingDevice.h"

namespace zptt {

class PortMap;

// Opens what a port number stands for in the map, at rest; throws SerialError with the reason
// (the map's complaint about an entry, or the device's).
PortOpener openerFor(const PortMap &ports);

} // namespace zptt

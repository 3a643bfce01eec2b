// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "LineChoice.h"

#include <QString>
#include <functional>

namespace zptt {

// What a port number stands for: its device and how the interface on it is keyed, or why the
// number cannot be used.
struct MappedPort {
    QString device;
    LineChoice lines;
    QString problem; // not empty: the port is not available, for this reason
};

using PortResolver = std::function<MappedPort(int port)>;

} // namespace zptt

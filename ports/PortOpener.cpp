// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortOpener.h"

#include "PortMap.h"
#include "PosixSerialPort.h"
#include "SerialError.h"

namespace zptt {

PortOpener openerFor(const PortMap &ports) {
    return [&ports](int port) -> std::unique_ptr<KeyingDevice> {
        const MappedPort mapped = ports.lookUp(port);
        if (!mapped.problem.isEmpty())
            throw SerialError(mapped.problem);
        auto device = std::make_unique<PosixSerialPort>();
        device->open(mapped.device, mapped.lines);
        return device;
    };
}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortOpener.h"

#include "Cm108Port.h"
#include "PortMap.h"
#include "PosixSerialPort.h"
#include "SerialError.h"

namespace zptt {

PortOpener openerFor(const PortMap &ports) {
    return [&ports](int port) -> std::unique_ptr<KeyingDevice> {
        const MappedPort mapped = ports.lookUp(port);
        if (!mapped.problem.isEmpty())
            throw SerialError(mapped.problem);
        if (mapped.lines.gpioPin()) {
            auto device = std::make_unique<Cm108Port>();
            device->open(mapped.device, mapped.lines);
            return device;
        }
        // Opening it would do no harm, but the reason would only say that it is no serial port.
        if (Cm108Port::subsystem(mapped.device) == QLatin1String("hidraw"))
            throw SerialError(mapped.device +
                              QStringLiteral(": a USB sound interface: choose a GPIO pin as its "
                                             "keying line (GPIO3 is the usual one)"));
        auto device = std::make_unique<PosixSerialPort>();
        device->open(mapped.device, mapped.lines);
        return device;
    };
}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeviceOpener.h"

#include "Cm108Port.h"
#include "PortMap.h"
#include "PosixSerialPort.h"
#include "SerialError.h"

namespace zptt {

std::unique_ptr<KeyingDevice> openMapped(const MappedPort &mapped) {
    if (!mapped.problem.isEmpty())
        throw SerialError(mapped.problem);
    if (mapped.lines.gpioPin()) {
        auto device = std::make_unique<Cm108Port>();
        device->open(mapped.device, mapped.lines);
        return device;
    }
    // Opening it would do no harm, but the reason would say only that it is no serial port.
    if (Cm108Port::subsystem(mapped.device) == QLatin1String("hidraw"))
        throw SerialError(mapped.device +
                          QStringLiteral(": a USB sound interface: choose a GPIO pin as its "
                                         "keying line (GPIO3 is the usual one)"));
    auto port = std::make_unique<PosixSerialPort>();
    port->open(mapped.device, mapped.lines);
    return port;
}

PortOpener deviceOpener(const PortMap &ports) {
    return [&ports](int port) { return openMapped(ports.lookUp(port)); };
}

} // namespace zptt

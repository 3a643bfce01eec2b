// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingDevice.h"
#include "LineChoice.h"

#include <QString>
#include <array>
#include <cstdint>

namespace zptt {

// The GPIO pin of a USB sound interface with a C-Media CM108-family chip (CM108, CM108AH,
// CM108B, CM109, CM119, CM119A, or a chip that answers alike, the All-In-One-Cable), keyed
// through its hidraw device with the chip's GPIO output report.
//
// open(): a serial port's node is refused before any open (its open would raise DTR and RTS);
// then O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC; HIDIOCGRAWINFO on the descriptor must name a USB
// device of the family (no udev: a pseudo-terminal under the line emulation stands in for one
// in the tests); flock keeps a second copy of us out; then the first write sets the pin as an
// output at rest. Only those queries come before it: a report written to a device that is not
// ours, or that another copy of us keys, would do harm. The kernel drops nothing at the close:
// the pin stays where the last report put it.
class Cm108Port final : public KeyingDevice {
public:
    static constexpr int kReportSize = 5;

    Cm108Port() = default;
    ~Cm108Port() override;
    Cm108Port(const Cm108Port &) = delete;
    Cm108Port &operator=(const Cm108Port &) = delete;

    // Throws SerialError naming the device and the reason.
    void open(const QString &devicePath, LineChoice lines);
    // The pin at rest, then closed.
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const override { return m_fd; }

    bool setKeyed(bool keyed) override;
    RestAction restAction() const override;

    // A USB vendor:product of the family.
    static bool inFamily(int vendor, int product);
    // The output report: report number 0, then 0x00, the pins' levels, their directions (the
    // keying pin an output), 0x00; pin n is bit n - 1.
    static std::array<std::uint8_t, kReportSize> report(LineChoice lines, bool keyed);
    // The kernel's subsystem of a device node ("tty", "hidraw"); empty when it has none (a
    // pseudo-terminal) or is not a device.
    static QString subsystem(const QString &devicePath);

private:
    int m_fd = -1;
    LineChoice m_lines;
};

} // namespace zptt

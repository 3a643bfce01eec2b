// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingDevice.h"
#include "LineChoice.h"
#include "UucpLock.h"

#include <QString>

namespace zptt {

// One open serial device on a POSIX system, with its modem-control lines.
//
// open(): first a UUCP lock file for the device (a live lock of another process refuses
// the port without opening it: every open raises the lines, which would unkey whoever holds
// them), then O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC, then at once both lines at rest before
// any other call, then exclusive access (flock, TIOCEXCL), then raw 9600 8N1 with
// CLOCAL|CREAD, and HUPCL unless the keying line is keyed low, then both lines at rest again.
// Refuses devices that are not terminals or that are a system console. close(): both lines at rest,
// then close, then the lock file removed; a saved line state is never restored.
class PosixSerialPort final : public KeyingDevice {
public:
    PosixSerialPort() = default;
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort &) = delete;
    PosixSerialPort &operator=(const PosixSerialPort &) = delete;

    // Throws SerialError naming the device and the reason.
    void open(const QString &devicePath, LineChoice lines = {});
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const override { return m_fd; }

    const LineChoice &lines() const { return m_lines; }
    QString lockFile() const override { return m_lock.file(); }
    RestAction restAction() const override { return {.levels = m_lines.idle()}; }

    // The keying line at its keyed level, or both lines at rest; false when a call failed.
    bool setKeyed(bool keyed) override;

    // True when the device is the system console or the controlling terminal.
    static bool isConsole(const QString &devicePath, int fd);

private:
    int m_fd = -1;
    QString m_path;
    LineChoice m_lines;
    uucp::OwnLock m_lock;
};

} // namespace zptt

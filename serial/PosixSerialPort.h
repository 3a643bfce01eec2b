#pragma once

#include "UucpLock.h"

#include <QString>

namespace zptt {

// One open serial device on a POSIX system, with its modem-control lines.
//
// open(): first a UUCP lock file for the device (a live lock of another process refuses
// the port without opening it: every open raises the lines, which would unkey whoever holds
// them), then O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC, then at once DTR and RTS low before
// any other call, then exclusive access (flock, TIOCEXCL), then raw 9600 8N1 with
// CLOCAL|CREAD|HUPCL, then both lines low again. Refuses devices that are not terminals or
// that are a system console. close(): both lines low, then close, then the lock file
// removed; a saved line state is never restored.
class PosixSerialPort {
public:
    PosixSerialPort() = default;
    ~PosixSerialPort();
    PosixSerialPort(const PosixSerialPort &) = delete;
    PosixSerialPort &operator=(const PosixSerialPort &) = delete;

    // Throws SerialError naming the device and the reason.
    void open(const QString &devicePath);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // One ioctl each; false when it failed.
    bool setDtr(bool high);
    bool setRts(bool high);

    // True when the device is the system console or the controlling terminal.
    static bool isConsole(const QString &devicePath, int fd);

private:
    int m_fd = -1;
    QString m_path;
    uucp::OwnLock m_lock;
};

} // namespace zptt

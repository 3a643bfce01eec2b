// SPDX-License-Identifier: GPL-3.0-or-later
#include "PosixSerialPort.h"

#include "SerialError.h"
#include "UucpLock.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace zptt {

namespace {

// Lowering first: a keying line that idles high comes up a moment later rather than a
// keying line that idles low staying up a moment longer.
bool setLevels(int fd, LineLevels levels) {
    if (levels.lower && ::ioctl(fd, TIOCMBIC, &levels.lower) != 0)
        return false;
    return !levels.raise || ::ioctl(fd, TIOCMBIS, &levels.raise) == 0;
}

QByteArray resolved(const QByteArray &path) {
    char buf[PATH_MAX];
    return ::realpath(path.constData(), buf) ? QByteArray(buf) : path;
}

// Small text files from /sys and /proc; empty when missing.
QByteArray readSmall(const QByteArray &path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
}

// tty_nr from /proc/self/stat, as a dev_t; 0 without a controlling terminal.
dev_t controllingTerminal() {
    const QByteArray stat = readSmall("/proc/self/stat");
    const qsizetype paren = stat.lastIndexOf(')'); // the command name may hold anything
    if (paren < 0)
        return 0;
    // After the name: state ppid pgrp session tty_nr
    const QList<QByteArray> fields = stat.mid(paren + 1).simplified().split(' ');
    if (fields.size() < 5)
        return 0;
    const unsigned long ttyNr = fields.at(4).toULong();
    if (ttyNr == 0)
        return 0;
    const unsigned int maj = (ttyNr >> 8) & 0xfff;
    const unsigned int min = (ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00);
    return makedev(maj, min);
}

// The kernel's name of a character device (ttyS0), which is what /sys/class/tty and the
// console list use, whatever the node is called.
QByteArray kernelName(dev_t rdev, const QByteArray &path) {
    const QByteArray link =
        "/sys/dev/char/" + QByteArray::number(major(rdev)) + ':' + QByteArray::number(minor(rdev));
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    const QByteArray full = n > 0 ? QByteArray(target, n) : path;
    return full.mid(full.lastIndexOf('/') + 1);
}

bool isVirtualConsoleName(const QByteArray &path) {
    if (!path.startsWith("/dev/tty") || path.size() == 8)
        return false;
    bool ok = false;
    const int n = path.mid(8).toInt(&ok);
    return ok && n >= 0 && n <= 63 && path.at(8) >= '0' && path.at(8) <= '9';
}

[[noreturn]] void refuse(int fd, LineLevels idle, const QString &device, const QString &reason) {
    setLevels(fd, idle);
    ::close(fd);
    throw SerialError(device + QStringLiteral(": ") + reason);
}

} // namespace

PosixSerialPort::~PosixSerialPort() {
    close();
}

bool PosixSerialPort::isConsole(const QString &devicePath, int fd) {
    const QByteArray path = resolved(QFile::encodeName(devicePath));
    if (path == "/dev/console" || path == "/dev/tty" || isVirtualConsoleName(path))
        return true;
    struct stat st {};
    const int r = fd >= 0 ? ::fstat(fd, &st) : ::stat(path.constData(), &st);
    if (r != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int maj = major(st.st_rdev);
    const unsigned int min = minor(st.st_rdev);
    if ((maj == 5 && min <= 1) || (maj == 4 && min <= 63))
        return true;
    if (st.st_rdev == controllingTerminal())
        return true;
    const QByteArray name = kernelName(st.st_rdev, path);
    if (readSmall("/sys/class/tty/" + name + "/console").trimmed() == "Y")
        return true;
    return readSmall("/sys/class/tty/console/active").simplified().split(' ').contains(name);
}

void PosixSerialPort::open(const QString &devicePath, LineChoice lines) {
    if (m_fd >= 0)
        throw SerialError(m_path + QStringLiteral(": port already open"));
    if (devicePath.isEmpty())
        throw SerialError(QStringLiteral("no device given"));
    // Before any open(): opening a console would already disturb it.
    if (isConsole(devicePath, -1))
        throw SerialError(
            devicePath + QStringLiteral(": a system console or the controlling terminal, refused"));

    const QByteArray native = QFile::encodeName(devicePath);
    const QString real = QFile::decodeName(resolved(native));
    const QStringList lockDirs = uucp::defaultDirs();
    auto lockedBy = [&](const uucp::Holder &holder) {
        return SerialError(
            devicePath +
            QStringLiteral(": locked by process %1 (%2)").arg(holder.pid).arg(holder.file));
    };
    // Before open(): the open alone would raise the lines of whoever holds the port.
    const uucp::Holder other = uucp::liveHolder({devicePath, real}, lockDirs);
    if (!other.problem.isEmpty())
        throw SerialError(devicePath + QStringLiteral(": ") + other.problem);
    if (other.pid > 0)
        throw lockedBy(other);
    uucp::OwnLock lock;
    const uucp::Holder holder = lock.acquire(real, lockDirs);
    if (!holder.problem.isEmpty())
        throw SerialError(devicePath + QStringLiteral(": ") + holder.problem);
    if (holder.pid == ::getpid())
        throw SerialError(devicePath + QStringLiteral(": ") + qt_error_string(EBUSY));
    if (holder.pid > 0)
        throw lockedBy(holder);

    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw SerialError(devicePath + QStringLiteral(": ") + qt_error_string(errno));
    // The kernel has just raised DTR and RTS: put them at rest before anything else.
    const LineLevels idle = lines.idle();
    if (!setLevels(fd, idle)) {
        const int err = errno;
        ::close(fd);
        throw SerialError(devicePath + QStringLiteral(": not a serial port (") +
                          qt_error_string(err) + u')');
    }
    // The node may have changed between the check and the open.
    if (isConsole(devicePath, fd))
        refuse(fd, idle, devicePath,
               QStringLiteral("a system console or the controlling terminal, refused"));

    // Root passes TIOCEXCL; flock keeps a second instance out in any case.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        refuse(fd, idle, devicePath, qt_error_string(errno == EWOULDBLOCK ? EBUSY : errno));
    if (::ioctl(fd, TIOCEXCL) != 0)
        refuse(fd, idle, devicePath, qt_error_string(errno));

    struct termios tio {};
    if (::tcgetattr(fd, &tio) != 0)
        refuse(fd, idle, devicePath, qt_error_string(errno));
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // HUPCL: should we die, the kernel drops the lines at the last close. Where the keying
    // line is keyed low that drop would key the transmitter, after every close: leave the
    // lines where we put them instead.
    if (lines.keyedLow)
        tio.c_cflag &= ~tcflag_t(HUPCL);
    else
        tio.c_cflag |= HUPCL;
    tio.c_cc[VMIN] = 1; // so that a read without data says EAGAIN and 0 means hang-up
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        refuse(fd, idle, devicePath, qt_error_string(errno));
    // Leaving B0 raises the lines again on a UART.
    if (!setLevels(fd, idle))
        refuse(fd, idle, devicePath, qt_error_string(errno));

    m_path = devicePath;
    m_lines = lines;
    m_fd = fd;
    m_lock = std::move(lock);
}

void PosixSerialPort::close() {
    if (m_fd < 0)
        return;
    const int fd = m_fd;
    setLevels(fd, m_lines.idle());
    // The exclusive flag outlives the close while the other end of a pseudo-terminal stays
    // open, and would refuse our own reopen to anyone but root.
    ::ioctl(fd, TIOCNXCL);
    // The guardian may hold a copy of the descriptor a moment longer: our flock must not
    // keep our own reopen out meanwhile.
    ::flock(fd, LOCK_UN);
    // Forget the fd before closing it so that the release path never hits a reused number.
    m_fd = -1;
    ::close(fd);
    // Only now may another program have the device.
    m_lock.release();
}

bool PosixSerialPort::setKeyed(bool keyed) {
    return m_fd >= 0 && setLevels(m_fd, keyed ? m_lines.keyed() : m_lines.idle());
}

} // namespace zptt

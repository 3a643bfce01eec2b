// SPDX-License-Identifier: GPL-3.0-or-later
#include "Cm108Port.h"

#include "SerialError.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace zptt {

namespace {

constexpr int kCMedia = 0x0d8c;

struct Family {
    int vendor, first, last;
};
// As Hamlib and Direwolf know them: CM108, CM109 and CM119 take 0008 to 000f as their pins
// choose; CM108B 0012; CM108AH 0139, also seen as 013c; CM119A 013a; the All-In-One-Cable.
// packaging/70-zorore-ptt-cm108.rules grants access to the same ids.
constexpr Family kFamily[] = {{kCMedia, 0x0008, 0x000f},
                              {kCMedia, 0x0012, 0x0012},
                              {kCMedia, 0x0139, 0x013a},
                              {kCMedia, 0x013c, 0x013c},
                              {0x1209, 0x7388, 0x7388}};

QString ids(int vendor, int product) {
    return QStringLiteral("%1:%2")
        .arg(vendor, 4, 16, QLatin1Char('0'))
        .arg(product, 4, 16, QLatin1Char('0'));
}

} // namespace

Cm108Port::~Cm108Port() {
    close();
}

bool Cm108Port::inFamily(int vendor, int product) {
    return std::any_of(std::begin(kFamily), std::end(kFamily), [&](const Family &f) {
        return vendor == f.vendor && product >= f.first && product <= f.last;
    });
}

std::array<std::uint8_t, Cm108Port::kReportSize> Cm108Port::report(LineChoice lines, bool keyed) {
    const auto pin = std::uint8_t(1u << (lines.gpioPin() - 1));
    const bool high = keyed != lines.keyedLow;
    return {0, 0, high ? pin : std::uint8_t(0), pin, 0};
}

RestAction Cm108Port::restAction() const {
    RestAction action;
    action.kind = RestAction::Kind::OutputReport;
    action.reportSize = kReportSize;
    const auto rest = report(m_lines, false);
    std::copy(rest.begin(), rest.end(), action.report);
    return action;
}

QString Cm108Port::subsystem(const QString &devicePath) {
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    const QByteArray link = QByteArray("/sys/dev/char/") + QByteArray::number(major(st.st_rdev)) +
                            ':' + QByteArray::number(minor(st.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    const QByteArray full = n > 0 ? QByteArray(target, n) : QByteArray();
    return QString::fromLatin1(full.mid(full.lastIndexOf('/') + 1));
}

void Cm108Port::open(const QString &devicePath, LineChoice lines) {
    if (m_fd >= 0)
        throw SerialError(devicePath + QStringLiteral(": port already open"));
    const auto refuse = [&](int fd, const QString &reason) {
        if (fd >= 0)
            ::close(fd);
        return SerialError(devicePath + QStringLiteral(": ") + reason);
    };
    if (lines.gpioPin() == 0)
        throw refuse(-1, QStringLiteral("a USB sound interface keys on a GPIO pin"));
    if (subsystem(devicePath) == QLatin1String("tty"))
        throw refuse(-1, QStringLiteral("a serial port, not a USB sound interface: its keying "
                                        "line is DTR or RTS"));

    const int fd = ::open(QFile::encodeName(devicePath).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw refuse(-1, qt_error_string(errno));
    hidraw_devinfo info{};
    if (::ioctl(fd, HIDIOCGRAWINFO, &info) != 0)
        throw refuse(fd, QStringLiteral("not a HID device (%1)").arg(qt_error_string(errno)));
    const int vendor = std::uint16_t(info.vendor);
    const int product = std::uint16_t(info.product);
    if (info.bustype != BUS_USB || !inFamily(vendor, product))
        throw refuse(fd, QStringLiteral("%1 device %2 is not a USB sound interface of the "
                                        "CM108 family, refused")
                             .arg(info.bustype == BUS_USB ? QStringLiteral("USB HID")
                                                          : QStringLiteral("HID"),
                                  ids(vendor, product)));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        throw refuse(fd, qt_error_string(errno == EWOULDBLOCK ? EBUSY : errno));

    m_lines = lines;
    m_fd = fd;
    if (!setKeyed(false)) {
        const int err = errno;
        m_fd = -1;
        throw refuse(fd, qt_error_string(err));
    }
}

void Cm108Port::close() {
    if (m_fd < 0)
        return;
    const int fd = m_fd;
    setKeyed(false);
    // The guardian may hold a copy of the descriptor a moment longer: our flock must not keep
    // our own reopen out meanwhile.
    ::flock(fd, LOCK_UN);
    m_fd = -1;
    ::close(fd);
}

bool Cm108Port::setKeyed(bool keyed) {
    if (m_fd < 0)
        return errno = EBADF, false;
    const auto out = report(m_lines, keyed);
    const ssize_t n = ::write(m_fd, out.data(), out.size());
    if (n == ssize_t(out.size()))
        return true;
    if (n >= 0)
        errno = EIO; // the device took part of the report only
    return false;
}

} // namespace zptt

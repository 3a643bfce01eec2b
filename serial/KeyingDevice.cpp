// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeyingDevice.h"

#include <cerrno>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zptt {

bool restDevice(int fd, const RestAction &action) noexcept {
    if (fd < 0)
        return errno = EBADF, false;
    if (action.kind == RestAction::Kind::OutputReport)
        return ::write(fd, action.report, action.reportSize) == ssize_t(action.reportSize);
    // Lowering first: a keying line that rests high comes up a moment later rather than a
    // keying line that rests low staying up a moment longer.
    int lower = action.levels.lower;
    int raise = action.levels.raise;
    if (lower && ::ioctl(fd, TIOCMBIC, &lower) != 0)
        return false;
    return !raise || ::ioctl(fd, TIOCMBIS, &raise) == 0;
}

bool deviceAnswers(int fd, RestAction::Kind kind) noexcept {
    if (kind == RestAction::Kind::OutputReport) {
        hidraw_devinfo info{};
        // Any hidraw request fails with ENODEV once the device is gone.
        return ::ioctl(fd, HIDIOCGRAWINFO, &info) == 0 || errno == EINTR;
    }
    int lines = 0;
    return ::ioctl(fd, TIOCMGET, &lines) == 0 || errno == EINTR;
}

} // namespace zptt

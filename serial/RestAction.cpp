// SPDX-License-Identifier: GPL-3.0-or-later
#include "RestAction.h"

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

bool deviceGone(int error) noexcept {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

bool deviceAnswers(int fd, RestAction::Kind kind) noexcept {
    int r = 0;
    if (kind == RestAction::Kind::OutputReport) {
        hidraw_devinfo info{};
        // Any hidraw request fails with ENODEV once the device is gone.
        r = ::ioctl(fd, HIDIOCGRAWINFO, &info);
    } else {
        int lines = 0;
        r = ::ioctl(fd, TIOCMGET, &lines);
    }
    return r == 0 || !deviceGone(errno);
}

} // namespace zptt

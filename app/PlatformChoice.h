// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

namespace zptt {

// Wayland lets no client place its own window or keep it above others, so where an X display
// is at hand (XWayland) the program asks for X11 first, unless the user chose a platform.

// What to put in QT_QPA_PLATFORM before the application starts, or empty to leave it alone.
QByteArray choosePlatform(const QProcessEnvironment &environment);

// The line to say once on standard error on the platform in use, or empty.
QString platformNotice(const QString &platformName);

// While it lives (around the application's start), Qt's complaints about the display are
// gathered and, should no platform start, the program ends with one line saying so and status
// 1 rather than Qt's abort and its advice to reinstall.
class PlatformStartWatch {
public:
    PlatformStartWatch();
    ~PlatformStartWatch();
    PlatformStartWatch(const PlatformStartWatch &) = delete;
    PlatformStartWatch &operator=(const PlatformStartWatch &) = delete;
};

} // namespace zptt

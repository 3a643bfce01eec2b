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

} // namespace zptt

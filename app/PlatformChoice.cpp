// SPDX-License-Identifier: GPL-3.0-or-later
#include "PlatformChoice.h"

namespace zptt {

QByteArray choosePlatform(const QProcessEnvironment &env) {
    if (!env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty() ||
        env.value(QStringLiteral("DISPLAY")).isEmpty())
        return {};
    // Wayland after X11, should the X display refuse us.
    const bool wayland = !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
                         env.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland");
    return wayland ? QByteArrayLiteral("xcb;wayland") : QByteArrayLiteral("xcb");
}

QString platformNotice(const QString &platformName) {
    if (!platformName.startsWith(QLatin1String("wayland")))
        return {};
    return QStringLiteral(
        "window placement and Always On Top are not available in this Wayland session");
}

} // namespace zptt

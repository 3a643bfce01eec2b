#include "PlatformChoice.h"

namespace zptt {

PlatformChoice choosePlatform(const QProcessEnvironment &env) {
    const QString chosen = env.value(QStringLiteral("QT_QPA_PLATFORM"));
    const bool x11 = !env.value(QStringLiteral("DISPLAY")).isEmpty();
    const bool wayland = !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
                         env.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland");
    PlatformChoice choice;
    if (chosen.isEmpty() && x11)
        choice.platform = QByteArrayLiteral("xcb");
    if (chosen.startsWith(QLatin1String("wayland")) || (chosen.isEmpty() && !x11 && wayland))
        choice.notice = QStringLiteral(
            "window placement and Always On Top are not available in this Wayland session");
    return choice;
}

} // namespace zptt

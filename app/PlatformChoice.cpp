// SPDX-License-Identifier: GPL-3.0-or-later
#include "PlatformChoice.h"

#include <QStringList>
#include <cstdio>
#include <unistd.h>

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

namespace {

// A message handler has no context of its own: what it gathers lives here for the start only.
QStringList &startComplaints() {
    static QStringList complaints;
    return complaints;
}

void onStartMessage(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    if (type != QtFatalMsg) {
        if (QByteArrayView(context.category ? context.category : "").startsWith("qt.qpa"))
            startComplaints() << text.trimmed();
        else
            std::fprintf(stderr, "%s\n", qPrintable(text));
        return;
    }
    const QStringList &seen = startComplaints();
    const QString why = seen.isEmpty() ? text.section(u'\n', 0, 0) : seen.first();
    std::fprintf(stderr,
                 "Zorore_PTT: no display to show the window on (%s); run it in a "
                 "desktop session, or set DISPLAY\n",
                 qPrintable(why));
    std::fflush(stderr);
    ::_exit(1);
}

} // namespace

PlatformStartWatch::PlatformStartWatch() {
    qInstallMessageHandler(onStartMessage);
}

PlatformStartWatch::~PlatformStartWatch() {
    qInstallMessageHandler(nullptr);
    startComplaints().clear();
}

} // namespace zptt

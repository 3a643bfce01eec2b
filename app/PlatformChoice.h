#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

namespace zptt {

// The window system the program runs on. Wayland lets no client place its own window or keep
// it above others, so where an X display is at hand (XWayland) the program asks for X11,
// unless the user chose a platform himself.
struct PlatformChoice {
    QByteArray platform; // for QT_QPA_PLATFORM; empty leaves the choice to the toolkit
    QString notice;      // one line for standard error, or empty
};

PlatformChoice choosePlatform(const QProcessEnvironment &environment);

} // namespace zptt

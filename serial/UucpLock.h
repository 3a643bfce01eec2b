#pragma once

#include <QString>
#include <QStringList>

namespace zptt::uucp {

// UUCP lock files (LCK..NAME) that other serial programs leave for a device they hold.
// We respect them but never create our own.

struct Holder {
    qint64 pid = 0; // 0: nobody holds the device
    QString file;
};

// The directories serial programs put their lock files in.
QStringList defaultDirs();

// The names a lock file for the device may carry: the base name (ttyUSB0,
// usb-FTDI_...-port0) and, below /dev, the relative path with '/' as '_' (pts_3).
QStringList lockNames(const QString &devicePath);

// The pid in a lock file's text: ASCII decimal or a binary int; 0 when neither.
qint64 lockPid(const QByteArray &content);

// A live process (other than ours) holding a lock for one of the paths, looked up in dirs.
Holder liveHolder(const QStringList &devicePaths, const QStringList &dirs);

} // namespace zptt::uucp

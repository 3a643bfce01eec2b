// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace zptt::uucp {

// UUCP lock files (LCK..NAME): the ones other serial programs leave for a device they
// hold, and our own, taken before the device is opened so that a second program (or a
// second copy of this one) stays off a line that is in use.

struct Holder {
    qint64 pid = 0; // 0: nobody holds the device
    QString file;
    QString problem; // not empty: the device cannot be locked safely (a FIFO as lock file)
};

// The directories serial programs put their lock files in: /run/lock, then /var/lock. The
// environment variable ZORORE_LOCK_DIR replaces both, for tests only.
QStringList defaultDirs();

// The names a lock file for the device may carry: the base name (ttyUSB0,
// usb-FTDI_...-port0) and, below /dev, the relative path with '/' as '_' (pts_3).
QStringList lockNames(const QString &devicePath);

// The pid in a lock file's text: ASCII decimal or a binary int; 0 when neither.
qint64 lockPid(const QByteArray &content);

// A live process (other than ours) holding a lock for one of the paths, looked up in dirs.
Holder liveHolder(const QStringList &devicePaths, const QStringList &dirs);

// The name our own lock file takes for a resolved device path: LCK..ttyUSB0, LCK..pts_3.
QString lockFileName(const QString &resolvedDevicePath);

// Our lock on one device, in the HDB format (the pid as ten ASCII characters and a
// newline), removed again by release() or the destructor.
class OwnLock {
public:
    OwnLock() = default;
    ~OwnLock() { release(); }
    OwnLock(OwnLock &&other) noexcept;
    OwnLock &operator=(OwnLock &&other) noexcept;
    OwnLock(const OwnLock &) = delete;
    OwnLock &operator=(const OwnLock &) = delete;

    // Creates LCK..<name> in the first of dirs that exists, removing a stale one (its process
    // gone). Returns the holder, taking nothing, when a live process has the device; that
    // may be this process itself, through another port object. When no directory can be
    // written, takes nothing and returns no holder.
    Holder acquire(const QString &resolvedDevicePath, const QStringList &dirs);
    void release();
    // The lock file held, or empty.
    const QString &file() const { return m_file; }

private:
    QString m_file;
};

} // namespace zptt::uucp

// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeviceWatch.h"

#include "Adapters.h"
#include "PortMap.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <sys/stat.h>
#include <utility>

namespace zptt {

namespace {

// The node a path leads to; empty when none. A replugged adapter's node is a new inode; a
// pseudo-terminal that takes a freed number is seen absent in between.
QString identity(const QString &path) {
    struct stat st {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QStringLiteral("%1:%2:%3").arg(st.st_dev).arg(st.st_ino).arg(st.st_rdev);
}

QString existingFolder(QString folder) {
    while (!QFileInfo(folder).isDir() && folder != QLatin1String("/"))
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

} // namespace

DeviceWatch::DeviceWatch(const PortMap &ports, QObject *parent) : QObject(parent), m_ports(ports) {
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { look(true); });
    look(false);
}

void DeviceWatch::rescan() {
    look(true);
}

void DeviceWatch::look(bool report) {
    QHash<int, QString> devices;
    for (int port : m_ports.numbers())
        if (const QString device = m_ports.lookUp(port).device; !device.isEmpty())
            devices.insert(port, device);
    auto foldersNow = [&] {
        const QString sound = QString::fromLatin1(kSoundInterfaceNames);
        QSet<QString> folders{existingFolder(QString::fromLatin1(kStableNames)),
                              existingFolder(sound + QLatin1String("/by-id")),
                              existingFolder(sound + QLatin1String("/by-path"))};
        for (const QString &device : devices) {
            const QFileInfo info(device);
            folders << existingFolder(info.absolutePath());
            if (info.isSymLink())
                folders << existingFolder(QFileInfo(info.symLinkTarget()).absolutePath());
        }
        return folders;
    };
    // Watch first, look after, and again while folders came meanwhile: a device that comes in
    // between is then seen now or reported later.
    for (int pass = 0; pass < 4; ++pass) {
        const QSet<QString> folders = foldersNow();
        const QStringList watched = m_watcher.directories();
        if (QSet<QString>(watched.begin(), watched.end()) == folders)
            break;
        for (const QString &folder : watched)
            if (!folders.contains(folder))
                m_watcher.removePath(folder);
        for (const QString &folder : folders)
            if (!watched.contains(folder))
                m_watcher.addPath(folder);
    }

    QHash<int, QString> seen;
    for (auto it = devices.cbegin(); it != devices.cend(); ++it)
        seen.insert(it.key(), identity(it.value()));
    const QHash<int, QString> before = std::exchange(m_seen, seen);
    if (!report)
        return;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it)
        if (!it.value().isEmpty() && it.value() != before.value(it.key()))
            emit appeared(it.key());
    emit changed();
}

} // namespace zptt

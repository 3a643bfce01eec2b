// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>

namespace zptt {

class PortMap;

// Tells when the devices that port numbers map to come and go. inotify on their folders, through
// QFileSystemWatcher, rather than udev: a mapped path may be any link in any folder, and what
// counts is that the path leads to a device, which only the folder can tell. Watched: the folder
// of every port's device, the folder its link leads to, /dev/serial/by-id and the sound
// interfaces' /dev/cm108/by-id and by-path; a folder that does not exist (by-id goes with the
// last adapter) through its nearest existing parent.
class DeviceWatch final : public QObject {
    Q_OBJECT
public:
    explicit DeviceWatch(const PortMap &ports, QObject *parent = nullptr);

    // Looks at every port's device again: after the port map changed.
    void rescan();

signals:
    // A device came, went or changed in a watched folder.
    void changed();
    // A device is at the port's path that was not there at the last look.
    void appeared(int port);

private:
    void look(bool report);

    const PortMap &m_ports;
    QFileSystemWatcher m_watcher;
    QHash<int, QString> m_seen; // port -> what its path led to; empty when nothing
};

} // namespace zptt

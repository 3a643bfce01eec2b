#include "PortTable.h"

#include "SettingKeys.h"
#include "SettingsStore.h"

#include <QFile>

#include <sys/stat.h>

namespace zptt {

PortTable::PortTable(const SettingsStore &store) : m_store(store) {}

QString PortTable::defaultDevice(int port) {
    if (port >= 1 && port <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(port - 1);
    if (port >= 5 && port <= 10)
        return QStringLiteral("/dev/ttyUSB%1").arg(port - 5);
    if (port >= 11 && port <= 15)
        return QStringLiteral("/dev/ttyACM%1").arg(port - 11);
    return {};
}

QString PortTable::device(int port) const {
    if (port < 1 || port > 255)
        return {};
    const QString mapped = m_store.GetSetting(keys::kApplication, keys::kPortsSection,
                                              QStringLiteral("COM%1").arg(port));
    // Only an absolute path is a usable mapping; anything else falls back to the default.
    if (mapped.startsWith(u'/'))
        return mapped;
    return defaultDevice(port);
}

bool PortTable::present(int port) const {
    const QString path = device(port);
    if (path.isEmpty())
        return false;
    // stat, not open: opening a serial device raises its lines.
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace zptt

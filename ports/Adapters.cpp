// SPDX-License-Identifier: GPL-3.0-or-later
// libudev rather than QSerialPortInfo: Qt's list opens every 8250 port (ttyS*) to probe it,
// and an open raises DTR and RTS, and can disturb the system console.
#include "Adapters.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <libudev.h>
#include <memory>

namespace zptt {

namespace {

struct UdevFree {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
template <class T> using UdevPtr = std::unique_ptr<T, UdevFree>;

QString attribute(udev_device *device, const char *name) {
    return QString::fromUtf8(udev_device_get_sysattr_value(device, name)).trimmed();
}

int hexAttribute(udev_device *device, const char *name) {
    bool ok = false;
    const int value = attribute(device, name).toInt(&ok, 16);
    return ok ? value : -1;
}

} // namespace

QString Adapter::description() const {
    QStringList parts;
    const QString name = QStringList{manufacturer, product}.join(u' ').trimmed();
    if (!name.isEmpty())
        parts << name;
    if (!serialNumber.isEmpty())
        parts << QStringLiteral("serial %1").arg(serialNumber);
    if (vendorId >= 0 && productId >= 0)
        parts << QStringLiteral("USB %1:%2")
                     .arg(vendorId, 4, 16, QLatin1Char('0'))
                     .arg(productId, 4, 16, QLatin1Char('0'));
    return parts.join(QStringLiteral(", "));
}

bool Adapter::isDevice(const QString &path) const {
    if (path.isEmpty())
        return false;
    if (path == device || path == stableName)
        return true;
    const QString real = QFileInfo(path).canonicalFilePath();
    return !real.isEmpty() && real == QFileInfo(device).canonicalFilePath();
}

QList<Adapter> UdevAdapterList::adapters() const {
    QList<Adapter> found;
    const UdevPtr<udev> context(udev_new());
    if (!context)
        return found;
    const UdevPtr<udev_enumerate> scan(udev_enumerate_new(context.get()));
    if (!scan)
        return found;
    udev_enumerate_add_match_subsystem(scan.get(), "tty");
    udev_enumerate_scan_devices(scan.get());

    // The stable names, by the node they lead to.
    const QFileInfoList links =
        QDir(QString::fromLatin1(kStableNames)).entryInfoList(QDir::System | QDir::Files);

    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        const UdevPtr<udev_device> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        const char *node = tty ? udev_device_get_devnode(tty.get()) : nullptr;
        // Not owned: freed with the tty.
        udev_device *usb =
            tty ? udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device")
                : nullptr;
        if (!node || !usb)
            continue;
        Adapter a;
        a.device = QString::fromUtf8(node);
        for (const QFileInfo &link : links)
            if (link.canonicalFilePath() == a.device)
                a.stableName = link.absoluteFilePath();
        a.manufacturer = attribute(usb, "manufacturer");
        a.product = attribute(usb, "product");
        a.serialNumber = attribute(usb, "serial");
        a.vendorId = hexAttribute(usb, "idVendor");
        a.productId = hexAttribute(usb, "idProduct");
        found << a;
    }
    return found;
}

} // namespace zptt

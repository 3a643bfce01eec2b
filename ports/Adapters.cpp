// SPDX-License-Identifier: GPL-3.0-or-later
// libudev rather than QSerialPortInfo: Qt's list opens every 8250 port (ttyS*) to probe it,
// and an open raises DTR and RTS, and can disturb the system console.
#include "Adapters.h"

#include "Cm108Port.h"

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

// Each device of the subsystem that has a node and a USB device above it.
template <class F> void forUsbNodes(udev *context, const char *subsystem, F &&found) {
    const UdevPtr<udev_enumerate> scan(udev_enumerate_new(context));
    if (!scan)
        return;
    udev_enumerate_add_match_subsystem(scan.get(), subsystem);
    udev_enumerate_scan_devices(scan.get());
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        const UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        const char *node = device ? udev_device_get_devnode(device.get()) : nullptr;
        // Not owned: freed with the device.
        udev_device *usb =
            device
                ? udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device")
                : nullptr;
        if (!node || !usb)
            continue;
        Adapter a;
        a.device = QString::fromUtf8(node);
        a.manufacturer = attribute(usb, "manufacturer");
        a.product = attribute(usb, "product");
        a.serialNumber = attribute(usb, "serial");
        a.vendorId = hexAttribute(usb, "idVendor");
        a.productId = hexAttribute(usb, "idProduct");
        found(a, device.get(), usb);
    }
}

// The ALSA card on the same USB device, as sound programs name it: "Device (hw:1)".
QString soundCard(udev *context, udev_device *usb) {
    const UdevPtr<udev_enumerate> scan(udev_enumerate_new(context));
    if (!scan)
        return {};
    udev_enumerate_add_match_subsystem(scan.get(), "sound");
    udev_enumerate_add_match_sysname(scan.get(), "card*");
    udev_enumerate_add_match_parent(scan.get(), usb);
    udev_enumerate_scan_devices(scan.get());
    udev_list_entry *entry = udev_enumerate_get_list_entry(scan.get());
    const UdevPtr<udev_device> card(
        entry ? udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)) : nullptr);
    return card ? QStringLiteral("%1 (hw:%2)")
                      .arg(attribute(card.get(), "id"), attribute(card.get(), "number"))
                : QString();
}

} // namespace

QString Adapter::description() const {
    QStringList parts;
    const QString name = QStringList{manufacturer, product}.join(u' ').trimmed();
    if (!name.isEmpty())
        parts << name;
    if (!serialNumber.isEmpty())
        parts << QStringLiteral("serial %1").arg(serialNumber);
    if (!soundCard.isEmpty())
        parts << QStringLiteral("sound card %1").arg(soundCard);
    if (keyedByGpio)
        parts << device;
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
    // The stable names, by the node they lead to.
    const QFileInfoList links =
        QDir(QString::fromLatin1(kStableNames)).entryInfoList(QDir::System | QDir::Files);
    forUsbNodes(context.get(), "tty", [&](Adapter &a, udev_device *, udev_device *) {
        for (const QFileInfo &link : links)
            if (link.canonicalFilePath() == a.device)
                a.stableName = link.absoluteFilePath();
        found << a;
    });
    const QString byId = QString::fromLatin1(kSoundInterfaceNames) + QLatin1String("/by-id/");
    const QString byPath = QString::fromLatin1(kSoundInterfaceNames) + QLatin1String("/by-path/");
    forUsbNodes(context.get(), "hidraw", [&](Adapter &a, udev_device *hid, udev_device *usb) {
        if (!Cm108Port::inFamily(a.vendorId, a.productId))
            return;
        a.keyedByGpio = true;
        a.soundCard = soundCard(context.get(), usb);
        // The serial number's name where there is one: it follows the interface to any socket.
        udev_list_entry *entry = nullptr;
        udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(hid)) {
            const QString link = QString::fromUtf8(udev_list_entry_get_name(entry));
            if (link.startsWith(byId) || (link.startsWith(byPath) && a.stableName.isEmpty()))
                a.stableName = link;
        }
        found << a;
    });
    return found;
}

} // namespace zptt

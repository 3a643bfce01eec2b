// SPDX-License-Identifier: GPL-3.0-or-later
// Setup > Ports... with a USB sound interface plugged in (an injected device list): listed with
// its card and node, tied to a number under its stable name with a GPIO pin as keying line.

#include "MemorySettingsStore.h"
#include "PortMap.h"
#include "PortsDialog.h"

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace zptt;

namespace {

struct Adapters final : AdapterList {
    QList<Adapter> list;
    QList<Adapter> adapters() const override { return list; }
};

} // namespace

class TestPortsDialog : public QObject {
    Q_OBJECT
private slots:
    void soundInterface() {
        QTemporaryDir dir;
        const QString hid = dir.filePath("hidraw2"), ftdi = dir.filePath("ttyUSB9");
        const QString byPath = dir.filePath("pci-0000:00:14.0-usb-0:2:1.3"); // a stable name
        QVERIFY(QFile(hid).open(QIODevice::WriteOnly) && QFile::link(hid, byPath));
        Adapters adapters;
        adapters.list = {{hid, byPath, "C-Media Electronics Inc.", "USB Audio Device", "", 0xd8c,
                          0x13c, "Device (hw:1)", true},
                         {ftdi, "", "FTDI", "FT232R USB UART", "A50285BI", 0x403, 0x6001}};
        MemorySettingsStore store;
        PortMap map(store);
        PortsDialog d(map, &adapters, nullptr);
        const auto lines = [&d] {
            QStringList texts;
            for (int i = 0; i < d.lineBox->count(); ++i)
                texts << d.lineBox->itemText(i);
            return texts.join(',');
        };
        QCOMPARE(d.freeList->item(0)->text(),
                 byPath +
                     " (C-Media Electronics Inc. USB Audio Device, sound card Device (hw:1), " +
                     hid + ", USB 0d8c:013c)");

        d.choosePort(7);
        QCOMPARE(lines(), "DTR,RTS,DTR and RTS");
        d.deviceBox->setCurrentIndex(d.deviceBox->findData(byPath));
        QCOMPARE(lines(), "GPIO1,GPIO2,GPIO3 (usual),GPIO4,GPIO5,GPIO6,GPIO7,GPIO8");
        QCOMPARE(d.lineBox->currentText(), "GPIO3 (usual)");
        QVERIFY(!d.otherBox->isEnabled());
        d.lineBox->setCurrentIndex(3);
        d.keyedBox->setCurrentIndex(1);
        d.applyButton->click();
        QCOMPARE(map.lookUp(7).device, byPath);
        QCOMPARE(map.lookUp(7).lines, (LineChoice{LineChoice::Line::Gpio4, true, false}));
        QCOMPARE(d.portTable->item(6, 3)->text(), adapters.list[0].description());
        QCOMPARE(d.portTable->item(6, 4)->text(), "GPIO4 keyed low");

        // Unplugged: its pin as stored; a serial adapter chosen instead offers serial lines.
        adapters.list.removeFirst();
        d.refresh();
        d.choosePort(7);
        QCOMPARE(d.lineBox->currentText(), "GPIO4");
        d.deviceBox->setCurrentIndex(d.deviceBox->findData(ftdi));
        QCOMPARE(d.lineBox->currentText(), "DTR");
        QVERIFY(d.otherBox->isEnabled());
    }
};

QTEST_MAIN(TestPortsDialog)
#include "tst_portsdialog.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// The GPIO pin of a USB sound interface, opened through the port map's opener on a pseudo-
// terminal that the line emulation makes answer as a hidraw device with the ids a row gives
// (UARTEMU_HIDRAW), and logs each output report as pin levels.

#include "MemorySettingsStore.h"
#include "PortMap.h"
#include "PortOpener.h"
#include "SerialError.h"
#include "SettingKeys.h"

#include <QTest>
#include <cerrno>
#include <pty.h>
#include <unistd.h>

using namespace zptt;

class TestCm108 : public QObject {
    Q_OBJECT
private slots:
    // Rows: [Ports] entries for COM7 (its device a pty), the ids the pty answers with; the pins
    // at rest and keyed ("-" an input), or what the refusal says.
    void keyingPin_data() {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("ids");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const char *entries, const char *ids, QString want) {
            QTest::newRow(name) << QString(entries) << QString(ids) << want;
        };
        row("GPIO3 keyed high, a CM108", "COM7-Line=GPIO3", "0d8c:000c", "--0----- --1-----");
        row("gpio1 keyed low, a CM119A", "COM7-Line=gpio1 COM7-Keyed=low", "0d8c:013a",
            "1------- 0-------");
        row("GPIO8 of the AIOC, Other aside", "COM7-Line=GPIO8 COM7-Other=High", "1209:7388",
            "-------0 -------1");
        row("another USB HID device", "COM7-Line=GPIO3", "046d:c52b",
            "USB HID device 046d:c52b is not a USB sound interface of the CM108 family");
        row("not a HID device", "COM7-Line=GPIO3", "", "not a HID device");
        row("a bad pin name", "COM7-Line=GPIO9", "0d8c:000c",
            R"([Ports] COM7-Line="GPIO9" is not DTR, RTS, Both or GPIO1 to GPIO8)");
        row("a serial port's node, never opened", "COM7=/dev/console COM7-Line=GPIO3", "0d8c:000c",
            "a serial port, not a USB sound interface");
        row("held by another copy", "COM7-Line=GPIO3", "0d8c:0012", "Device or resource busy");
    }
    void keyingPin() {
        QFETCH(QString, entries);
        QFETCH(QString, ids);
        QFETCH(QString, expected);
        int master = -1, slave = -1;
        char name[64] = {};
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        ::close(slave);
        const QString pty = QString::fromLocal8Bit(name);
        qputenv("UARTEMU_HIDRAW", (pty + '=' + ids).toLocal8Bit());
        MemorySettingsStore store;
        for (const QString &e : ("COM7=" + pty + ' ' + entries).split(u' '))
            store.SaveSetting(keys::kApplication, keys::kPortsSection, e.section(u'=', 0, 0),
                              e.section(u'=', 1));
        const PortMap map(store);
        const PortOpener open = openerFor(map);
        QFile log(qEnvironmentVariable("UARTEMU_LOG"));
        QVERIFY(log.open(QIODevice::ReadOnly) && log.seek(log.size()));
        // This process's events on the device: "report --1-----".
        auto events = [&, device = map.lookUp(7).device] {
            QStringList out;
            for (const QByteArray &line : log.readAll().split('\n'))
                if (const QStringList w = QString::fromLocal8Bit(line).split(' ');
                    w.size() > 4 && w[1].toLongLong() == ::getpid() && w[3] == device)
                    out << (w[4] == "open" ? w[4] : w[4] + ' ' + w.value(7).mid(5));
            return out.join(' ');
        };
        std::unique_ptr<KeyingDevice> first, device;
        QString error;
        try {
            if (expected.endsWith("busy"))
                first = open(7);
            events();
            device = open(7);
        } catch (const SerialError &e) {
            error = QString::fromUtf8(e.what());
        }
        if (!device) {
            QVERIFY2(error.contains(expected), qPrintable(error));
            QVERIFY2(!events().contains(QRegularExpression("report|refused")), "touched");
        } else {
            for (bool key : {true, false, true})
                QVERIFY(device->setKeyed(key));
            QVERIFY(restDevice(device->fd(), device->restAction()));
            QVERIFY(deviceAnswers(device->fd(), RestAction::Kind::OutputReport));
            ::close(std::exchange(master, -1)); // unplugged
            QVERIFY(!deviceAnswers(device->fd(), RestAction::Kind::OutputReport));
            QVERIFY(!device->setKeyed(true) && errno == ENODEV);
            device.reset();
            QCOMPARE(events(), QString("open report %1 report %2 report %1 report %2 report %1 "
                                       "close --------") // unplugged: the pins went with it
                                   .arg(expected.section(u' ', 0, 0), expected.section(u' ', 1)));
        }
        ::close(master);
    }
};

QTEST_GUILESS_MAIN(TestCm108)
#include "tst_cm108.moc"

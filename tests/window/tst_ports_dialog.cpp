// Setup > Ports... on the real window, its port on a pseudo-terminal under the UART emulation.

#include "DeviceWatch.h"
#include "MemorySettingsStore.h"
#include "PortMap.h"
#include "PortsDialog.h"
#include "SerialComm.h"
#include "SettingKeys.h"
#include "UartEmu.h"
#include "frmPTT.h"

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace zptt;
using namespace uartemu;

namespace {

struct FakeAdapters final : AdapterList {
    QList<Adapter> list;
    QList<Adapter> adapters() const override { return list; }
};

// The window on COM1, mapped to the given path; ports and adapters as the program has them.
struct Rig {
    MemorySettingsStore store;
    PortMap map{store};
    SerialComm serial{[this](int port) { return map.spec(port); }};
    FakeAdapters adapters;
    DeviceWatch watch{map};
    QStringList messages;
    std::unique_ptr<frmPTT> w;

    explicit Rig(const QString &com1) {
        for (auto [key, value] : {std::pair{"Position-Left", "1500"},
                                  {"Position-Top", "1200"},
                                  {"ComPort", "1"},
                                  {"Timer", "1"},
                                  {"Height", "3090"}})
            store.SaveSetting(keys::kApplication, keys::kSection, key, value);
        port("COM1", com1);
        store.SaveSetting(keys::kApplication, keys::kSection, "OnTop", "0");
        watch.rescan();
        WindowHooks hooks;
        hooks.messageBox = [this](const QString &text, QMessageBox::Icon) { messages << text; };
        hooks.endProgram = [](int) {};
        hooks.minute = std::chrono::milliseconds(400);
        hooks.ports = &map;
        hooks.adapters = &adapters;
        hooks.devices = &watch;
        w = std::make_unique<frmPTT>(store, serial, hooks);
        w->show();
    }
    void port(const QString &key, const QString &value) {
        store.SaveSetting(keys::kApplication, keys::kPortsSection, key, value);
    }
    QString stored(const QString &key) const {
        return store.GetSetting(keys::kApplication, keys::kPortsSection, key);
    }
    QString now() const {
        const int bits = lines(serial.fd());
        return QStringLiteral("%1%2").arg(bits & TIOCM_DTR ? 1 : 0).arg(bits & TIOCM_RTS ? 1 : 0);
    }
    // Keys from the button for one time-out; the lines halfway through.
    QString keyedLines() {
        QString seen;
        QTimer::singleShot(200, [&] { seen = now(); });
        QTest::mouseClick(w->cmdTX, Qt::LeftButton);
        return seen;
    }
};

} // namespace

class TstPortsDialog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ensureLoaded(); }

    void listsAdaptersAndAssigns() {
        Pty pty;
        QTemporaryDir dir;
        QFile(dir.filePath("ttyUSB3")).open(QIODevice::WriteOnly);
        Rig r(pty.path());
        const QString id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        r.adapters.list = {
            {dir.filePath("ttyUSB3"), id, "FTDI", "FT232R USB UART", "A50285BI", 0x0403, 0x6001},
            {"/dev/ttyACM7", "", "Arduino", "Uno", "", 0x2341, 0x0043}};
        r.port("COM20", dir.filePath("ttyUSB3"));
        QTRY_VERIFY(r.serial.PortOpen());
        r.w->mnuPorts->trigger();
        PortsDialog *d = r.w->portsDialog;
        QVERIFY(d && d->isVisible());
        QCOMPARE(d->portTable->rowCount(), 16);
        auto row = [&](int r0) {
            QStringList cells;
            for (int column = 0; column < d->portTable->columnCount(); ++column)
                cells << d->portTable->item(r0, column)->text();
            return cells.join(" | ");
        };
        QCOMPARE(row(0), "COM1 | " + pty.path() + " | present |  | DTR keyed high; RTS rests low");
        QCOMPARE(row(15), "COM20 | " + dir.filePath("ttyUSB3") +
                              " | present | FTDI FT232R USB UART, serial A50285BI, USB 0403:6001 "
                              "| DTR keyed high; RTS rests low");
        QCOMPARE(d->freeList->count(), 1);
        QCOMPARE(d->freeList->item(0)->text(), "/dev/ttyACM7 (Arduino Uno, USB 2341:0043)");

        d->choosePort(5);
        d->deviceBox->setCurrentIndex(d->deviceBox->findData(id));
        d->applyButton->click();
        QCOMPARE(r.stored("COM5"), id);
        QCOMPARE(r.map.spec(5).device, id);
        QVERIFY(r.messages.isEmpty()); // not the open port: left alone
    }

    void chosenLinesReachTheLine() {
        Pty pty;
        Rig r(pty.path());
        QTRY_VERIFY(r.serial.PortOpen());
        QCOMPARE(r.keyedLines() + ' ' + r.now(), QString("10 00"));
        r.w->mnuPorts->trigger();
        PortsDialog *d = r.w->portsDialog;
        d->keyedBox->setCurrentIndex(1);
        QVERIFY(d->warning->isVisible());
        d->keyedBox->setCurrentIndex(0);
        QVERIFY(!d->warning->isVisible());
        d->lineBox->setCurrentIndex(1); // RTS keys, DTR rests high
        d->otherBox->setCurrentIndex(1);
        const qint64 mark = logMark();
        d->applyButton->click();
        QCOMPARE(eventNames(eventsSince(mark, pty.path())).filter("open").size(), 1); // reopened
        QCOMPARE(r.stored("COM1-Line") + r.stored("COM1-Keyed") + r.stored("COM1-Other"),
                 "RTSHigh");
        QCOMPARE(r.now(), "10");
        d->close();
        QCOMPARE(r.keyedLines() + ' ' + r.now(), QString("11 10"));
    }

    // The mapped link goes, with the adapter, during a keying, and comes back to a new device.
    void returningDeviceReopensAtRest() {
        QTemporaryDir dir;
        const QString link = dir.filePath("radio");
        auto pty = std::make_unique<Pty>();
        QVERIFY(QFile::link(pty->path(), link));
        Rig r(link);
        QTRY_VERIFY(r.serial.PortOpen());
        std::unique_ptr<Pty> next;
        QTimer::singleShot(100, [&] { pty.reset(); });
        QTimer::singleShot(200, [&] {
            next = std::make_unique<Pty>();
            QFile::remove(link);
            QFile::link(next->path(), link);
        });
        const qint64 mark = logMark();
        QTest::mouseClick(r.w->cmdTX, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(r.serial.PortOpen(), 2000);
        QCOMPARE(r.messages.size(), 1);
        QTest::qWait(300);
        const QList<Event> ev =
            eventsSince(mark, link).mid(eventNames(eventsSince(mark, link)).lastIndexOf("open"));
        QCOMPARE(ev.value(0).event, "open");
        for (const Event &e : ev.mid(2)) // past the open and the first ioctl: never keyed
            QCOMPARE(e.dtr, 0);
        QVERIFY(r.w->Combo1->itemData(0, Qt::ToolTipRole).toString().endsWith("(present)"));
    }
};

QTEST_MAIN(TstPortsDialog)
#include "tst_ports_dialog.moc"

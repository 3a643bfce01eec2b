// Setup > Ports... on the real window, its port on a pseudo-terminal under the UART emulation.

#include "DeviceWatch.h"
#include "IniSettingsStore.h"
#include "LineEmu.h"
#include "PortMap.h"
#include "PortsDialog.h"
#include "SerialComm.h"
#include "SettingKeys.h"
#include "frmPTT.h"

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace zptt;

namespace {

struct FakeAdapters final : AdapterList {
    QList<Adapter> list;
    QList<Adapter> adapters() const override { return list; }
};

// The window on COM1, as the program builds it; [Ports] entries given as "key=value ...".
struct Rig {
    QTemporaryDir dir;
    IniSettingsStore store{dir.path()};
    PortMap map{store};
    SerialComm serial{[this](int port) { return map.lookUp(port); }};
    FakeAdapters adapters;
    QStringList messages;
    std::unique_ptr<DeviceWatch> watch;
    std::unique_ptr<frmPTT> w;

    explicit Rig(const QString &ports) {
        for (const QString &e : ("ComPort=1 Timer=1 " + ports).split(' ', Qt::SkipEmptyParts))
            store.SaveSetting(keys::kApplication, e.startsWith("COM") ? "Ports" : "Settings",
                              e.section('=', 0, 0), e.section('=', 1));
        watch = std::make_unique<DeviceWatch>(map);
        WindowHooks hooks;
        hooks.messageBox = [this](const QString &text, QMessageBox::Icon) { messages << text; };
        hooks.endProgram = [](int) {};
        hooks.minute = std::chrono::milliseconds(400);
        hooks.ports = &map;
        hooks.adapters = &adapters;
        hooks.devices = watch.get();
        w = std::make_unique<frmPTT>(store, serial, hooks);
        w->show();
    }
    QString now() const { return emu::lines(serial.fd()); }
    // The lines while keyed from the button and after its time-out.
    QString keyedThenReleased() {
        QString keyed;
        QTimer::singleShot(200, [&] { keyed = now(); });
        QTest::mouseClick(w->cmdTX, Qt::LeftButton);
        return keyed + ' ' + now();
    }
};

} // namespace

class TstPortsDialog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariable("LD_PRELOAD").contains("uartemu"), "run it through ctest");
    }

    void listsAssignsAndKeysTheChosenLine() {
        emu::Pty pty;
        Rig r("COM1=" + pty.path + " COM20=" + pty.path);
        const QString id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        r.adapters.list = {{pty.path, id, "FTDI", "FT232R USB UART", "A50285BI", 0x403, 0x6001},
                           {"/dev/ttyACM7", "", "Arduino", "Uno", "", 0x2341, 0x43}};
        QTRY_VERIFY(r.serial.PortOpen());
        QCOMPARE(r.keyedThenReleased(), "10 00");
        r.w->mnuPorts->trigger();
        PortsDialog *d = r.w->portsDialog;
        QVERIFY(d);
        QCOMPARE(d->portTable->rowCount(), 16); // COM1..COM15 and COM20
        QString row = "COM20";
        for (int column = 1; column < d->portTable->columnCount(); ++column)
            row += " | " + d->portTable->item(15, column)->text();
        QCOMPARE(row, "COM20 | " + pty.path +
                          " | present | FTDI FT232R USB UART, serial "
                          "A50285BI, USB 0403:6001 | DTR keyed high; RTS rests low");
        QCOMPARE(d->freeList->count(), 1);
        QCOMPARE(d->freeList->item(0)->text(), "/dev/ttyACM7 (Arduino Uno, USB 2341:0043)");

        d->choosePort(5); // not the open port: stored, nothing reopened
        d->deviceBox->setCurrentIndex(d->deviceBox->findData(id));
        const emu::Log assigning;
        d->applyButton->click();
        QCOMPARE(r.map.mapped(5), id);
        QCOMPARE(assigning.on(pty.path), QStringList());

        d->choosePort(1);
        d->keyedBox->setCurrentIndex(1);
        QVERIFY(d->warning->isVisible());
        d->keyedBox->setCurrentIndex(0);
        d->lineBox->setCurrentIndex(1); // RTS keys, DTR rests high
        d->otherBox->setCurrentIndex(1);
        QVERIFY(!d->warning->isVisible());
        const emu::Log choosing;
        d->applyButton->click();
        QCOMPARE(choosing.on(pty.path).filter(QRegularExpression("^open")).size(), 1);
        QCOMPARE(r.map.lookUp(1).lines, (LineChoice{LineChoice::Line::Rts, false, true}));
        QCOMPARE(r.now(), "10");
        d->close();
        QCOMPARE(r.keyedThenReleased(), "11 10");
        QVERIFY(r.messages.isEmpty());
    }

    // The mapped link goes, with its device, during a keying; it comes back to a new device.
    void returningDeviceReopensAtRest() {
        QTemporaryDir dir;
        const QString link = dir.filePath("radio");
        auto pty = std::make_unique<emu::Pty>();
        QVERIFY(QFile::link(pty->path, link));
        Rig r("COM1=" + link);
        QTRY_VERIFY(r.serial.PortOpen());
        std::unique_ptr<emu::Pty> next;
        QTimer::singleShot(100, [&] { pty.reset(); });
        QTimer::singleShot(200, [&] {
            next = std::make_unique<emu::Pty>();
            QFile::remove(link);
            QFile::link(next->path, link);
        });
        const emu::Log log;
        QTest::mouseClick(r.w->cmdTX, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(r.serial.PortOpen(), 2000);
        QTest::qWait(300);
        QCOMPARE(r.messages.size(), 1);
        QStringList calls = log.on(link);
        calls = calls.mid(calls.lastIndexOf(QRegularExpression("open .*")) + 2); // past the open
        QVERIFY(!calls.isEmpty());
        for (const QString &call : calls)
            QCOMPARE(call.section(' ', 1, 1), "00"); // never keyed again
        QVERIFY(r.w->Combo1->itemData(0, Qt::ToolTipRole).toString().endsWith("(present)"));
    }
};

QTEST_MAIN(TstPortsDialog)
#include "tst_ports_dialog.moc"

// The port map as stored, and each line choice driven on a pseudo-terminal.

#include "EmergencyRelease.h"
#include "LineEmu.h"
#include "MemorySettingsStore.h"
#include "PortMap.h"
#include "SerialComm.h"
#include "SettingKeys.h"

#include <QTest>

using namespace zptt;

namespace {

void put(SettingsStore &store, const QString &entries) {
    for (const QString &e : entries.split(u' ', Qt::SkipEmptyParts))
        store.SaveSetting(keys::kApplication, keys::kPortsSection, e.section(u'=', 0, 0),
                          e.section(u'=', 1));
}

} // namespace

class TstPorts : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariable("LD_PRELOAD").contains("uartemu"), "run it through ctest");
    }

    void table_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("expected"); // device, keying line, keyed low, other high
        const QString id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        auto row = [](const char *name, int port, const QString &entries, const QString &dev) {
            QTest::newRow(name) << port << entries << dev;
        };
        row("built-in", 5, "COM6=/dev/x", "/dev/ttyUSB0 0 0 0");
        row("by-id", 5, "COM5=" + id, id + " 0 0 0");
        row("above 15", 20, "COM20=/dev/ttyUSB7", "/dev/ttyUSB7 0 0 0");
        row("none above 15", 16, "COM16-Line=RTS", "refused");
        row("RTS low", 2, "COM2-Line=rts COM2-Keyed=LOW COM2-Other=High", "/dev/ttyS1 1 1 1");
        row("both", 11, "COM11-Line=Both COM11-Other=Low", "/dev/ttyACM0 2 0 0");
        row("relative path", 5, "COM5=ttyUSB3", "refused");
        row("misspelt line", 5, "COM5=" + id + " COM5-Line=RST", "refused");
        row("misspelt level", 6, "COM6-Keyed=1", "refused");
        row("misspelt rest", 7, "COM7-Other=Hi", "refused");
    }
    void table() {
        QFETCH(int, port);
        QFETCH(QString, entries);
        MemorySettingsStore store;
        put(store, entries);
        const MappedPort s = PortMap(store).lookUp(port);
        const LineChoice &l = s.lines;
        const QString seen = QStringLiteral("%1 %2 %3 %4").arg(s.device).arg(int(l.keying));
        QTEST(s.problem.isEmpty() ? seen.arg(l.keyedLow).arg(l.otherIdleHigh) : "refused",
              "expected");
    }

    void lineChoices_data() {
        QTest::addColumn<QString>("choice");   // keying line, keyed level, other line's rest
        QTest::addColumn<QString>("expected"); // DTR and RTS at rest, keyed, after the close
        QTest::newRow("DTR high") << "DTR High Low"
                                  << "00 10 00";
        QTest::newRow("DTR high, RTS rests high") << "DTR High High"
                                                  << "01 11 00";
        QTest::newRow("RTS high, DTR rests high") << "RTS High High"
                                                  << "10 11 00";
        QTest::newRow("DTR low") << "DTR Low Low"
                                 << "10 00 10";
        QTest::newRow("RTS low, DTR rests high") << "RTS Low High"
                                                 << "11 10 11";
        QTest::newRow("both high") << "Both High Low"
                                   << "00 11 00";
        QTest::newRow("both low") << "Both Low High"
                                  << "11 00 11";
    }
    void lineChoices() {
        QFETCH(QString, choice);
        QFETCH(QString, expected);
        const QStringList words = choice.split(u' '), want = expected.split(u' ');
        emu::Pty pty;
        MemorySettingsStore store;
        put(store, QStringLiteral("COM1=%1 COM1-Line=%2 COM1-Keyed=%3 COM1-Other=%4")
                       .arg(pty.path, words[0], words[1], words[2]));
        const PortMap map(store);
        SerialComm comm([&](int port) { return map.lookUp(port); });
        const emu::Log opening;
        comm.setPortOpen(true);
        // The kernel raises both lines at the open; the first call puts them at rest, and there
        // they stay. Where a line keys low, the close must not drop them.
        const QStringList calls = opening.on(pty.path);
        QCOMPARE(calls.value(0), QString("open 11"));
        for (const QString &call : calls.mid(1)) {
            QCOMPARE(call.section(u' ', 1, 1), want[0]);
            if (call.startsWith("tcsetattr"))
                QCOMPARE(call.section(u' ', 2), words[1] == "Low" ? "0" : "1");
        }
        const std::function<void()> releases[] = {
            [&] { comm.setDTREnable(false); },
            [&] { comm.setKeyDeadline(KeyClock::now()); }, // the watchdog, after its grace
            [] { EmergencyRelease::releaseNow(); },        // a fatal signal's handler
        };
        for (const auto &release : releases) {
            comm.setDTREnable(true);
            QCOMPARE(emu::lines(comm.fd()), want[1]);
            release();
            QTRY_COMPARE_WITH_TIMEOUT(emu::lines(comm.fd()), want[0], 5000);
        }
        comm.setDTREnable(true);
        const emu::Log closing;
        comm.setPortOpen(false);
        const QStringList closed = closing.on(pty.path); // at rest, then what the device keeps
        const qsizetype n = closed.size();
        QCOMPARE(closed.value(n - 2).section(u' ', 1, 1) + ' ' + closed.value(n - 1),
                 want[0] + " close " + want[2]);
    }
};

QTEST_GUILESS_MAIN(TstPorts)
#include "tst_ports.moc"

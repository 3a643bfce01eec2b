// SPDX-License-Identifier: GPL-3.0-or-later
// The port map, and the serial line on pseudo-terminals under the preloaded line emulation
// (tests/uartemu), which keeps each pty's DTR and RTS and logs every call that touches them;
// and the line's guardian process, on the write end of a pipe in place of a port.

#include "EmergencyRelease.h"
#include "GuardianLink.h"
#include "MemorySettingsStore.h"
#include "PortMap.h"
#include "PosixSerialPort.h"
#include "SerialComm.h"
#include "SerialError.h"
#include "SettingKeys.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace zptt;

namespace {

// A pty whose master stays open; the code under test holds the only slave.
struct Pty {
    int master = -1;
    QString path;
    Pty() {
        int slave = -1;
        char name[64] = {};
        ::openpty(&master, &slave, name, nullptr, nullptr); // no path: every check fails
        path = QString::fromLocal8Bit(name);
        ::close(slave);
    }
    ~Pty() { ::close(master); }
};

// "DR": DTR and RTS, 1 high.
QString lines(int fd) {
    int bits = 0;
    ::ioctl(fd, TIOCMGET, &bits);
    return QStringLiteral("%1%2").arg(bits & TIOCM_DTR ? 1 : 0).arg(bits & TIOCM_RTS ? 1 : 0);
}

// This process's calls on a device since the mark, as "event DR", and "tcsetattr DR HUPCL":
// "open 11", "tcsetattr 00 1".
struct Log {
    const QString file = qEnvironmentVariable("UARTEMU_LOG");
    const qint64 mark = QFileInfo(file).size();
    QStringList on(const QString &device) const {
        QFile f(file);
        QStringList out;
        if (!f.open(QIODevice::ReadOnly) || !f.seek(mark))
            return {"(no log)"};
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QStringList w = QString::fromLocal8Bit(line).split(' ');
            if (w.size() < 7 || w[1].toLongLong() != ::getpid() || w[3] != device)
                continue;
            out << w[4] + ' ' + w[5].right(1) + w[6].right(1) +
                       (w.value(7).startsWith("HUPCL=") ? ' ' + w[7].right(1) : QString());
        }
        return out;
    }
};

// The serial control over a port map of these [Ports] entries, "key=value ...".
struct Control {
    MemorySettingsStore store;
    PortMap map{store};
    SerialComm comm{[this](int port) { return map.lookUp(port); }};
    explicit Control(const QString &entries) {
        for (const QString &e : entries.split(u' ', Qt::SkipEmptyParts))
            store.SaveSetting(keys::kApplication, keys::kPortsSection, e.section(u'=', 0, 0),
                              e.section(u'=', 1));
    }
};

// The real zorore-ptt-guardian, holding the pipe as its port: its line calls fail (it ignores
// that); what it reports counts.
struct Guardian {
    int pipe[2] = {-1, -1};
    GuardianLink link;
    QSignalSpy released{&link, &GuardianLink::releasedByGuardian};
    Guardian() {
        if (::pipe2(pipe, O_CLOEXEC) == 0 && !link.start(GuardianLink::defaultHelperPath()))
            link.portOpened(pipe[1], {0, TIOCM_DTR | TIOCM_RTS});
    }
    ~Guardian() {
        for (int fd : pipe)
            ::close(fd);
    }
};

QString lockFile(const Pty &pty) {
    return qEnvironmentVariable("ZORORE_LOCK_DIR") + "/LCK.." + pty.path.mid(5).replace('/', '_');
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariable("LD_PRELOAD").contains("uartemu"), "run it through ctest");
        QVERIFY(KeyClock::is_steady); // a clock set forward or back moves no time-out
    }
    // Whatever a row maps or opens, only pseudo-terminals were touched: the line emulation logs
    // (and refuses) any open of a real serial device, such as a built-in default.
    void cleanupTestCase() {
        QFile f(qEnvironmentVariable("UARTEMU_LOG"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> w = line.split(' ');
            if (w.size() > 3 && w[1].toLongLong() == ::getpid())
                QVERIFY2(w[3].startsWith("/dev/pts/"), line.constData());
        }
    }

    // Each number's device and line choice, or why it is refused: never another device.
    void portMap_data() {
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
    }
    void portMap() {
        QFETCH(int, port);
        QFETCH(QString, entries);
        const MappedPort s = Control(entries).map.lookUp(port);
        const LineChoice &l = s.lines;
        const QString seen = QStringLiteral("%1 %2 %3 %4").arg(s.device).arg(int(l.keying));
        QTEST(s.problem.isEmpty() ? seen.arg(l.keyedLow).arg(l.otherIdleHigh) : "refused",
              "expected");
    }

    // The kernel raises both lines at the open: the first call puts them at rest, and there
    // they stay; each way of releasing puts them back; where the line keys low, the close must
    // not drop them (no HUPCL). Rows: the keying line, its keyed level and the other line's
    // rest; DTR and RTS at rest, keyed, after the close.
    void lineChoices_data() {
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"DTR High Low: 00 10 00", "DTR High High: 01 11 00", "RTS High High: 10 11 00",
              "DTR Low Low: 10 00 10", "RTS Low High: 11 10 11", "Both High Low: 00 11 00",
              "Both Low High: 11 00 11"})
            QTest::newRow(row) << QString(row);
    }
    void lineChoices() {
        QFETCH(QString, row);
        const QStringList words = row.section(u':', 0, 0).split(u' ');
        const QStringList want = row.section(u' ', 3).split(u' ');
        Pty pty;
        Control c(QStringLiteral("COM1=%1 COM1-Line=%2 COM1-Keyed=%3 COM1-Other=%4")
                      .arg(pty.path, words[0], words[1], words[2]));
        const Log opening;
        c.comm.setPortOpen(true);
        const QStringList calls = opening.on(pty.path);
        QCOMPARE(calls.value(0), QString("open 11"));
        for (const QString &call : calls.mid(1)) {
            QCOMPARE(call.section(u' ', 1, 1), want[0]);
            if (call.startsWith("tcsetattr"))
                QCOMPARE(call.section(u' ', 2), words[1] == "Low" ? "0" : "1");
        }
        const std::function<void()> releases[] = {
            [&] { c.comm.setDTREnable(false); },
            [&] { c.comm.setKeyDeadline(KeyClock::now()); }, // the watchdog, after its grace
            [] { EmergencyRelease::releaseNow(); },          // a fatal signal's handler
        };
        for (const auto &release : releases) {
            c.comm.setDTREnable(true);
            c.comm.setRTSEnable(false); // while keyed: changes nothing
            QCOMPARE(lines(c.comm.fd()), want[1]);
            release();
            QTRY_COMPARE_WITH_TIMEOUT(lines(c.comm.fd()), want[0], 5000);
        }
        c.comm.setDTREnable(true);
        const Log closing;
        c.comm.setPortOpen(false);
        const QStringList closed = closing.on(pty.path); // at rest, then what the device keeps
        const qsizetype n = closed.size();
        QCOMPARE(closed.value(n - 2).section(u' ', 1, 1) + ' ' + closed.value(n - 1),
                 want[0] + " close " + want[2]);
    }

    // Refused without opening the device: an open alone raises its lines.
    void refused_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("holder");
        QTest::addColumn<QString>("error");
        auto row = [](const char *name, const char *device, const char *holder, const char *error) {
            QTest::newRow(name) << QString(device) << QString(holder) << QString(error);
        };
        const char *console = "a system console or the controlling terminal, refused";
        row("console", "/dev/console", "", console);
        row("link to the console", "link", "", console);
        row("held by us", "", "us", "Device or resource busy");
        row("held by a live process", "", "live", "locked by process");
        row("held by a live process, as QLockFile writes it", "", "live\nfoo\nhost\n",
            "locked by process");
        row("stale lock taken over", "", "99999999", ""); // above any pid
    }
    void refused() {
        QFETCH(QString, device);
        QFETCH(QString, holder);
        QFETCH(QString, error);
        Pty pty;
        QTemporaryDir dir;
        if (device == "link")
            QFile::link("/dev/console", device = dir.filePath("by-id-console"));
        device = device.isEmpty() ? pty.path : device;
        PosixSerialPort first, port;
        if (holder == "us")
            first.open(pty.path);
        else if (!holder.isEmpty()) { // another process's lock file
            QFile lock(lockFile(pty));
            const QByteArray pid = holder.startsWith("live")
                                       ? QByteArray::number(::getppid()) + holder.mid(4).toUtf8()
                                       : holder.toUtf8() + '\n';
            QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write(pid));
        }
        const Log log;
        QString message;
        try {
            port.open(device);
        } catch (const SerialError &e) {
            message = QString::fromUtf8(e.what());
        }
        QVERIFY2(error.isEmpty() ? message.isEmpty() : message.contains(error),
                 qPrintable(message));
        QCOMPARE(log.on(device).size() > 0, error.isEmpty());
        port.close();
        QFile::remove(lockFile(pty));
    }

    // Heartbeats flow: released at the deadline plus the grace, not at a second of silence, and
    // once. A program stopped whole is a matter for the end-to-end tests.
    void guardianAtTheDeadline() {
        Guardian g;
        QVERIFY(g.link.processId() > 0);
        const KeyClock::time_point deadline = KeyClock::now() + 300ms;
        g.link.keyed(deadline);
        QVERIFY(g.released.wait(10'000));
        QVERIFY(KeyClock::now() >= deadline + guardian::kGrace);
        QTest::qWait(300);
        QCOMPARE(g.released.count(), 1);
    }

    void guardianIdle() {
        Guardian g;
        g.link.keyed(KeyClock::now() + 200ms);
        g.link.released();
        QTest::qWait(2000); // past the deadline's grace, and a silence with no heartbeat
        QCOMPARE(g.released.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"

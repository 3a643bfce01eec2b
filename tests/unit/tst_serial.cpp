// The serial line on pseudo-terminals, under the preloaded line emulation (tests/uartemu),
// which keeps each pty's DTR and RTS and logs every call that touches them.

#include "PosixSerialPort.h"
#include "SerialComm.h"
#include "SerialError.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace zptt;

namespace {

// A pty whose master stays open until unplugged; the code under test holds the only slave.
struct Pty {
    int master = -1;
    QString path;
    Pty() {
        int slave = -1;
        char name[64] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = QString::fromLocal8Bit(name);
            ::close(slave);
        }
    }
    ~Pty() { unplug(); }
    void unplug() { // what the kernel shows when an adapter is pulled out
        if (master >= 0)
            ::close(master);
        master = -1;
    }
};

// This process's calls on one device since the mark, as "event DTR=x RTS=y [HUPCL=z]".
struct EmuLog {
    const QString file = qEnvironmentVariable("UARTEMU_LOG");
    const qint64 mark = QFileInfo(file).size();
    QStringList on(const QString &device) const {
        QFile f(file);
        QStringList out;
        if (!f.open(QIODevice::ReadOnly) || !f.seek(mark))
            return {"(no log)"};
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QStringList w = QString::fromLocal8Bit(line).split(' ');
            if (w.size() < 5 || w[1].toLongLong() != ::getpid() || w[3] != device)
                continue;
            out << (QStringList{w[4]} + w.mid(5).filter(QRegularExpression("^(DTR|RTS|HUPCL)=")))
                       .join(' ');
        }
        return out;
    }
};

int lines(int fd) {
    int bits = 0;
    return ::ioctl(fd, TIOCMGET, &bits) == 0 ? bits & (TIOCM_DTR | TIOCM_RTS) : -1;
}

// The serial control on COM5, whose device is a pty (or what device says) keyed as choice says;
// no other number has a device.
struct Control {
    Pty pty;
    QString device = pty.path;
    LineChoice choice;
    SerialComm comm{[this](int port) {
        PortResolver::result_type resolved{device, choice, {}};
        if (port != 5)
            resolved = {{}, {}, QStringLiteral("no device for this port")};
        return resolved;
    }};
    Control() { comm.setCommPort(5); }
};

QString openError(PosixSerialPort &port, const QString &path) {
    try {
        port.open(path);
    } catch (const SerialError &e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

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

    // The kernel raises both lines at open: they go down before any other call, and HUPCL
    // lowers them should the program die while keyed.
    void openAndClose() {
        Pty pty;
        EmuLog log;
        PosixSerialPort port;
        port.open(pty.path);
        QVERIFY(port.setKeyed(true));
        port.close();
        QCOMPARE(log.on(pty.path), QStringList({"open DTR=1 RTS=1", "TIOCMBIC DTR=0 RTS=0",
                                                "tcsetattr DTR=0 RTS=0 HUPCL=1",
                                                "TIOCMBIC DTR=0 RTS=0", "TIOCMBIS DTR=1 RTS=0",
                                                "TIOCMBIC DTR=0 RTS=0", "close DTR=0 RTS=0"}));
        QVERIFY(!QFile::exists(lockFile(pty)));
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
        row("virtual console", "/dev/tty1", "", console);
        row("link to the console", "link", "", console);
        row("held by us", "", "us", "Device or resource busy");
        row("held by a live process", "", "live", "locked by process");
        row("stale lock taken over", "", "dead", "");
    }
    void refused() {
        QFETCH(QString, device);
        QFETCH(QString, holder);
        QFETCH(QString, error);
        Pty pty;
        QTemporaryDir dir;
        if (device == "link")
            QFile::link("/dev/console", device = dir.filePath("by-id-console"));
        if (device.isEmpty())
            device = pty.path;
        PosixSerialPort first, port;
        pid_t pid = ::getppid();
        if (holder == "dead" && (pid = ::fork()) == 0)
            ::_exit(0);
        if (holder == "dead")
            ::waitpid(pid, nullptr, 0); // gone: its pid is free
        if (holder == "us")
            first.open(pty.path);
        if (holder == "live" || holder == "dead") {
            QFile lock(lockFile(pty));
            QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write(QByteArray::number(pid) + '\n'));
        }
        EmuLog log;
        const QString message = openError(port, device);
        QVERIFY2(error.isEmpty() ? message.isEmpty() : message.contains(error),
                 qPrintable(message));
        QCOMPARE(log.on(device).size() > 0, error.isEmpty());
        QCOMPARE(port.isOpen(), error.isEmpty());
        port.close();
        QFile::remove(lockFile(pty));
    }

    void lineChoices() {
        using L = LineChoice::Line;
        const struct {
            LineChoice choice;
            int rest, keyed;
        } rows[] = {{{L::Dtr, false, false}, 0, TIOCM_DTR},
                    {{L::Rts, false, false}, 0, TIOCM_RTS},
                    {{L::Both, false, false}, 0, TIOCM_DTR | TIOCM_RTS},
                    {{L::Dtr, true, false}, TIOCM_DTR, 0},                      // keyed low
                    {{L::Dtr, false, true}, TIOCM_RTS, TIOCM_DTR | TIOCM_RTS}}; // RTS rests high
        for (const auto &row : rows) {
            Control c;
            c.choice = row.choice;
            c.comm.setPortOpen(true);
            QCOMPARE(lines(c.comm.fd()), row.rest);
            c.comm.setDTREnable(true);
            c.comm.setRTSEnable(false); // while keyed: changes nothing
            QCOMPARE(lines(c.comm.fd()), row.keyed);
            c.comm.setDTREnable(false);
            QCOMPARE(lines(c.comm.fd()), row.rest);
        }
    }

    // A port number that is no port, or no serial device, opens nothing.
    void portNumbers() {
        Control c;
        for (int refused : {-1, 0, 256})
            QVERIFY_THROWS_EXCEPTION(SerialError, c.comm.setCommPort(std::int16_t(refused)));
        c.device = "/dev/null";
        QVERIFY_THROWS_EXCEPTION(SerialError, c.comm.setPortOpen(true));
        c.comm.setCommPort(16);
        QVERIFY_THROWS_EXCEPTION(SerialError, c.comm.setPortOpen(true));
        c.comm.setCommPort(5);
        c.device = c.pty.path;
        c.comm.setPortOpen(true);
        QVERIFY_THROWS_EXCEPTION(SerialError, c.comm.setCommPort(1)); // not while open
        QCOMPARE(c.comm.CommPort(), 5);
    }

    // Data from the radio is no loss; a hang-up is, reported once, the port closed.
    void lostDevice() {
        Control c;
        int lost = 0;
        c.comm.setLostHandler([&] { ++lost; });
        c.comm.setPortOpen(true);
        QVERIFY(::write(c.pty.master, "noise", 5) == 5);
        QTest::qWait(200);
        QCOMPARE(lost, 0);
        c.comm.setDTREnable(true);
        c.pty.unplug();
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, 3000);
        QVERIFY(!c.comm.PortOpen());
        QTest::qWait(300);
        QCOMPARE(lost, 1);
    }

    // The window's thread held up past the deadline: the watchdog releases after its grace.
    void watchdog() {
        Control c;
        c.comm.setPortOpen(true);
        c.comm.setDTREnable(true);
        c.comm.setKeyDeadline(KeyClock::now() + std::chrono::milliseconds(100));
        std::this_thread::sleep_for(c.comm.watchdog().grace() + std::chrono::milliseconds(400));
        QCOMPARE(lines(c.comm.fd()), 0);
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"

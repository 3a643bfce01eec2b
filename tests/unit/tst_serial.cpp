// SPDX-License-Identifier: GPL-3.0-or-later
// The port map; the line on pseudo-terminals under the preloaded line emulation (tests/uartemu),
// which keeps each pty's DTR and RTS (or, answering as a sound interface, its GPIO pins) and logs
// every call that touches them, with its process and a monotonic timestamp; the keying's owner
// with several sources on several threads; and the guardian process.

#include "EmergencyRelease.h"
#include "GuardianLink.h"
#include "KeyingOwner.h"
#include "LineWatchdog.h"
#include "MemorySettingsStore.h"
#include "PortMap.h"
#include "PortOpener.h"
#include "Ptys.h"
#include "SerialError.h"
#include "SettingKeys.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <random>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace zptt;

namespace {

// "DR": DTR and RTS, 1 high.
QString lines(int fd) {
    int bits = 0;
    ::ioctl(fd, TIOCMGET, &bits);
    return QStringLiteral("%1%2").arg(bits & TIOCM_DTR ? 1 : 0).arg(bits & TIOCM_RTS ? 1 : 0);
}

qint64 nsSince(KeyClock::time_point t) {
    return (KeyClock::now() - t) / 1ns;
}

// Calls on a device since the mark, as "event DR" and "tcsetattr DR HUPCL", or a sound
// interface's pins in place of the lines, with when and by whom: "open 11", "tcsetattr 00 1",
// "report --1-----".
struct Log {
    const QString file = qEnvironmentVariable("UARTEMU_LOG");
    const qint64 mark = QFileInfo(file).size();
    struct Call {
        qint64 ns;
        qint64 pid;
        QString what;
    };
    QList<Call> calls(const QString &device) const {
        QFile f(file);
        QList<Call> out;
        if (!f.open(QIODevice::ReadOnly) || !f.seek(mark))
            return out;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QStringList w = QString::fromLocal8Bit(line).split(' ');
            if (w.size() >= 7 && w[3] == device)
                out.append({w[0].toLongLong(), w[1].toLongLong(),
                            w[4] + ' ' +
                                (w.value(7).startsWith("GPIO=")
                                     ? w[7].mid(5)
                                     : w[5].right(1) + w[6].right(1) +
                                           (w.size() > 7 ? ' ' + w[7].section(u'=', 1) : ""))});
        }
        return out;
    }
    QStringList on(const QString &device) const { // this process's
        QStringList out;
        for (const Call &c : calls(device))
            if (c.pid == ::getpid())
                out << c.what;
        return out;
    }
};

// The emulation's fault rules, replaced at once.
void rules(const QString &text) {
    const QString control = qEnvironmentVariable("UARTEMU_CONTROL");
    QFile f(control + ".new");
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text.toUtf8() + '\n') >= 0);
    f.close();
    QVERIFY(::rename(QFile::encodeName(f.fileName()), QFile::encodeName(control)) == 0);
}

// A guard that notes the line as each keying's news reaches it: it must hear of a keying while
// the line still rests, and of a release once it rests again.
struct Witness final : LineGuard {
    int fd = -1;
    QStringList heard;
    bool portOpened(int port, const RestAction &) override { return fd = port, true; }
    bool keyingChanged(const KeyingState &s) override {
        heard << QStringLiteral("%1 %2").arg(s.keyed ? "keyed" : "released", lines(fd));
        return true;
    }
    void portClosing() override { fd = -1; }
};

// The keying's owner over a port map of these [Ports] entries, "key=value ...".
struct Control {
    MemorySettingsStore store;
    PortMap map{store};
    Witness witness;
    KeyingOwner owner{openerFor(map)};
    explicit Control(const QString &entries, std::chrono::milliseconds keyingTime = 1min) {
        enter(entries);
        owner.setKeyingTime(keyingTime);
        owner.addGuard(&witness);
    }
    void enter(const QString &entries) {
        for (const QString &e : entries.split(u' ', Qt::SkipEmptyParts))
            store.SaveSetting(keys::kApplication, keys::kPortsSection, e.section(u'=', 0, 0),
                              e.section(u'=', 1));
    }
    QString lines() const { return ::lines(owner.portFd()); }
};

constexpr Holder kButton{Holder::Kind::Button};
constexpr RestAction kLow{.levels = {0, TIOCM_DTR | TIOCM_RTS}};

// The real zorore-ptt-guardian watching a pty; what it reports, from the link's thread.
struct Guardian {
    Pty pty;
    int fd = -1;
    std::atomic<int> released = 0, lost = 0, unavailable = 0;
    GuardianLink link{GuardianLink::defaultHelperPath(),
                      {.released = [this](std::uint32_t) { ++released; },
                       .lost = [this](const QString &) { ++lost; },
                       .unavailable = [this](const QString &) { ++unavailable; },
                       .available = {}}};
    Guardian() { fd = ::open(QFile::encodeName(pty.path), O_RDWR | O_NOCTTY | O_CLOEXEC); }
    ~Guardian() { ::close(fd); }
    bool start() { return !link.start() && link.portOpened(fd, kLow); }
    // When the port was first rested, in ns on the key clock; 0: it was not.
    qint64 restedAt(const Log &log) const {
        for (const Log::Call &c : log.calls(pty.path))
            if (c.what.startsWith("TIOCMBIC"))
                return c.ns;
        return 0;
    }
};

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariable("LD_PRELOAD").contains("uartemu"), "run it through ctest");
        QVERIFY(KeyClock::is_steady); // a clock set forward or back moves no time-out
        rules("");                    // whatever an earlier run left
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
                      .arg(pty.path, words[0], words[1], words[2]),
                  300ms);
        const Log opening;
        c.owner.setPortOpen(true);
        const QStringList calls = opening.on(pty.path);
        QCOMPARE(calls.value(0), QString("open 11"));
        for (const QString &call : calls.mid(1)) {
            QCOMPARE(call.section(u' ', 1, 1), want[0]);
            if (call.startsWith("tcsetattr"))
                QCOMPARE(call.section(u' ', 2), words[1] == "Low" ? "0" : "1");
        }
        const std::function<void()> releases[] = {
            [&] { c.owner.release(kButton); }, [] {}, // the time-out
            [] { EmergencyRelease::releaseNow(); },   // a fatal signal's handler
        };
        for (const auto &release : releases) {
            QCOMPARE(c.owner.key(kButton), KeyResult::Keyed);
            c.owner.rest(); // while keyed: changes nothing
            QCOMPARE(c.lines(), want[1]);
            release();
            QTRY_COMPARE_WITH_TIMEOUT(c.lines(), want[0], 5000);
            c.owner.release(kButton);
        }
        c.owner.key(kButton);
        const Log closing;
        c.owner.setPortOpen(false);
        const QStringList closed = closing.on(pty.path); // at rest, then what the device keeps
        const qsizetype n = closed.size();
        QCOMPARE(closed.value(n - 2).section(u' ', 1, 1) + ' ' + closed.value(n - 1),
                 want[0] + " close " + want[2]);
    }

    // What an open of COM7 gives: refused with this text, the device untouched (an open alone
    // raises a serial port's lines; a sound interface may be asked its ids, no more); or a serial
    // port's lines at rest, or a sound interface's pins at rest and keyed ("-" an input), which
    // an unplug takes with it. Rows: [Ports] entries, COM7 a pty unless given; the ids the pty
    // answers with as a USB HID device; who holds it already (us, or another's lock file).
    void opening_data() {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("ids");
        QTest::addColumn<QString>("holder");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const char *entries, const char *ids, const char *holder,
                      const QString &expected) {
            QTest::newRow(name) << QString(entries) << QString(ids) << QString(holder) << expected;
        };
        const char *console = "a system console or the controlling terminal, refused";
        const char *gpio3 = "COM7-Line=GPIO3";
        row("console", "COM7=/dev/console", "", "", console);
        row("link to the console", "COM7=link", "", "", console);
        row("held by us", "", "", "us", "Device or resource busy");
        row("held by a live process", "", "", "live", "locked by process");
        row("held by a live process, as QLockFile writes it", "", "", "live\nfoo\nhost\n",
            "locked by process");
        row("stale lock taken over", "", "", "99999999", "00"); // above any pid
        row("GPIO3 keyed high, a CM108", gpio3, "0d8c:000c", "", "--0----- --1-----");
        row("gpio1 keyed low, a CM119A", "COM7-Line=gpio1 COM7-Keyed=low", "0d8c:013a", "",
            "1------- 0-------");
        row("GPIO8 of the AIOC, Other aside", "COM7-Line=GPIO8 COM7-Other=High", "1209:7388", "",
            "-------0 -------1");
        row("another USB HID device", gpio3, "046d:c52b", "",
            "USB HID device 046d:c52b is not a USB sound interface of the CM108 family");
        row("not a HID device", gpio3, "", "", "not a HID device");
        row("a bad pin name", "COM7-Line=GPIO9", "0d8c:000c", "",
            R"([Ports] COM7-Line="GPIO9" is not DTR, RTS, Both or GPIO1 to GPIO8)");
        row("a serial port's node, never opened", "COM7=/dev/console COM7-Line=GPIO3", "0d8c:000c",
            "", "a serial port, not a USB sound interface");
        row("sound interface held by us", gpio3, "0d8c:0012", "us", "Device or resource busy");
    }
    void opening() {
        QFETCH(QString, entries);
        QFETCH(QString, ids);
        QFETCH(QString, holder);
        QFETCH(QString, expected);
        Pty pty;
        QTemporaryDir dir;
        QFile::link("/dev/console", dir.filePath("by-id-console"));
        qputenv("UARTEMU_HIDRAW", (pty.path + '=' + ids).toLocal8Bit());
        const auto unset = qScopeGuard([] { qunsetenv("UARTEMU_HIDRAW"); }); // pty numbers recur
        Control c("COM7=" + pty.path + ' ' +
                  entries.replace("link", dir.filePath("by-id-console")));
        const PortOpener open = openerFor(c.map);
        const QString device = c.map.lookUp(7).device;
        const QString lockFile =
            qEnvironmentVariable("ZORORE_LOCK_DIR") + "/LCK.." + pty.path.mid(5).replace('/', '_');
        std::unique_ptr<KeyingDevice> first, port;
        if (holder == "us")
            first = open(7);
        else if (!holder.isEmpty()) { // another process's lock file
            QFile lock(lockFile);
            const QByteArray pid = holder.startsWith("live")
                                       ? QByteArray::number(::getppid()) + holder.mid(4).toUtf8()
                                       : holder.toUtf8() + '\n';
            QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write(pid));
        }
        const Log log;
        QString error;
        try {
            port = open(7);
        } catch (const SerialError &e) {
            error = QString::fromUtf8(e.what());
        }
        QFile::remove(lockFile);
        if (!port) {
            QVERIFY2(error.contains(expected), qPrintable(error));
            const QRegularExpression touch(entries.contains("GPIO") ? "report|refused" : ".");
            QVERIFY2(log.on(device).filter(touch).isEmpty(), "touched");
            return;
        }
        if (ids.isEmpty()) { // a serial port
            QCOMPARE(lines(port->fd()), expected);
            return;
        }
        for (bool key : {true, false, true})
            QVERIFY(port->setKeyed(key));
        QVERIFY(restDevice(port->fd(), port->restAction()));
        QVERIFY(deviceAnswers(port->fd(), RestAction::Kind::OutputReport));
        pty.unplug();
        QVERIFY(!deviceAnswers(port->fd(), RestAction::Kind::OutputReport));
        QVERIFY(!port->setKeyed(true) && errno == ENODEV);
        port.reset();
        QCOMPARE(log.on(device).mid(1).join(' '), // after the open; unplugged, no pins are set
                 QString("report %1 report %2 report %1 report %2 report %1 close --------")
                     .arg(expected.section(u' ', 0, 0), expected.section(u' ', 1)));
    }

    // Who may key, join, release and hold a keying, on a real line. Clients A and B, the TX
    // button b, the keyboard key k. +: keys (r: refused, n: no port); -: releases; !: its
    // connection is lost; q: says goodbye; ^: lets go; =1, =0: keyed or not, line and owner;
    // >N: N ms pass; @N: released between N and N + 300 ms after the row began. A keying lasts
    // 600 ms.
    void ownerRules_data() {
        QTest::addColumn<QString>("script");
        auto row = [](const char *name, const char *script) {
            QTest::newRow(name) << QString(script);
        };
        row("a key while keyed keeps the deadline", "b+ >300 A+ @600");
        row("a client repeating T 1 never extends", "A+ >200 A+ >200 A+ @600");
        row("two holders: one lost, the other holds", "A+ B+ A! =1 B! =0");
        row("a lost client that holds nothing releases nothing", "b+ A! =1");
        row("a goodbye hands over to the time-out", "A+ Aq =1 @600");
        row("a goodbye hands over to another's T 0", "A+ Aq =1 B- =0");
        row("after a time-out, T 1 is refused until T 0", "A+ @600 A+r A- A+ =1");
        row("after a time-out, the button keys at once", "b+ A+ @600 b+ =1 A+r");
        row("a key held past the time-out keys again once let go", "k+ @600 k+r k^ k+ =1");
        row("letting go releases only what it holds", "b+ k^ =1 k+ k^ =0");
        row("no port, no keying", "b- A+n k+n =0");
    }
    void ownerRules() {
        QFETCH(QString, script);
        Pty pty;
        Control c("COM1=" + pty.path, 600ms);
        c.owner.setPortOpen(true);
        const auto began = KeyClock::now();
        const QMap<QChar, Holder> holders = {{'A', {Holder::Kind::Client, 1}},
                                             {'B', {Holder::Kind::Client, 2}},
                                             {'b', kButton},
                                             {'k', {Holder::Kind::Key}}};
        for (const QString &step : script.split(u' ')) {
            const int n = step.mid(1).toInt();
            const Holder who = holders.value(step[0]);
            const QString op = step.mid(1);
            if (step[0] == '=') {
                QCOMPARE(c.owner.keyed(), n == 1);
                QCOMPARE(c.lines(), n == 1 ? "10" : "00");
            } else if (step[0] == '>') {
                QTest::qWait(n);
            } else if (step[0] == '@') {
                QTRY_VERIFY_WITH_TIMEOUT(!c.owner.keyed(), n + 5000);
                const qint64 at = nsSince(began) / 1'000'000;
                QVERIFY2(at >= n && at < n + 300, qPrintable(step + QString(" at %1").arg(at)));
                QCOMPARE(c.lines(), "00");
            } else if (op.startsWith('+')) {
                if (op == "+n")
                    c.owner.setPortOpen(false);
                const KeyResult want = op == "+r"   ? KeyResult::Refused
                                       : op == "+n" ? KeyResult::NoPort
                                                    : KeyResult::Keyed;
                QCOMPARE(int(c.owner.key(who)), int(want));
            } else if (op == "-") {
                c.owner.release(who);
            } else if (op == "^") {
                c.owner.letGo(who);
            } else {
                c.owner.clientGone(who.id, op == "q");
            }
        }
        // The guards heard of each keying before its line rose, and of each release after.
        for (const QString &news : c.witness.heard)
            QCOMPARE(news.right(2), "00");
    }

    // An adapter that refuses the line: nothing keyed, said, and the port closed on the
    // owner's thread; one wedged in a request holds up no one else.
    void ownerFaults() {
        Pty pty;
        Control c("COM1=" + pty.path);
        c.owner.setPortOpen(true);
        QSignalSpy lost(&c.owner, &KeyingOwner::portLost);
        rules("fail ioctl EIO " + pty.path);
        QCOMPARE(c.owner.key({Holder::Kind::Client, 1}), KeyResult::LineFailed);
        QVERIFY(!c.owner.keyed());
        QVERIFY(lost.wait(5000) && !c.owner.PortOpen());
        rules("");
        c.owner.setPortOpen(true);
        rules("block ioctl 3000 " + pty.path + " once");
        QTest::qWait(1500); // the device probe is now in its request, for seconds
        const auto began = KeyClock::now();
        c.owner.setPortOpen(false);
        c.owner.setPortOpen(true);
        QCOMPARE(c.owner.key(kButton), KeyResult::Keyed);
        QVERIFY(nsSince(began) < 500'000'000);
        rules("");
    }

    // Sources keying and releasing on four threads while the port is reopened, lost and found
    // again behind a new terminal, with the guardian watching: nothing crashes (the sanitizer
    // build runs this too), and at the end the line is what the owner says.
    void ownerUnderFire() {
        std::deque<Pty> ptys(1); // grows without moving one
        Guardian g;
        Control c("COM1=" + ptys.back().path, 200ms);
        QVERIFY(!g.link.start());
        c.owner.addGuard(&g.link);
        c.owner.setPortOpen(true);
        std::atomic<bool> stop = false;
        std::vector<std::thread> sources;
        for (int t = 0; t < 4; ++t)
            sources.emplace_back([&c, &stop, t] {
                std::mt19937 random(t);
                const Holder who = t == 0   ? kButton
                                   : t == 3 ? Holder{Holder::Kind::Key}
                                            : Holder{Holder::Kind::Client, std::uint64_t(t)};
                while (!stop) {
                    if (const auto r = random() % 5; r < 2)
                        c.owner.key(who);
                    else if (r == 2)
                        c.owner.release(who);
                    else if (r == 3)
                        c.owner.letGo(who);
                    else if (who.kind == Holder::Kind::Client)
                        c.owner.clientGone(who.id, random() % 2);
                    else
                        c.owner.toggle(who);
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
                }
            });
        for (int round = 0; round < 6; ++round) { // reopened, or lost and found
            QTest::qWait(150);
            if (round % 2 == 0) {
                ptys.back().unplug();
                QTRY_VERIFY_WITH_TIMEOUT(!c.owner.PortOpen(), 5000);
                c.enter("COM1=" + ptys.emplace_back().path);
            }
            c.owner.setPortOpen(false);
            c.owner.setPortOpen(true);
        }
        stop = true;
        for (std::thread &t : sources)
            t.join();
        QCOMPARE(c.lines(), c.owner.keyed() ? "10" : "00");
        QVERIFY(g.lost == 0 && g.unavailable == 0);
    }

    // The guardian rests the port at the deadline plus its grace, or a second after the program
    // fell silent, and so does the in-process watchdog at the deadline: not before, and not much
    // later. Idle, the guardian does nothing.
    void guardianBounds_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("at the deadline") << "deadline";
        QTest::newRow("the program silent") << "silent";
        QTest::newRow("released in time: nothing") << "released";
        QTest::newRow("asked to end (SIGTERM): at once") << "terminated";
        QTest::newRow("the watchdog at the deadline") << "watchdog";
    }
    void guardianBounds() {
        QFETCH(QString, how);
        Guardian g;
        LineWatchdog watchdog(guardian::kGrace);
        LineGuard &guard = how == "watchdog" ? static_cast<LineGuard &>(watchdog) : g.link;
        QVERIFY(how == "watchdog" ? guard.portOpened(g.fd, kLow) : g.start());
        const Log log;
        auto due = KeyClock::now() + 300ms;
        QVERIFY(guard.keyingChanged(
            {1, true, how == "deadline" || how == "watchdog" ? due : due + 1min}));
        if (how == "silent") {
            QTest::qWait(300);
            g.link.stop(); // no heartbeats: stopped, as a whole program would be
            due = KeyClock::now() - guardian::kHeartbeat;
        } else if (how == "released") {
            g.link.keyingChanged({1, false, due});
        } else if (how == "terminated") {
            QTest::qWait(200); // the records read
            due = KeyClock::now();
            ::kill(g.link.processId(), SIGTERM);
        }
        const auto after = how == "silent"       ? guardian::kSilence
                           : how == "terminated" ? 0ms
                                                 : guardian::kGrace;
        const qint64 from = guardian::toWire(due + after);
        if (how == "released") {
            QTest::qWait(2500);
            QVERIFY(g.restedAt(log) == 0 && g.released == 0);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(g.restedAt(log) > 0, 5000);
        const qint64 late = (g.restedAt(log) - from) / 1'000'000;
        QVERIFY2(late >= 0 && late < 400, qPrintable(QString::number(late)));
        QTRY_COMPARE(g.released.load(), how == "deadline" ? 1 : 0);
        QTRY_COMPARE(g.lost.load(), how == "terminated" ? 1 : 0);
    }

    // A guardian that does not read is lost within a second or two, whether or not records
    // pile up meanwhile, and a new one takes over. (One that cannot run: the end-to-end row.)
    void guardianLost() {
        for (const int keyings : {1, 3000}) { // stopped, then keyed, or a burst of keyings
            Guardian g;
            QVERIFY(g.start());
            const pid_t first = g.link.processId();
            ::kill(first, SIGSTOP);
            const auto began = KeyClock::now();
            bool taken = true;
            for (int i = 1; i <= keyings && taken; ++i)
                taken = g.link.keyingChanged({std::uint32_t(i), i % 2 == 1, began + 1min});
            QTRY_COMPARE_WITH_TIMEOUT(g.lost.load(), 1, 5000);
            QVERIFY2(nsSince(began) < 2'500'000'000, "lost late");
            QVERIFY(!taken || keyings == 1);
            QTRY_VERIFY_WITH_TIMEOUT(g.link.ready() && g.link.processId() != first, 5000);
            QCOMPARE(g.unavailable.load(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"

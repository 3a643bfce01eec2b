// The emulation library itself: log format, per-device register, HUPCL at the last close,
// and the guard against real devices.

#include "UartEmu.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <time.h>

using namespace uartemu;

class TstUartEmu : public QObject {
    Q_OBJECT

private slots:
    void logLinesAndRegister();
    void lastCloseDropsWithHupcl_data();
    void lastCloseDropsWithHupcl();
    void guardRefusesRealDevices_data();
    void guardRefusesRealDevices();
};

static int openTty(const QString &path) {
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

static void setHupcl(int fd, bool on) {
    termios t{};
    QVERIFY(::tcgetattr(fd, &t) == 0);
    if (on)
        t.c_cflag |= HUPCL;
    else
        t.c_cflag &= ~tcflag_t(HUPCL);
    QVERIFY(::tcsetattr(fd, TCSANOW, &t) == 0);
}

void TstUartEmu::logLinesAndRegister() {
    Pty pty;
    QVERIFY(pty.ok());
    // Opened through a symlink: emulated by the resolved path, logged by the given one.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("by-id-port0"));
    QVERIFY(QFile::link(pty.path(), link));

    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const qint64 before = qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    const qint64 mark = logMark();

    const int fd = openTty(link);
    QVERIFY(fd >= 0);
    QCOMPARE(lines(fd), TIOCM_DTR | TIOCM_RTS); // raised at open, as the kernel does
    const int dtrOnly = TIOCM_DTR;
    QCOMPARE(::ioctl(fd, TIOCMBIC, &dtrOnly), 0);
    QCOMPARE(lines(fd), TIOCM_RTS);
    QCOMPARE(::ioctl(fd, TIOCMSET, &dtrOnly), 0);
    QCOMPARE(lines(fd), TIOCM_DTR);
    QCOMPARE(::ioctl(fd, TIOCMBIS, &dtrOnly), 0); // logged although nothing changes
    errno = 0;
    setHupcl(fd, false);
    QCOMPARE(errno, 0);
    QCOMPARE(::close(fd), 0);

    const QStringList raw = logLinesSince(mark);
    QCOMPARE(raw.size(), 6);
    for (const QString &line : raw)
        QVERIFY2(lineFormat().match(line).hasMatch(), qPrintable(line));

    const QList<Event> ev = eventsSince(mark);
    QCOMPARE(eventNames(ev),
             QStringList({"open", "TIOCMBIC", "TIOCMSET", "TIOCMBIS", "tcsetattr", "close"}));
    const QList<int> dtr{1, 0, 1, 1, 1, 1}, rts{1, 1, 0, 0, 0, 0};
    qint64 last = before;
    for (qsizetype i = 0; i < ev.size(); ++i) {
        QCOMPARE(ev[i].pid, qint64(::getpid()));
        QCOMPARE(ev[i].fd, fd);
        QCOMPARE(ev[i].path, link);
        QCOMPARE(ev[i].dtr, dtr[i]);
        QCOMPARE(ev[i].rts, rts[i]);
        QVERIFY(ev[i].ns >= last);
        last = ev[i].ns;
    }
    QCOMPARE(ev[4].hupcl, 0);
    QCOMPARE(ev[4].clocal, 0);
    QCOMPARE(ev[0].hupcl, -1);
    QVERIFY(last - before < qint64(60) * 1000000000);
}

void TstUartEmu::lastCloseDropsWithHupcl_data() {
    QTest::addColumn<bool>("hupcl");
    QTest::newRow("HUPCL set") << true;
    QTest::newRow("HUPCL clear") << false;
}

void TstUartEmu::lastCloseDropsWithHupcl() {
    QFETCH(bool, hupcl);
    Pty pty;
    QVERIFY(pty.ok());
    const int first = openTty(pty.path());
    const int second = openTty(pty.path());
    QVERIFY(first >= 0 && second >= 0);
    setHupcl(first, hupcl);
    const int both = TIOCM_DTR | TIOCM_RTS;
    QCOMPARE(::ioctl(first, TIOCMBIS, &both), 0);
    QCOMPARE(lines(second), both); // one register per device

    const qint64 mark = logMark();
    QCOMPARE(::close(first), 0);
    QCOMPARE(lines(second), both); // not the last close
    QCOMPARE(::close(second), 0);
    const QList<Event> ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"close", "close"}));
    QCOMPARE(ev[0].dtr, 1);
    QCOMPARE(ev[1].dtr, hupcl ? 0 : 1);
    QCOMPARE(ev[1].rts, hupcl ? 0 : 1);

    // A new open raises the lines again either way.
    const int again = openTty(pty.path());
    QVERIFY(again >= 0);
    QCOMPARE(lines(again), both);
    ::close(again);
}

void TstUartEmu::guardRefusesRealDevices_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("refused");
    QTest::newRow("console") << "/dev/console" << true;
    QTest::newRow("tty") << "/dev/tty" << true;
    QTest::newRow("ttyS0") << "/dev/ttyS0" << true;
    QTest::newRow("ptmx") << "/dev/ptmx" << false;
    QTest::newRow("null") << "/dev/null" << false;
    QTest::newRow("missing") << "/dev/no-such-device" << false;
}

// Checked by stat only: the guard is what keeps a faulty test from opening these.
void TstUartEmu::guardRefusesRealDevices() {
    QFETCH(QString, path);
    QFETCH(bool, refused);
    if (!QFile::exists(path) && refused)
        QSKIP("device node not present here");
    using Refuses = int (*)(int, const char *);
    const auto refuses = reinterpret_cast<Refuses>(dlsym(RTLD_DEFAULT, "uartemu_refuses"));
    QVERIFY(refuses);
    QCOMPARE(refuses(AT_FDCWD, QFile::encodeName(path).constData()) != 0, refused);
    Pty pty;
    QVERIFY(pty.ok());
    QCOMPARE(refuses(AT_FDCWD, QFile::encodeName(pty.path()).constData()), 0);
}

int main(int argc, char **argv) {
    ensureLoaded();
    QCoreApplication app(argc, argv);
    TstUartEmu test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_uartemu.moc"

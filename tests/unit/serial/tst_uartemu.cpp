// The emulation library itself: log format, per-device register, HUPCL at the last close,
// the guard against real devices, and the fault control (UARTEMU_CONTROL).

#include "UartEmu.h"

#include <QTemporaryDir>
#include <QTest>

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
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
    void controlFailsIoctls();
    void controlBlocksThenGoesAhead();
    void controlFailsFileCalls_data();
    void controlFailsFileCalls();
    void controlIgnoresBadRules();
    void cleanupTestCase();
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
    QTest::newRow("ttyS0") << "/dev/ttyS0" << true; // expected refused, by stat only
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

// ---- the fault control ----

static QString controlPath() {
    return QString::fromLocal8Bit(std::getenv("UARTEMU_CONTROL"));
}

// Replaced with a rename, as a test must, so that no half-written file is read.
static bool setControl(const QByteArray &rules) {
    const QString path = controlPath();
    QFile tmp(path + ".new");
    if (!tmp.open(QIODevice::WriteOnly) || tmp.write(rules) != rules.size())
        return false;
    tmp.close();
    return std::rename(QFile::encodeName(tmp.fileName()).constData(),
                       QFile::encodeName(path).constData()) == 0;
}

// The fault lines after mark, with their layout checked.
static QStringList faultLines(qint64 mark) {
    static const QRegularExpression re(
        "^\\d+ (\\d+) -?\\d+ \\S+ (fault|unblock) DTR=[01] RTS=[01] call=\\w+( req=\\w+)?"
        " (errno|block)=\\w+( to=\\S+)?$");
    QStringList out;
    for (const QString &line : logLinesSince(mark)) {
        if (!line.contains(" fault ") && !line.contains(" unblock "))
            continue;
        const QRegularExpressionMatch m = re.match(line);
        out << (m.hasMatch() && m.captured(1).toLongLong() == ::getpid() ? line : "BAD: " + line);
    }
    return out;
}

static int ioctlErrno(int fd, unsigned long req, int bits) {
    errno = 0;
    return ::ioctl(fd, req, &bits) == 0 ? 0 : errno;
}

void TstUartEmu::controlFailsIoctls() {
    if (controlPath().isEmpty())
        QSKIP("UARTEMU_CONTROL not set");
    Pty one, two;
    QVERIFY(one.ok() && two.ok());
    const int a = openTty(one.path());
    const int b = openTty(two.path());
    QVERIFY(a >= 0 && b >= 0);
    const int dtr = TIOCM_DTR;
    QCOMPARE(ioctlErrno(a, TIOCMBIC, TIOCM_DTR | TIOCM_RTS), 0);

    qint64 mark = logMark();
    QVERIFY(setControl("# only the first raise fails\nfail ioctl TIOCMBIS EIO once\n"));
    QCOMPARE(ioctlErrno(a, TIOCMBIS, dtr), EIO);
    QCOMPARE(lines(a), 0); // the register never saw it
    QCOMPARE(ioctlErrno(a, TIOCMBIS, dtr), 0);
    QCOMPARE(lines(a), TIOCM_DTR);
    QStringList faults = faultLines(mark);
    QCOMPARE(faults.size(), 1);
    QVERIFY2(
        faults[0].contains(QString(" %1 %2 fault DTR=0 RTS=0 call=ioctl req=TIOCMBIS errno=EIO")
                               .arg(a)
                               .arg(one.path())),
        qPrintable(faults[0]));
    QCOMPARE(eventNames(eventsSince(mark, one.path())).count("TIOCMBIS"), 1);

    // Every request on one device only; a descriptor that is not emulated never fails.
    mark = logMark();
    QVERIFY(setControl("fail ioctl * ENXIO " + QFile::encodeName(two.path()) + "\n"));
    QCOMPARE(ioctlErrno(a, TIOCMGET, 0), 0);
    QCOMPARE(ioctlErrno(b, TIOCMGET, 0), ENXIO);
    QCOMPARE(ioctlErrno(b, TIOCMBIC, dtr), ENXIO);
    termios t{};
    QVERIFY(::tcgetattr(b, &t) == 0);
    errno = 0;
    QCOMPARE(::tcsetattr(b, TCSANOW, &t), -1);
    QCOMPARE(errno, ENXIO);
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    QVERIFY(setControl("fail ioctl * ENXIO\n"));
    int avail = -1;
    QCOMPARE(::ioctl(fds[0], FIONREAD, &avail), 0);
    QCOMPARE(avail, 0);
    ::close(fds[0]);
    ::close(fds[1]);
    QCOMPARE(ioctlErrno(a, TIOCMGET, 0), ENXIO);
    faults = faultLines(mark);
    QCOMPARE(faults.filter(" req=TCSETS errno=ENXIO").size(), 1);
    QCOMPARE(faults.filter(" req=TIOCMGET errno=ENXIO").size(), 2);

    // A control file gone means no faults.
    QVERIFY(QFile::remove(controlPath()));
    QCOMPARE(ioctlErrno(b, TIOCMGET, 0), 0);
    ::close(a);
    ::close(b);
}

void TstUartEmu::controlBlocksThenGoesAhead() {
    if (controlPath().isEmpty())
        QSKIP("UARTEMU_CONTROL not set");
    Pty pty;
    QVERIFY(pty.ok());
    const int fd = openTty(pty.path());
    QVERIFY(fd >= 0);
    const qint64 mark = logMark();
    QVERIFY(setControl("block ioctl TIOCMBIC 300 once\n"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ioctlErrno(fd, TIOCMBIC, TIOCM_DTR), 0);
    QVERIFY2(clock.elapsed() >= 290, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(lines(fd), TIOCM_RTS);
    // Logged before and after the wait, and the line changed only after it.
    const QStringList faults = faultLines(mark);
    QCOMPARE(faults.size(), 2);
    QVERIFY(faults[0].contains(" fault DTR=1 RTS=1 call=ioctl req=TIOCMBIC block=300"));
    QVERIFY(faults[1].contains(" unblock DTR=1 RTS=1 call=ioctl req=TIOCMBIC block=300"));
    const QList<Event> ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"fault", "unblock", "TIOCMBIC"}));
    QVERIFY(ev[1].ns - ev[0].ns >= qint64(290) * 1000000);
    QCOMPARE(ev[0].extra, QString(" call=ioctl req=TIOCMBIC block=300"));
    clock.restart();
    QCOMPARE(ioctlErrno(fd, TIOCMBIC, TIOCM_RTS), 0); // once
    QVERIFY(clock.elapsed() < 250);
    QVERIFY(setControl(""));
    ::close(fd);
}

void TstUartEmu::controlFailsFileCalls_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<QByteArray>("rule");
    QTest::addColumn<int>("error");
    QTest::newRow("write") << "write" << QByteArray("fail write ENOSPC") << ENOSPC;
    QTest::newRow("fsync") << "fsync" << QByteArray("fail fsync EIO") << EIO;
    QTest::newRow("fdatasync") << "fdatasync" << QByteArray("fail fsync EIO") << EIO;
    QTest::newRow("rename") << "rename" << QByteArray("fail rename EROFS") << EROFS;
    QTest::newRow("renameat") << "renameat" << QByteArray("fail rename EROFS") << EROFS;
    QTest::newRow("renameat2") << "renameat2" << QByteArray("fail rename EROFS") << EROFS;
}

// The call on a file below the rule's prefix fails; the same call elsewhere goes through.
static int fileCall(const QString &call, const QString &dir) {
    const QByteArray from = QFile::encodeName(dir + "/a");
    const QByteArray to = QFile::encodeName(dir + "/b");
    const int fd = ::open(from.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return -1;
    errno = 0;
    int r = 0;
    if (call == "write")
        r = ::write(fd, "x", 1) == 1 ? 0 : -1;
    else if (call == "fsync")
        r = ::fsync(fd);
    else if (call == "fdatasync")
        r = ::fdatasync(fd);
    else if (call == "rename")
        r = std::rename(from.constData(), to.constData());
    else if (call == "renameat")
        r = ::renameat(AT_FDCWD, from.constData(), AT_FDCWD, to.constData());
    else
        r = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), 0);
    const int err = r == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

void TstUartEmu::controlFailsFileCalls() {
    QFETCH(QString, call);
    QFETCH(QByteArray, rule);
    QFETCH(int, error);
    if (controlPath().isEmpty())
        QSKIP("UARTEMU_CONTROL not set");
    // A '#' inside the path belongs to it; one that begins a word starts a comment.
    QTemporaryDir top;
    const QString faulty = top.filePath("x#y");
    const QString fine = top.filePath("x");
    QVERIFY(QDir().mkpath(faulty) && QDir().mkpath(fine));
    QVERIFY(setControl(rule + ' ' + QFile::encodeName(faulty) + " # not " +
                       QFile::encodeName(fine) + '\n'));
    const qint64 mark = logMark();
    QCOMPARE(fileCall(call, faulty), error);
    QCOMPARE(fileCall(call, fine), 0);
    if (call.startsWith("rename")) {
        QVERIFY(QFile::exists(faulty + "/a") && !QFile::exists(faulty + "/b"));
        QVERIFY(!QFile::exists(fine + "/a") && QFile::exists(fine + "/b"));
    }
    const QStringList faults = faultLines(mark);
    QCOMPARE(faults.size(), 1);
    QVERIFY2(faults[0].contains(" " + faulty), qPrintable(faults[0]));
    QVERIFY2(faults[0].contains(" errno=" + QString::fromLatin1(rule.split(' ').at(2))),
             qPrintable(faults[0]));
    if (call.startsWith("rename"))
        QVERIFY(faults[0].endsWith(" to=" + faulty + "/b"));
    QVERIFY(setControl(""));
}

void TstUartEmu::controlIgnoresBadRules() {
    if (controlPath().isEmpty())
        QSKIP("UARTEMU_CONTROL not set");
    Pty pty;
    QVERIFY(pty.ok());
    const int fd = openTty(pty.path());
    QVERIFY(fd >= 0);
    const QList<QByteArray> bad{"fail ioctl TIOCMBIS",
                                "fail ioctl NOPE EIO",
                                "fail ioctl TIOCMBIS EWHAT",
                                "block write 0",
                                "fail write EIO relative/path",
                                "fail ioctl * EIO once twice",
                                "explode"};
    const qint64 mark = logMark();
    QVERIFY(setControl(bad.join('\n') + "\nfail ioctl TIOCMSET EBUSY\n"));
    QCOMPARE(ioctlErrno(fd, TIOCMBIS, TIOCM_DTR), 0);
    QCOMPARE(ioctlErrno(fd, TIOCMSET, 0), EBUSY);
    const QStringList ignored = logLinesSince(mark).filter("control: ignored rule: ");
    QCOMPARE(ignored.size(), bad.size());
    QVERIFY2(ignored[0].endsWith("ignored rule: fail\\040ioctl\\040TIOCMBIS"),
             qPrintable(ignored[0]));
    QVERIFY(setControl(""));
    ::close(fd);
}

void TstUartEmu::cleanupTestCase() {
    if (!controlPath().isEmpty())
        QFile::remove(controlPath());
}

int main(int argc, char **argv) {
    ensureLoaded();
    QCoreApplication app(argc, argv);
    TstUartEmu test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_uartemu.moc"

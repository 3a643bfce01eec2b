// PosixSerialPort on real pseudo-terminals under the UART emulation, and the UUCP lock
// files: the ones of others, and our own.

#include "PosixSerialPort.h"
#include "SerialError.h"
#include "UartEmu.h"
#include "UucpLock.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <utime.h>

using namespace uartemu;
using zptt::PosixSerialPort;
using zptt::SerialError;

// DTR keys with the default line choice; RTS is driven here directly.
bool setDtr(zptt::PosixSerialPort &port, bool high) {
    return port.setKeyed(high);
}
bool setRts(zptt::PosixSerialPort &port, bool high) {
    int bit = TIOCM_RTS;
    return port.fd() >= 0 && ::ioctl(port.fd(), high ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

class TstSerialPort : public QObject {
    Q_OBJECT

private slots:
    void openLowersLinesBeforeAnythingElse();
    void linesFollowCalls_data();
    void linesFollowCalls();
    void secondOpenRefusedThenReopens();
    void closeLeavesLinesLow();
    void notATerminalRefused_data();
    void notATerminalRefused();
    void consoleRefusedBeforeOpen_data();
    void consoleRefusedBeforeOpen();
    void controllingTerminalIsConsole();
    void lockPid_data();
    void lockPid();
    void lockFiles_data();
    void lockFiles();
    void lockFileName_data();
    void lockFileName();
    void ownLockWhileOpen();
    void existingLockBeforeOpen_data();
    void existingLockBeforeOpen();
    void noLockFolderGoesOn();
};

static QString openError(PosixSerialPort &port, const QString &path) {
    try {
        port.open(path);
    } catch (const SerialError &e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

void TstSerialPort::openLowersLinesBeforeAnythingElse() {
    Pty pty;
    QVERIFY(pty.ok());
    const qint64 mark = logMark();
    PosixSerialPort port;
    port.open(pty.path());
    QVERIFY(port.isOpen());
    QCOMPARE(lines(port.fd()), 0);

    const QList<Event> ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"open", "TIOCMBIC", "tcsetattr", "TIOCMBIC"}));
    QCOMPARE(ev[0].dtr + ev[0].rts, 2); // what the kernel did
    for (qsizetype i = 1; i < ev.size(); ++i) {
        QCOMPARE(ev[i].dtr, 0);
        QCOMPARE(ev[i].rts, 0);
        QCOMPARE(ev[i].fd, port.fd());
    }

    // Raw 9600 8N1; HUPCL so that the kernel drops the lines should the program die.
    termios t{};
    QVERIFY(::tcgetattr(port.fd(), &t) == 0);
    QCOMPARE(t.c_cflag & (HUPCL | CLOCAL | CREAD), tcflag_t(HUPCL | CLOCAL | CREAD));
    QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(::cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&t), speed_t(B9600));
}

void TstSerialPort::linesFollowCalls_data() {
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    QTest::newRow("DTR") << true << false;
    QTest::newRow("RTS") << false << true;
    QTest::newRow("both") << true << true;
    QTest::newRow("none") << false << false;
}

void TstSerialPort::linesFollowCalls() {
    QFETCH(bool, dtr);
    QFETCH(bool, rts);
    Pty pty;
    QVERIFY(pty.ok());
    PosixSerialPort port;
    QVERIFY(!setDtr(port, true)); // closed: nothing to drive
    port.open(pty.path());
    const qint64 mark = logMark();
    QVERIFY(setDtr(port, dtr));
    QVERIFY(setRts(port, rts));
    QCOMPARE(lines(port.fd()), (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0));
    // One ioctl per call.
    QCOMPARE(eventNames(eventsSince(mark, pty.path())),
             QStringList({dtr ? "TIOCMBIS" : "TIOCMBIC", rts ? "TIOCMBIS" : "TIOCMBIC"}));
}

void TstSerialPort::secondOpenRefusedThenReopens() {
    Pty pty;
    QVERIFY(pty.ok());
    PosixSerialPort first, second;
    first.open(pty.path());
    const qint64 mark = logMark();
    QCOMPARE(openError(second, pty.path()), pty.path() + ": Device or resource busy");
    QCOMPARE(eventsSince(mark, pty.path()).size(), 0); // the lock kept it from even opening
    QVERIFY(!second.isOpen());
    QVERIFY(first.isOpen());
    QVERIFY(setDtr(first, true));
    QCOMPARE(lines(first.fd()), TIOCM_DTR);

    QCOMPARE(openError(first, pty.path()), pty.path() + ": port already open");
    first.close();
    QVERIFY(!first.isOpen());
    QCOMPARE(first.fd(), -1);
    QCOMPARE(openError(second, pty.path()), QString());
    QCOMPARE(lines(second.fd()), 0);
}

void TstSerialPort::closeLeavesLinesLow() {
    Pty pty;
    QVERIFY(pty.ok());
    qint64 mark = 0;
    {
        PosixSerialPort port;
        port.open(pty.path());
        QVERIFY(setDtr(port, true) && setRts(port, true));
        mark = logMark();
        port.close();
        port.close(); // a second close does nothing
        QVERIFY(setDtr(port, true) == false);
    }
    QList<Event> ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"TIOCMBIC", "close"}));
    QCOMPARE(ev[0].dtr + ev[0].rts, 0);
    QCOMPARE(ev[1].dtr + ev[1].rts, 0);

    // The destructor closes the same way.
    {
        PosixSerialPort port;
        port.open(pty.path());
        QVERIFY(setDtr(port, true));
        mark = logMark();
    }
    ev = eventsSince(mark, pty.path());
    QCOMPARE(eventNames(ev), QStringList({"TIOCMBIC", "close"}));
    QCOMPARE(ev[1].dtr + ev[1].rts, 0);

    // The exclusive flag goes with the close: a reopen must work for users other than root.
    const int fd = ::open(qPrintable(pty.path()), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    int exclusive = -1;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    QVERIFY(asked);
    QCOMPARE(exclusive, 0);
}

void TstSerialPort::notATerminalRefused_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("regular file") << QString() << "not a serial port (";
    QTest::newRow("/dev/null") << "/dev/null"
                               << "not a serial port (";
    QTest::newRow("missing") << "/nonexistent/ttyUSB9"
                             << "No such file or directory";
}

void TstSerialPort::notATerminalRefused() {
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    if (path.isEmpty()) {
        path = dir.filePath("plain");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    PosixSerialPort port;
    const QString error = openError(port, path);
    QVERIFY2(error.startsWith(path + ": " + reason), qPrintable(error));
    QVERIFY(!port.isOpen());
}

void TstSerialPort::consoleRefusedBeforeOpen_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("/dev/console") << "/dev/console";
    QTest::newRow("/dev/tty") << "/dev/tty";
    QTest::newRow("/dev/tty0") << "/dev/tty0";
    QTest::newRow("symlink to /dev/console") << "link";
}

void TstSerialPort::consoleRefusedBeforeOpen() {
    QFETCH(QString, path);
    QTemporaryDir dir;
    if (path == "link") {
        path = dir.filePath("by-id-console");
        QVERIFY(QFile::link("/dev/console", path));
    }
    QVERIFY(PosixSerialPort::isConsole(path, -1));
    // The emulation logs any open of these (the guard refuses it): there must be none.
    const qint64 mark = logMark();
    PosixSerialPort port;
    const QString error = openError(port, path);
    QCOMPARE(error, path + ": a system console or the controlling terminal, refused");
    QVERIFY(!port.isOpen());
    QCOMPARE(eventsSince(mark).size(), 0);
}

// The terminal a process runs under counts as a console: a child takes a pty as its
// controlling terminal and asks.
void TstSerialPort::controllingTerminalIsConsole() {
    Pty pty;
    QVERIFY(pty.ok());
    QVERIFY(!PosixSerialPort::isConsole(pty.path(), -1));
    QVERIFY(!PosixSerialPort::isConsole("/dev/null", -1));
    const QByteArray path = QFile::encodeName(pty.path());
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::setsid();
        const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK); // becomes controlling
        const int ctty = fd >= 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0;
        ::_exit(ctty && PosixSerialPort::isConsole(pty.path(), -1) ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

static QByteArray binaryPid(int pid) {
    return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
}

void TstSerialPort::lockPid_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("pid");
    QTest::newRow("HDB") << QByteArray("      4242\n") << qint64(4242);
    QTest::newRow("bare") << QByteArray("17") << qint64(17);
    QTest::newRow("binary") << binaryPid(4242) << qint64(4242);
    QTest::newRow("binary, digit bytes") << binaryPid(0x3039) << qint64(0x3039); // "90\0\0"
    QTest::newRow("binary, space bytes") << binaryPid(0x0a20) << qint64(0x0a20); // " \n\0\0"
    QTest::newRow("negative") << QByteArray("-5\n") << qint64(0);
    QTest::newRow("binary negative") << binaryPid(-5) << qint64(0);
    QTest::newRow("text") << QByteArray("owner\n") << qint64(0);
    QTest::newRow("empty") << QByteArray() << qint64(0);
}

void TstSerialPort::lockPid() {
    QFETCH(QByteArray, content);
    QFETCH(qint64, pid);
    QCOMPARE(zptt::uucp::lockPid(content), pid);
}

void TstSerialPort::lockFiles_data() {
    QTest::addColumn<QString>("lockName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("held");

    const pid_t live = ::getppid();
    const pid_t ours = ::getpid();
    const pid_t dead = ::fork(); // reaped at once: its pid is free
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const QByteArray hdb = QByteArray::number(live).rightJustified(10, ' ') + '\n';

    QTest::newRow("none") << QString() << QByteArray() << false;
    QTest::newRow("live ASCII") << "LCK..ttyUSB0" << hdb << true;
    QTest::newRow("live binary") << "LCK..ttyUSB0" << binaryPid(live) << true;
    QTest::newRow("live, by-id name") << "LCK..usb-FTDI_X-if00-port0" << hdb << true;
    QTest::newRow("stale ASCII") << "LCK..ttyUSB0" << QByteArray::number(dead) << false;
    QTest::newRow("stale binary") << "LCK..ttyUSB0" << binaryPid(dead) << false;
    QTest::newRow("our own pid") << "LCK..ttyUSB0" << QByteArray::number(ours) << false;
    QTest::newRow("garbage") << "LCK..ttyUSB0" << QByteArray("owner\n") << false;
    QTest::newRow("other device") << "LCK..ttyUSB1" << hdb << false;
}

void TstSerialPort::lockFiles() {
    QFETCH(QString, lockName);
    QFETCH(QByteArray, content);
    QFETCH(bool, held);
    QTemporaryDir dir;
    if (!lockName.isEmpty()) {
        QFile f(dir.filePath(lockName));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    // Names only, for the lock files: never opened.
    const QStringList devices{"/dev/serial/by-id/usb-FTDI_X-if00-port0",
                              "/dev/ttyUSB0"}; // expected lock name
    const zptt::uucp::Holder h = zptt::uucp::liveHolder(devices, {"/nonexistent", dir.path()});
    QCOMPARE(h.pid != 0, held);
    if (held) {
        QCOMPARE(h.pid, qint64(::getppid()));
        QCOMPARE(h.file, dir.filePath(lockName));
    }
}

void TstSerialPort::lockFileName_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("name");
    auto expect = [](const char *name, const char *device, const char *lockName) {
        QTest::newRow(name) << QString(device) << QString(lockName);
    };
    expect("pts", "/dev/pts/3", "LCK..pts_3");
    expect("USB", "/dev/ttyUSB0", "LCK..ttyUSB0");
    expect("ACM", "/dev/ttyACM12", "LCK..ttyACM12");
    expect("outside /dev", "/tmp/ports/x1", "LCK..x1");
}

void TstSerialPort::lockFileName() {
    QFETCH(QString, device);
    QFETCH(QString, name);
    QCOMPARE(zptt::uucp::lockFileName(device), name);
}

// The lock folder for one test; CTest's own is put back afterwards.
class LockDir {
public:
    explicit LockDir(const QString &path = {})
        : m_saved(qgetenv("ZORORE_LOCK_DIR")), m_path(path.isEmpty() ? m_dir.path() : path) {
        qputenv("ZORORE_LOCK_DIR", QFile::encodeName(m_path));
    }
    ~LockDir() { qputenv("ZORORE_LOCK_DIR", m_saved); }
    QString file(const Pty &pty) const {
        return m_path + '/' + zptt::uucp::lockFileName(pty.path());
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_saved;
    QString m_path;
};

static QByteArray fileText(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

void TstSerialPort::ownLockWhileOpen() {
    LockDir dir;
    Pty pty;
    QVERIFY(pty.ok());
    const QString lock = dir.file(pty);
    QVERIFY(lock.endsWith("/LCK..pts_" + pty.path().mid(9)));
    {
        PosixSerialPort port;
        port.open(pty.path());
        // HDB: ten characters of pid, right-aligned, and a newline; readable by all.
        QCOMPARE(fileText(lock), QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n');
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(lock).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0644));
        port.close();
        QVERIFY(!QFile::exists(lock));
        port.open(pty.path());
        QVERIFY(QFile::exists(lock));
    }
    QVERIFY(!QFile::exists(lock)); // the destructor closes too

    // A failed open leaves no lock behind.
    const QString missing = "/nonexistent/ttyZ9";
    PosixSerialPort port;
    QVERIFY(!openError(port, missing).isEmpty());
    QVERIFY(QDir(dir.file(pty).section('/', 0, -2)).entryList(QDir::Files).isEmpty());
}

void TstSerialPort::existingLockBeforeOpen_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("refused");

    const pid_t live = ::getppid();
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    auto hdb = [](qint64 pid) { return QByteArray::number(pid).rightJustified(10, ' ') + '\n'; };
    QTest::newRow("live, HDB") << hdb(live) << 0 << true;
    QTest::newRow("live, binary") << binaryPid(live) << 0 << true;
    QTest::newRow("dead, HDB") << hdb(dead) << 0 << false;
    QTest::newRow("our pid from an earlier process") << hdb(::getpid()) << 0 << false;
    QTest::newRow("garbage, old") << QByteArray("owner\n") << 60 << false;
    QTest::newRow("empty, old") << QByteArray() << 60 << false;
}

// A live lock refuses the port before the device is opened (its lines untouched); a stale
// one is replaced by ours.
void TstSerialPort::existingLockBeforeOpen() {
    QFETCH(QByteArray, content);
    QFETCH(int, ageSeconds);
    QFETCH(bool, refused);
    LockDir dir;
    Pty pty;
    QVERIFY(pty.ok());
    const QString lock = dir.file(pty);
    {
        QFile f(lock);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    if (ageSeconds) {
        const time_t then = ::time(nullptr) - ageSeconds;
        const utimbuf times{then, then};
        QVERIFY(::utime(QFile::encodeName(lock).constData(), &times) == 0);
    }
    const qint64 mark = logMark();
    PosixSerialPort port;
    const QString error = openError(port, pty.path());
    if (refused) {
        QCOMPARE(
            error,
            QString("%1: locked by process %2 (%3)").arg(pty.path()).arg(::getppid()).arg(lock));
        QCOMPARE(eventsSince(mark, pty.path()).size(), 0);
        QCOMPARE(fileText(lock), content);
    } else {
        QCOMPARE(error, QString());
        QCOMPARE(fileText(lock), QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n');
        port.close();
        QVERIFY(!QFile::exists(lock));
    }
}

// A lock folder we cannot write in (here: none at all) leaves flock and TIOCEXCL to keep
// others out.
void TstSerialPort::noLockFolderGoesOn() {
    LockDir dir("/nonexistent/lock");
    Pty pty;
    QVERIFY(pty.ok());
    PosixSerialPort first, second;
    QCOMPARE(openError(first, pty.path()), QString());
    QCOMPARE(openError(second, pty.path()), pty.path() + ": Device or resource busy");
    QVERIFY(setDtr(first, true));
    QCOMPARE(lines(first.fd()), TIOCM_DTR);
}

int main(int argc, char **argv) {
    ensureLoaded();
    QCoreApplication app(argc, argv);
    TstSerialPort test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serialport.moc"

#pragma once

// Test side of the preloaded UART emulation (tests/uartemu): its log, the emulated lines,
// and pseudo-terminals to run against.

#include <QFile>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace uartemu {

// The tests need the emulation preloaded and logging (CTest sets both).
inline void ensureLoaded() {
    const char *log = std::getenv("UARTEMU_LOG");
    if (!dlsym(RTLD_DEFAULT, "uartemu_refuses") || !log || !*log) {
        std::fprintf(stderr, "run under LD_PRELOAD=libuartemu.so with UARTEMU_LOG set\n");
        std::exit(2);
    }
}

struct Event {
    qint64 ns = 0;
    qint64 pid = 0;
    int fd = 0;
    QString path;
    QString event;
    int dtr = -1;
    int rts = -1;
    int hupcl = -1; // tcsetattr only
    int clocal = -1;
    QString extra; // further fields, as " call=ioctl errno=EIO" on a fault line
};

inline QString logPath() {
    return QString::fromLocal8Bit(std::getenv("UARTEMU_LOG"));
}

// Where the next event will be appended.
inline qint64 logMark() {
    return QFile(logPath()).size();
}

inline const QRegularExpression &lineFormat() {
    static const QRegularExpression re(
        QStringLiteral("^(\\d+) (\\d+) (-?\\d+) (\\S+) (\\w+) DTR=([01]) RTS=([01])"
                       "(?: HUPCL=([01]) CLOCAL=([01]))?((?: \\w+=\\S+)*)$"));
    return re;
}

// The raw log lines after mark.
inline QStringList logLinesSince(qint64 mark) {
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly) || !file.seek(mark))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

// This process's events after mark; for one path when given. Unparsable lines come back
// with an empty event so that a test sees them.
inline QList<Event> eventsSince(qint64 mark, const QString &path = {}) {
    QList<Event> events;
    for (const QString &line : logLinesSince(mark)) {
        if (line.startsWith(u'#'))
            continue;
        const QRegularExpressionMatch m = lineFormat().match(line);
        Event e;
        if (m.hasMatch()) {
            e = {m.captured(1).toLongLong(),
                 m.captured(2).toLongLong(),
                 m.captured(3).toInt(),
                 m.captured(4),
                 m.captured(5),
                 m.captured(6).toInt(),
                 m.captured(7).toInt(),
                 m.captured(8).isEmpty() ? -1 : m.captured(8).toInt(),
                 m.captured(9).isEmpty() ? -1 : m.captured(9).toInt(),
                 m.captured(10)};
        } else {
            e.path = line;
        }
        if (e.pid != 0 && e.pid != ::getpid())
            continue;
        if (!path.isEmpty() && e.path != path)
            continue;
        events << e;
    }
    return events;
}

inline QStringList eventNames(const QList<Event> &events) {
    QStringList names;
    for (const Event &e : events)
        names << e.event;
    return names;
}

// The emulated register through TIOCMGET; -1 when it failed.
inline int lines(int fd) {
    int bits = 0;
    return ::ioctl(fd, TIOCMGET, &bits) == 0 ? bits & (TIOCM_DTR | TIOCM_RTS) : -1;
}

// A pseudo-terminal whose master stays open for the test; the slave is closed at once so
// that the code under test holds the only slave fds.
class Pty {
public:
    Pty() {
        int slave = -1;
        char name[64] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) == 0) {
            m_path = QString::fromLocal8Bit(name);
            ::close(slave);
        }
    }
    ~Pty() {
        if (m_master >= 0)
            ::close(m_master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    bool ok() const { return m_master >= 0 && !m_path.isEmpty(); }
    const QString &path() const { return m_path; }
    int master() const { return m_master; }
    // As an adapter pulled out: the slave side hangs up.
    void unplug() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    QString m_path;
};

} // namespace uartemu

#pragma once

// The ports tests' side of the line emulation (tests/uartemu): a pseudo-terminal, the lines the
// emulation keeps for a descriptor, and this process's calls on a device as it logged them.

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace emu {

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
    ~Pty() { ::close(master); }
};

// "DR": DTR and RTS, 1 high.
inline QString lines(int fd) {
    int bits = 0;
    ::ioctl(fd, TIOCMGET, &bits);
    return QStringLiteral("%1%2").arg(bits & TIOCM_DTR ? 1 : 0).arg(bits & TIOCM_RTS ? 1 : 0);
}

// Calls since the mark as "event DR", and "tcsetattr DR HUPCL": "open 11", "tcsetattr 00 1".
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
            QString call = w[4] + ' ' + w[5].right(1) + w[6].right(1);
            if (w.size() > 7 && w[7].startsWith("HUPCL="))
                call += ' ' + w[7].right(1);
            out << call;
        }
        return out;
    }
};

} // namespace emu

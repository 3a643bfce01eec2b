#include "UucpLock.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace zptt::uucp {

QStringList defaultDirs() {
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
}

QStringList lockNames(const QString &devicePath) {
    QStringList names;
    const qsizetype slash = devicePath.lastIndexOf(u'/');
    const QString base = devicePath.mid(slash + 1);
    if (!base.isEmpty())
        names << base;
    if (devicePath.startsWith(QLatin1String("/dev/"))) {
        QString rel = devicePath.mid(5);
        rel.replace(u'/', u'_');
        if (!rel.isEmpty() && !names.contains(rel))
            names << rel;
    }
    return names;
}

qint64 lockPid(const QByteArray &content) {
    // ASCII only when every byte is a digit or white space: a binary pid may well hold
    // digit bytes followed by NULs.
    const bool ascii = std::all_of(content.begin(), content.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == ' ' || c == '\t' || c == '\n' || c == '\r';
    });
    if (ascii) {
        bool ok = false;
        const qint64 pid = content.trimmed().toLongLong(&ok);
        return ok && pid > 0 ? pid : 0;
    }
    // Old programs wrote the pid as a binary int.
    if (content.size() == qsizetype(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary > 0 ? binary : 0;
    }
    return 0;
}

static bool alive(qint64 pid) {
    if (pid <= 0 || pid > 0x7fffffff)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

Holder liveHolder(const QStringList &devicePaths, const QStringList &dirs) {
    for (const QString &path : devicePaths) {
        for (const QString &name : lockNames(path)) {
            for (const QString &dir : dirs) {
                QFile file(dir + QLatin1String("/LCK..") + name);
                if (!file.open(QIODevice::ReadOnly))
                    continue;
                const qint64 pid = lockPid(file.read(64));
                if (pid != ::getpid() && alive(pid))
                    return {pid, file.fileName()};
            }
        }
    }
    return {};
}

} // namespace zptt::uucp

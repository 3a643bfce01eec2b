// SPDX-License-Identifier: GPL-3.0-or-later
#include "UucpLock.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zptt::uucp {

QStringList defaultDirs() {
    const QString forTests = qEnvironmentVariable("ZORORE_LOCK_DIR");
    if (!forTests.isEmpty())
        return {forTests};
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
    // Text: the leading number of the first line, whatever follows (HDB's "pid\n", QLockFile's
    // "pid\nname\nhost\n"). A binary pid may hold digit bytes followed by NULs.
    const bool text = std::all_of(content.begin(), content.end(), [](char c) {
        return (c >= ' ' && c != 0x7f) || c == '\t' || c == '\n' || c == '\r';
    });
    if (text) {
        const qsizetype newline = content.indexOf('\n');
        const QByteArray first = (newline < 0 ? content : content.first(newline)).trimmed();
        qsizetype digits = 0;
        while (digits < first.size() && first[digits] >= '0' && first[digits] <= '9')
            ++digits;
        const qint64 pid = digits <= 10 ? first.left(digits).toLongLong() : 0;
        return pid > 0 && pid <= 0x7fffffff ? pid : 0;
    }
    // Old programs wrote the pid as a binary int.
    if (content.size() == qsizetype(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary > 0 ? binary : 0;
    }
    return 0;
}

namespace {

enum class LockRead { Absent, Read, NotAFile };

// The first bytes of a lock file. The lock folders are writable by every user: a FIFO or a
// device put where a lock file belongs must never hang us in open() or be opened at all.
LockRead readLock(const QString &path, QByteArray &content) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? LockRead::NotAFile : LockRead::Absent; // a link, or unreadable
    struct stat st {};
    LockRead result = LockRead::NotAFile;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        content = n > 0 ? QByteArray(buf, n) : QByteArray();
        result = LockRead::Read;
    }
    ::close(fd);
    return result;
}

QString notALockFile(const QString &path) {
    return QStringLiteral("the lock file %1 is not a regular file").arg(path);
}

} // namespace

static bool alive(qint64 pid) {
    if (pid <= 0 || pid > 0x7fffffff)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

Holder liveHolder(const QStringList &devicePaths, const QStringList &dirs) {
    for (const QString &device : devicePaths) {
        for (const QString &name : lockNames(device)) {
            for (const QString &dir : dirs) {
                const QString path = dir + QLatin1String("/LCK..") + name;
                QByteArray content;
                const LockRead r = readLock(path, content);
                if (r == LockRead::NotAFile)
                    return {0, path, notALockFile(path)};
                if (r == LockRead::Absent)
                    continue;
                const qint64 pid = lockPid(content);
                if (pid != ::getpid() && alive(pid))
                    return {pid, path, {}};
            }
        }
    }
    return {};
}

QString lockFileName(const QString &resolvedDevicePath) {
    // The last name is the one below /dev with '/' as '_' (pts_3), or the base name.
    const QStringList names = lockNames(resolvedDevicePath);
    return names.isEmpty() ? QString() : QStringLiteral("LCK..") + names.last();
}

namespace {

// The lock files this process holds, so that a second port object on the same device is
// told apart from a stale file left by an earlier process that had our pid.
std::mutex g_heldMutex;
QSet<QString> g_held;

bool heldHere(const QString &file) {
    std::lock_guard lock(g_heldMutex);
    return g_held.contains(file);
}

void setHeldHere(const QString &file, bool held) {
    std::lock_guard lock(g_heldMutex);
    if (held)
        g_held.insert(file);
    else
        g_held.remove(file);
}

// A file created by a program that has not yet written its pid looks empty for a moment;
// one that stays so longer was left by a program that died in between.
constexpr auto kUnwrittenLockAge = std::chrono::seconds(1);
constexpr int kAttempts = 20;

std::chrono::milliseconds ageOf(const QByteArray &path) {
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return {};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 ms = (qint64(now.tv_sec) - st.st_mtim.tv_sec) * 1000 +
                      (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
    return std::chrono::milliseconds(ms);
}

} // namespace

OwnLock::OwnLock(OwnLock &&other) noexcept : m_file(std::move(other.m_file)) {
    other.m_file.clear();
}

OwnLock &OwnLock::operator=(OwnLock &&other) noexcept {
    if (this != &other) {
        release();
        m_file = std::move(other.m_file);
        other.m_file.clear();
    }
    return *this;
}

Holder OwnLock::acquire(const QString &resolvedDevicePath, const QStringList &dirs) {
    release();
    const QString name = lockFileName(resolvedDevicePath);
    if (name.isEmpty())
        return {};
    const QByteArray content =
        QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
    for (const QString &dir : dirs) {
        struct stat st {};
        if (::stat(QFile::encodeName(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        const QString path = dir + u'/' + name;
        const QByteArray native = QFile::encodeName(path);
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            const int fd = ::open(native.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::fchmod(fd, 0644); // readable by every other serial program, whatever our umask
                const bool written =
                    ::write(fd, content.constData(), std::size_t(content.size())) ==
                    ssize_t(content.size());
                if (::close(fd) != 0 || !written) {
                    // A full disk: a half-written lock would only confuse the others.
                    ::unlink(native.constData());
                    return {};
                }
                m_file = path;
                setHeldHere(path, true);
                return {};
            }
            // A folder we may not write in (a plain user outside the lock group, a read-only
            // system): go on without a lock; flock and TIOCEXCL still keep others out.
            if (errno != EEXIST)
                break;
            QByteArray existing;
            const LockRead r = readLock(path, existing);
            if (r == LockRead::NotAFile)
                return {0, path, notALockFile(path)};
            if (r == LockRead::Absent)
                continue; // removed in between
            const qint64 pid = lockPid(existing);
            if (pid == ::getpid()) {
                if (heldHere(path))
                    return {pid, path, {}};
            } else if (pid > 0 && alive(pid)) {
                return {pid, path, {}};
            } else if (pid == 0 && ageOf(native) < kUnwrittenLockAge) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            // Stale: its process is gone. (Two programs removing the same stale file at once
            // may both go on; flock on the device still lets only one of them in.)
            if (::unlink(native.constData()) != 0 && errno != ENOENT)
                break;
        }
        return {};
    }
    return {};
}

void OwnLock::release() {
    if (m_file.isEmpty())
        return;
    const QByteArray native = QFile::encodeName(m_file);
    // Only while it is still ours.
    QByteArray content;
    if (readLock(m_file, content) == LockRead::Read && lockPid(content) == ::getpid())
        ::unlink(native.constData());
    setHeldHere(m_file, false);
    m_file.clear();
}

} // namespace zptt::uucp

// SPDX-License-Identifier: GPL-3.0-or-later
#include "IniSettingsStore.h"

#include "SettingsErrors.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStringDecoder>

#include <optional>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zptt {

namespace {

// Longest a writer waits for another one before giving up.
constexpr int kLockTimeoutMs = 5000;
// An ownerless lock file older than this was left by a writer that died while creating it.
constexpr qint64 kOwnerlessLockMs = 1000;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArray trimBlanks(const QByteArray &s) {
    qsizetype from = 0;
    qsizetype to = s.size();
    while (from < to && isBlank(s[from]))
        ++from;
    while (to > from && isBlank(s[to - 1]))
        --to;
    return s.mid(from, to - from);
}

// One line of the file exactly as read, terminator included.
struct Line {
    QByteArray raw;

    QByteArray content() const {
        qsizetype n = raw.size();
        if (n > 0 && raw[n - 1] == '\n')
            --n;
        if (n > 0 && raw[n - 1] == '\r')
            --n;
        // Editors may start the file with a byte order mark; it is kept when writing back.
        const qsizetype bom = raw.startsWith("\xEF\xBB\xBF") ? std::min<qsizetype>(3, n) : 0;
        return raw.mid(bom, n - bom);
    }
    bool terminated() const { return raw.endsWith('\n'); }
};

std::vector<Line> splitLines(const QByteArray &data) {
    std::vector<Line> lines;
    qsizetype from = 0;
    while (from < data.size()) {
        qsizetype nl = data.indexOf('\n', from);
        const qsizetype end = nl < 0 ? data.size() : nl + 1;
        lines.push_back({data.mid(from, end - from)});
        from = end;
    }
    return lines;
}

// What a line means; anything that is neither a header nor an entry is kept untouched.
struct Parsed {
    enum Kind { Other, Header, Entry } kind = Other;
    QByteArray name;  // section or key
    QByteArray value; // entry value as written, blanks around it removed
};

Parsed parseLine(const QByteArray &content) {
    const QByteArray t = trimBlanks(content);
    if (t.isEmpty() || t[0] == ';' || t[0] == '#')
        return {};
    if (t[0] == '[') {
        const qsizetype close = t.indexOf(']');
        if (close < 0)
            return {};
        const QByteArray rest = trimBlanks(t.mid(close + 1));
        if (!rest.isEmpty() && rest[0] != ';' && rest[0] != '#')
            return {};
        return {Parsed::Header, trimBlanks(t.mid(1, close - 1)), {}};
    }
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0)
        return {};
    const QByteArray key = trimBlanks(t.left(eq));
    if (key.isEmpty())
        return {};
    return {Parsed::Entry, key, trimBlanks(t.mid(eq + 1))};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// QString::fromUtf8 drops a leading U+FEFF as a byte order mark; in a value it is a character.
QString utf8Text(const QByteArray &bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

// A quoted value loses its quotes and escapes; anything else, backslashes included, is the
// text itself. An unterminated quote is taken literally too.
QString decodeValue(const QByteArray &v) {
    if (!v.startsWith('"'))
        return utf8Text(v);
    QString out;
    QByteArray run; // literal bytes, decoded together so multi-byte UTF-8 stays whole
    auto put = [&](QChar c) {
        out += utf8Text(run);
        run.clear();
        out += c;
    };
    for (qsizetype i = 1; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '"') {
            out += utf8Text(run);
            return out;
        }
        if (c != '\\' || i + 1 >= v.size()) {
            run += c;
            continue;
        }
        const char n = v[i + 1];
        int hi = -1;
        int lo = -1;
        if (n == 'x' && i + 3 < v.size()) {
            hi = hexDigit(v[i + 2]);
            lo = hexDigit(v[i + 3]);
        }
        if (n == '\\' || n == '"') {
            run += n;
        } else if (n == 'n') {
            put(QLatin1Char('\n'));
        } else if (n == 'r') {
            put(QLatin1Char('\r'));
        } else if (n == 't') {
            put(QLatin1Char('\t'));
        } else if (hi >= 0 && lo >= 0) {
            put(QChar(char16_t(hi * 16 + lo)));
            i += 2;
        } else {
            run += c; // unknown escape: both characters as they are
            continue;
        }
        ++i;
    }
    return utf8Text(v); // no closing quote
}

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// Plain when reading back gives the same text; otherwise quoted with escapes.
QByteArray encodeValue(const QString &text) {
    bool quote =
        !text.isEmpty() && (text.front() == QLatin1Char(' ') || text.back() == QLatin1Char(' ') ||
                            text.front() == QLatin1Char('"'));
    for (QChar c : text)
        quote = quote || isControl(c.unicode());
    if (!quote)
        return text.toUtf8();
    QByteArray out = "\"";
    QString run; // plain characters, encoded together so surrogate pairs stay whole
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u != '\\' && u != '"' && !isControl(u)) {
            run += c;
            continue;
        }
        out += run.toUtf8();
        run.clear();
        if (u == '\\' || u == '"')
            out += QByteArray("\\") + char(u);
        else if (u == '\n')
            out += "\\n";
        else if (u == '\r')
            out += "\\r";
        else if (u == '\t')
            out += "\\t";
        else
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
    }
    return out + run.toUtf8() + '"';
}

// The file's bytes; an absent file (or a link to nothing) is empty. Never blocks and never
// opens anything but a regular file: a FIFO or a device where the file should be would hang the
// program in open(), or raise a serial port's lines.
QByteArray readAll(const QString &path, QString *error = nullptr) {
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (!info.isFile()) {
        if (error)
            *error = QStringLiteral("it is not a regular file");
        return {};
    }
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("it is not a regular file");
        return {};
    }
    const bool opened = fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (fd < 0 && errno == ENOENT)
        return {};
#else
    file.setFileName(path);
    const bool opened = file.open(QIODevice::ReadOnly);
#endif
    if (!opened) {
        if (error)
            *error = file.errorString().isEmpty() ? qt_error_string(errno) : file.errorString();
        return {};
    }
    return file.readAll();
}

// Names that a line of the file cannot hold unambiguously.
bool usableName(const QString &name, bool section) {
    if (name.isEmpty() || name.trimmed() != name)
        return false;
    for (QChar c : name) {
        if (isControl(c.unicode()) || c == QLatin1Char(section ? ']' : '='))
            return false;
    }
    return section || (name[0] != QLatin1Char('[') && name[0] != QLatin1Char(';') &&
                       name[0] != QLatin1Char('#'));
}

bool acquire(QLockFile &lock, const QString &lockPath) {
    QDeadlineTimer deadline(kLockTimeoutMs);
    for (;;) {
        if (lock.tryLock(200))
            return true;
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return false;
        // QLockFile writes the owner into the file only after creating it; a writer killed in
        // between leaves a file that QLockFile itself would honour for its 30 s stale time.
        qint64 pid = 0;
        QString host;
        QString app;
        const QDateTime modified = QFileInfo(lockPath).lastModified();
        if (!lock.getLockInfo(&pid, &host, &app) && modified.isValid() &&
            modified.msecsTo(QDateTime::currentDateTime()) > kOwnerlessLockMs)
            lock.removeStaleLockFile();
    }
}

// The rename is durable only once the directory entry is too.
void syncDirectory(const QString &dir) {
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(dir);
#endif
}

// The file's text with the key set to the text; the rest of the file as it was.
QByteArray withValue(const QByteArray &old, const QString &section, const QString &key,
                     const QString &text) {
    std::vector<Line> lines = splitLines(old);
    const QByteArray eol = !lines.empty() && lines[0].raw.endsWith("\r\n") ? "\r\n" : "\n";
    const QByteArray wantSection = section.toUtf8();
    const QByteArray wantKey = key.toUtf8();
    const QByteArray entry = wantKey + '=' + encodeValue(text);

    std::optional<std::size_t> found;
    std::optional<std::size_t> sectionEnd; // last header or entry of the section
    std::vector<std::size_t> duplicates;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Parsed p = parseLine(lines[i].content());
        if (p.kind == Parsed::Header) {
            inSection = p.name == wantSection;
            if (inSection)
                sectionEnd = i;
        } else if (p.kind == Parsed::Entry && inSection) {
            sectionEnd = i;
            if (p.name != wantKey)
                continue;
            if (found)
                duplicates.push_back(i);
            else
                found = i;
        }
    }

    auto terminate = [&](std::size_t i) {
        // A last line ending in a lone CR only lacks the LF: another CR would join its value.
        if (!lines[i].terminated())
            lines[i].raw += lines[i].raw.endsWith('\r') ? QByteArray("\n") : eol;
    };
    if (found) {
        Line &line = lines[*found];
        const qsizetype contentSize = line.content().size();
        line.raw = entry + line.raw.mid(contentSize);
        for (auto it = duplicates.rbegin(); it != duplicates.rend(); ++it)
            lines.erase(lines.begin() + std::ptrdiff_t(*it));
    } else if (sectionEnd) {
        terminate(*sectionEnd);
        lines.insert(lines.begin() + std::ptrdiff_t(*sectionEnd) + 1, Line{entry + eol});
    } else {
        if (!lines.empty()) {
            terminate(lines.size() - 1);
            if (!trimBlanks(lines.back().content()).isEmpty())
                lines.push_back({eol});
        }
        lines.push_back({'[' + wantSection + ']' + eol});
        lines.push_back({entry + eol});
    }

    QByteArray data;
    data.reserve(old.size() + entry.size() + 64);
    for (const Line &line : lines)
        data += line.raw;
    return data;
}

} // namespace

IniSettingsStore::IniSettingsStore(QString configRoot) : m_root(std::move(configRoot)) {}

QString IniSettingsStore::defaultConfigRoot() {
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString IniSettingsStore::filePath(const QString &application) const {
    return m_root + QLatin1Char('/') + application + QLatin1Char('/') + application +
           QStringLiteral(".conf");
}

QString IniSettingsStore::GetSetting(const QString &application, const QString &section,
                                     const QString &key) const {
    const QByteArray data = readAll(filePath(application));
    const QByteArray wantSection = section.toUtf8();
    const QByteArray wantKey = key.toUtf8();
    bool inSection = false;
    QString result;
    for (const Line &line : splitLines(data)) {
        const Parsed p = parseLine(line.content());
        if (p.kind == Parsed::Header)
            inSection = p.name == wantSection;
        else if (p.kind == Parsed::Entry && inSection && p.name == wantKey)
            result = decodeValue(p.value);
    }
    return result;
}

QStringList IniSettingsStore::Keys(const QString &application, const QString &section) const {
    const QByteArray wantSection = section.toUtf8();
    bool inSection = false;
    QStringList keys;
    for (const Line &line : splitLines(readAll(filePath(application)))) {
        const Parsed p = parseLine(line.content());
        if (p.kind == Parsed::Header)
            inSection = p.name == wantSection;
        else if (p.kind == Parsed::Entry && inSection && !keys.contains(utf8Text(p.name)))
            keys << utf8Text(p.name);
    }
    return keys;
}

void IniSettingsStore::SaveSetting(const QString &application, const QString &section,
                                   const QString &key, const QString &text) {
    SaveSettings(application, section, {{key, text}});
}

void IniSettingsStore::SaveSettings(const QString &application, const QString &section,
                                    const Values &values) {
    const QString path = filePath(application);
    if (!usableName(section, true))
        throw StoreWriteError(
            path, QStringLiteral("the section name \"%1\" cannot be stored").arg(section));
    for (const auto &[key, text] : values)
        if (!usableName(key, false))
            throw StoreWriteError(path, QStringLiteral("the key \"%1\" cannot be stored").arg(key));
    const auto changed = [&](QByteArray data) {
        for (const auto &[key, text] : values)
            data = withValue(data, section, key, text);
        return data;
    };

    // Nothing to change takes no lock and writes nothing: a read-only folder serves for as long
    // as the operator changes nothing.
    QString readError;
    if (const QByteArray current = readAll(path, &readError);
        readError.isEmpty() && QFileInfo::exists(path) && changed(current) == current)
        return;

    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        throw StoreWriteError(path, QStringLiteral("cannot create the folder %1").arg(dir));

    const QString lockPath = path + QStringLiteral(".lock");
    if (const QFileInfo lockInfo(lockPath); lockInfo.exists() && !lockInfo.isFile())
        throw StoreWriteError(
            path, QStringLiteral("its lock file %1 is not a regular file").arg(lockPath));
    QLockFile lock(lockPath);
    if (!acquire(lock, lockPath)) {
        throw StoreWriteError(path, lock.error() == QLockFile::LockFailedError
                                        ? QStringLiteral("another program keeps it locked")
                                        : QStringLiteral("cannot create its lock file"));
    }

    readError.clear();
    const QByteArray old = readAll(path, &readError);
    if (!readError.isEmpty())
        throw StoreWriteError(path, QStringLiteral("cannot read it: %1").arg(readError));

    const QByteArray data = changed(old);
    if (data == old && QFileInfo::exists(path))
        return;

    // A complete new file renamed over the old one: a reader or a crash sees one or the other.
    QSaveFile file(path);
    // Unbuffered: a buffered write "succeeds" into memory, and commit() would then rename an
    // empty file over the settings when the real write fails (disk full).
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw StoreWriteError(path, file.errorString());
    if (file.write(data) != data.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw StoreWriteError(path, reason);
    }
    if (!file.commit())
        throw StoreWriteError(path, file.errorString());
    syncDirectory(dir);
}

} // namespace zptt

#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "WriterValue.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zptt;

namespace {

const QString kApp = QStringLiteral("Zorore_PTT");
const QString kSec = QStringLiteral("Settings");

void writeFile(const QString &path, const QByteArray &data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

void startWriter(QProcess &p, const QString &root, const char *prefix, int count, int size,
                 bool loop) {
    p.start(ZPTT_WRITER,
            {root, prefix, QString::number(count), QString::number(size), loop ? "1" : "0"});
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestIniSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void init();
    void defaultRoot();
    void reading_data();
    void reading();
    void firstWriteCreatesFile();
    void editing_data();
    void editing();
    void valuesRoundTrip_data();
    void valuesRoundTrip();
    void permissionsKept();
    void failedWrite_data();
    void failedWrite();
    void fullDiskKeepsTheFile();
    void lockHeldElsewhere();
    void killDuringWrite();
    void concurrentWriters();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString conf() const { return IniSettingsStore(m_dir->path()).filePath(kApp); }
};

void TestIniSettingsStore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestIniSettingsStore::defaultRoot() {
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const QString home = QDir::homePath() + "/.config";
    using Case = std::pair<QByteArray, QString>;
    for (const auto &[xdg, root] : {Case{"/tmp/cfg", "/tmp/cfg"}, {"", home}, {"relative", home}}) {
        qputenv("XDG_CONFIG_HOME", xdg);
        QCOMPARE(IniSettingsStore().filePath(kApp), root + "/Zorore_PTT/Zorore_PTT.conf");
    }
    qputenv("XDG_CONFIG_HOME", saved);
}

void TestIniSettingsStore::reading_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    auto row = [](const char *name, const QByteArray &file, const char *key, const char *value) {
        QTest::newRow(name) << file << QString(key) << QString(value);
    };
    row("absent file", QByteArray(), "Timer", "");
    row("absent section", "[Ports]\nTimer=1\n", "Timer", "");
    row("absent key", "[Settings]\nOnTop=1\n", "Timer", "");
    row("last duplicate wins", "[Settings]\nTimer=1\nTimer=2\n", "Timer", "2");
    row("blocks are one section", "[Settings]\nTimer=1\n[Ports]\nOnTop=7\n[Settings]\nOnTop=2\n",
        "OnTop", "2");
    row("key case", "[Settings]\ntimer=1\n", "Timer", "");
    row("blanks trimmed", "[ Settings ]\n  Timer \t= 12 \n", "Timer", "12");
    row("plain backslashes", "[Settings]\nComPort=C:\\x\\n\n", "ComPort", "C:\\x\\n");
    row("quoted", "[Settings]\nTimer=\" a\\\"b\\\\c\\x41\\n\"\n", "Timer", " a\"b\\cA\n");
    row("unterminated quote", "[Settings]\nTimer=\"ab\n", "Timer", "\"ab");
    row("before any section", "Timer=3\n[Settings]\n", "Timer", "");
    row("crlf", "[Settings]\r\nTimer=6\r\n", "Timer", "6");
    row("byte order mark", "\xEF\xBB\xBF[Settings]\nTimer=4\n", "Timer", "4");
    row("garbage", QByteArray("\x00\x01\xff[[[===\n\xfe", 12), "Timer", "");
}

void TestIniSettingsStore::reading() {
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QString, value);
    if (!file.isNull())
        writeFile(conf(), file);
    QCOMPARE(IniSettingsStore(m_dir->path()).GetSetting(kApp, kSec, key), value);
}

void TestIniSettingsStore::firstWriteCreatesFile() {
    IniSettingsStore store(m_dir->path() + "/deep/er");
    store.SaveSetting(kApp, kSec, "OnTop", "1");
    QCOMPARE(readFile(store.filePath(kApp)), QByteArray("[Settings]\nOnTop=1\n"));
    QCOMPARE(IniSettingsStore(m_dir->path() + "/deep/er").GetSetting(kApp, kSec, "OnTop"), "1");
}

void TestIniSettingsStore::editing_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("after");
    auto row = [](const char *name, const char *before, const char *key, const char *after) {
        QTest::newRow(name) << QByteArray(before) << QString(key) << QByteArray(after);
    };
    row("in place, all else kept",
        "; comment\n# other\n\n[Other]\nOnTop=9\n[Settings]\n"
        "Position-Left = 100 \nno equals here\n\xff\xfe bad=utf8\nOnTop=0\nTimer=5\n",
        "OnTop",
        "; comment\n# other\n\n[Other]\nOnTop=9\n[Settings]\n"
        "Position-Left = 100 \nno equals here\n\xff\xfe bad=utf8\nOnTop=X\nTimer=5\n");
    row("later duplicates dropped",
        "[Settings]\nTimer=1\nOnTop=0\nTimer=2\n[Ports]\nTimer=7\n[Settings]\nTimer=3\n", "Timer",
        "[Settings]\nTimer=X\nOnTop=0\n[Ports]\nTimer=7\n[Settings]\n");
    row("byte order mark kept", "\xEF\xBB\xBF[Settings]\nTimer=1\n", "Timer",
        "\xEF\xBB\xBF[Settings]\nTimer=X\n");
    row("appended to section", "[Settings]\nOnTop=1\n\n; ports\n[Ports]\nCOM5=/dev/x\n", "Timer",
        "[Settings]\nOnTop=1\nTimer=X\n\n; ports\n[Ports]\nCOM5=/dev/x\n");
    row("appended to last block", "[Settings]\nA=1\n[Ports]\nB=2\n[Settings]\nC=3\n; end\n",
        "Timer", "[Settings]\nA=1\n[Ports]\nB=2\n[Settings]\nC=3\nTimer=X\n; end\n");
    row("section appended, no final newline", "[Ports]\nCOM5=/dev/x", "Timer",
        "[Ports]\nCOM5=/dev/x\n\n[Settings]\nTimer=X\n");
    row("final line ending in a lone CR", "[Ports]\r\nCOM5=/dev/x\r", "Timer",
        "[Ports]\r\nCOM5=/dev/x\r\n\r\n[Settings]\r\nTimer=X\r\n");
    row("empty file", "", "Timer", "[Settings]\nTimer=X\n");
    row("crlf kept", "[Settings]\r\nOnTop=0\r\n", "Timer", "[Settings]\r\nOnTop=0\r\nTimer=X\r\n");
    row("other case is another key", "[Settings]\ntimer=1\n", "Timer",
        "[Settings]\ntimer=1\nTimer=X\n");
}

void TestIniSettingsStore::editing() {
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QByteArray, after);
    writeFile(conf(), before);
    IniSettingsStore(m_dir->path()).SaveSetting(kApp, kSec, key, "X");
    QCOMPARE(readFile(conf()), after);
}

void TestIniSettingsStore::valuesRoundTrip_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("quoted");
    auto row = [](const char *name, const QString &text, bool quoted) {
        QTest::newRow(name) << text << quoted;
    };
    row("list-like", "a,b", false);
    row("semicolon", "x;y # z", false);
    row("equals", "k=v", false);
    row("percent", "100%", false);
    row("backslashes", "C:\\x\\n", false);
    row("non-ascii", QStringLiteral(u"\u00e9\u65e5 \U0001F4FB"), false);
    row("empty", "", false);
    row("leading blanks", "  lead", true);
    row("trailing blank", "trail ", true);
    row("newlines", "line1\nline2\r\n", true);
    row("control", QStringLiteral(u"\u0001\u007f\u0085"), true);
    row("starts with quote", "\"quoted\"", true);
    row("quote and backslash", "\"\\x41\\", true);
    row("leading U+FEFF", QStringLiteral(u"\uFEFFx"), false);
    row("U+FEFF after an escape", QStringLiteral(u"a\n\uFEFFb"), true);
}

void TestIniSettingsStore::valuesRoundTrip() {
    QFETCH(QString, text);
    QFETCH(bool, quoted);
    IniSettingsStore(m_dir->path()).SaveSetting(kApp, kSec, "V", text);
    IniSettingsStore(m_dir->path()).SaveSetting(kApp, kSec, "After", "z");
    QCOMPARE(IniSettingsStore(m_dir->path()).GetSetting(kApp, kSec, "V"), text);
    const QList<QByteArray> lines = readFile(conf()).split('\n');
    QCOMPARE(lines.size(), 4); // header, V, After, and the empty rest after the last newline
    QCOMPARE(lines[1].startsWith("V=\""), quoted);
}

void TestIniSettingsStore::permissionsKept() {
    IniSettingsStore store(m_dir->path());
    store.SaveSetting(kApp, kSec, "OnTop", "1");
    QCOMPARE(::chmod(QFile::encodeName(conf()).constData(), 0640), 0);
    store.SaveSetting(kApp, kSec, "OnTop", "2");
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(conf()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    QCOMPARE(store.GetSetting(kApp, kSec, "OnTop"), QString("2"));
}

void TestIniSettingsStore::failedWrite_data() {
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<bool>("rootIgnores");
    // Relative to the store's root; each one makes the write impossible.
    QTest::newRow("root is a file") << "" << false;
    QTest::newRow("folder is a file") << "/Zorore_PTT" << false;
    QTest::newRow("file is a folder") << "/Zorore_PTT/Zorore_PTT.conf" << false;
    QTest::newRow("lock is a folder") << "/Zorore_PTT/Zorore_PTT.conf.lock" << false;
    QTest::newRow("read-only folder") << "/Zorore_PTT" << true;
}

void TestIniSettingsStore::failedWrite() {
    QFETCH(QString, blocker);
    QFETCH(bool, rootIgnores);
    if (rootIgnores && ::geteuid() == 0)
        QSKIP("permission bits do not stop root");
    const QString root = m_dir->path() + "/root";
    IniSettingsStore store(root);
    const bool folderBlocker = blocker.endsWith(".conf") || blocker.endsWith(".lock");
    if (folderBlocker || rootIgnores)
        store.SaveSetting(kApp, kSec, "OnTop", "2"); // an earlier value that must survive
    if (rootIgnores) {
        QVERIFY(
            QFile::setPermissions(root + blocker, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    } else if (folderBlocker) {
        if (blocker.endsWith(".conf"))
            QVERIFY(QFile::remove(root + blocker));
        QVERIFY(QDir().mkpath(root + blocker));
    } else {
        QDir().mkpath(QFileInfo(root + blocker).absolutePath());
        writeFile(root + blocker, "x");
    }
    try {
        store.SaveSetting(kApp, kSec, "Timer", "5");
        QFAIL("the write did not fail");
    } catch (const StoreWriteError &e) {
        QCOMPARE(e.path(), store.filePath(kApp));
        QVERIFY(QString::fromStdString(e.what()).contains(store.filePath(kApp)));
        QVERIFY(!e.reason().isEmpty());
    }
    if (rootIgnores || blocker.endsWith(".lock"))
        QCOMPARE(store.GetSetting(kApp, kSec, "OnTop"), QString("2"));
    QCOMPARE(store.GetSetting(kApp, kSec, "Timer"), QString()); // unreadable reads as empty
    if (rootIgnores)
        QFile::setPermissions(root + blocker,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A write the disk refuses (here: beyond the file size limit) must fail loudly and leave the
// old file as it was, never rename a short one over it.
void TestIniSettingsStore::fullDiskKeepsTheFile() {
    IniSettingsStore store(m_dir->path());
    store.SaveSetting(kApp, "Settings", "Height", "3090");
    QFile before(conf());
    QVERIFY(before.open(QIODevice::ReadOnly));
    const QByteArray original = before.readAll();
    before.close();

    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        store.SaveSetting(kApp, "Settings", "Note", QString(8000, QLatin1Char('x')));
    } catch (const StoreWriteError &) {
        threw = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(threw);
    QFile after(conf());
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), original);
    QCOMPARE(store.GetSetting(kApp, "Settings", "Height"), QStringLiteral("3090"));
}

void TestIniSettingsStore::lockHeldElsewhere() {
    IniSettingsStore store(m_dir->path());
    store.SaveSetting(kApp, kSec, "OnTop", "2");
    // A lock file without an owner, as a writer killed while taking the lock leaves it.
    QFile ownerless(conf() + ".lock");
    QVERIFY(ownerless.open(QIODevice::WriteOnly));
    QVERIFY(ownerless.setFileTime(QDateTime::currentDateTime().addSecs(-5),
                                  QFileDevice::FileModificationTime));
    ownerless.close();
    store.SaveSetting(kApp, kSec, "OnTop", "3");
    QCOMPARE(store.GetSetting(kApp, kSec, "OnTop"), QString("3"));
    QLockFile other(conf() + ".lock");
    QVERIFY(other.tryLock(0));
    QVERIFY_THROWS_EXCEPTION(StoreWriteError, store.SaveSetting(kApp, kSec, "OnTop", "1"));
    other.unlock();
    store.SaveSetting(kApp, kSec, "OnTop", "1");
    QCOMPARE(store.GetSetting(kApp, kSec, "OnTop"), QString("1"));
}

// A writer killed at any moment leaves the old file or the new one, never a mix.
void TestIniSettingsStore::killDuringWrite() {
    constexpr int kKeys = 3;
    constexpr int kSize = 200000;
    IniSettingsStore store(m_dir->path());
    int complete = 0;
    for (int round = 0; round < 25; ++round) {
        QProcess writer;
        startWriter(writer, m_dir->path(), "Big", kKeys, kSize, true);
        QVERIFY(writer.waitForStarted());
        QTest::qWait(int(QRandomGenerator::global()->bounded(20, 150)));
        writer.kill();
        QVERIFY(writer.waitForFinished());
        for (int k = 0; k < kKeys; ++k) {
            const QString v = store.GetSetting(kApp, kSec, "Big" + QString::number(k));
            if (v.isEmpty())
                continue;
            const int n = v.section(':', 1, 1).section('#', 0, 0).toInt();
            QCOMPARE(v, writerValue(k, n, kSize));
            ++complete;
        }
    }
    QVERIFY(complete > 0);
    // The killed writers' locks are stale and must not block the next one.
    QProcess last;
    startWriter(last, m_dir->path(), "Big", 1, 10, false);
    QVERIFY(last.waitForFinished(30000));
    QVERIFY2(last.exitCode() == 0, last.readAllStandardError().constData());
    QCOMPARE(store.GetSetting(kApp, kSec, "Big0"), writerValue(0, 0, 10));
}

void TestIniSettingsStore::concurrentWriters() {
    constexpr int kKeys = 40;
    QProcess a;
    QProcess b;
    startWriter(a, m_dir->path(), "A", kKeys, 100, false);
    startWriter(b, m_dir->path(), "B", kKeys, 100, false);
    QVERIFY(a.waitForFinished(60000));
    QVERIFY(b.waitForFinished(60000));
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);
    IniSettingsStore store(m_dir->path());
    for (int k = 0; k < kKeys; ++k) {
        QCOMPARE(store.GetSetting(kApp, kSec, "A" + QString::number(k)), writerValue(k, 0, 100));
        QCOMPARE(store.GetSetting(kApp, kSec, "B" + QString::number(k)), writerValue(k, 0, 100));
    }
}

QTEST_GUILESS_MAIN(TestIniSettingsStore)
#include "tst_inisettingsstore.moc"

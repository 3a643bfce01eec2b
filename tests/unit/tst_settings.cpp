// Stored texts and the settings file. Run with --writer, the binary is the store tests' second
// process: it writes keys PREFIX0.. once, or in a loop until killed.

#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "TextForms.h"
#include "Twips.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace zptt;

namespace {

const QString kApp = QStringLiteral("Zorore_PTT");
const QString kSec = QStringLiteral("Settings");
const QLocale kC = QLocale::c();
const QLocale kGerman(QLocale::German, QLocale::Germany);
const QLocale kUs(QLocale::English, QLocale::UnitedStates);

template <typename F> QString outcome(F &&conversion) {
    try {
        return QString::number(double(conversion()), 'g', 9);
    } catch (const TypeMismatchError &) {
        return QStringLiteral("mismatch");
    } catch (const OverflowError &) {
        return QStringLiteral("overflow");
    }
}

// Key k's value in a writer's pass n: large, in need of quoting, its pass told by its start.
QString writerValue(int k, int n, int size) {
    return QStringLiteral("#%1:%2#").arg(k).arg(n).leftJustified(size - 1, u'\n') + u'$';
}

int writer(const QStringList &a) { // ROOT PREFIX COUNT SIZE LOOP
    IniSettingsStore store(a[0]);
    for (int n = 0; n == 0 || a[4] == QLatin1String("1"); ++n) {
        for (int k = 0; k < a[2].toInt(); ++k)
            store.SaveSetting(kApp, kSec, a[1] + QString::number(k),
                              writerValue(k, n, a[3].toInt()));
    }
    return 0;
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString conf() const { return IniSettingsStore(m_dir.path()).filePath(kApp); }
    void startWriter(QProcess &p, const QStringList &args) {
        p.start(QCoreApplication::applicationFilePath(),
                QStringList{"--writer", m_dir.path()} + args);
    }

private slots:
    void init() { QDir(m_dir.path() + "/Zorore_PTT").removeRecursively(); }

    void conversions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("single"); // ToSingleStrict
        QTest::addColumn<QString>("int16");  // ToInt16Strict
        QTest::addColumn<QString>("lenient");
        auto row = [](const QString &text, const char *single, const char *int16,
                      const char *lenient, const QLocale &locale = kC) {
            QString name = locale.name() + ' ' + text.left(20);
            name.replace('\n', '~').replace('\r', '~').replace('\t', '~');
            QTest::newRow(qPrintable(name)) << text << locale << single << int16 << lenient;
        };
        row("1635", "1635", "1635", "1635");
        row(" \t12.5 \n", "12.5", "12", "12");
        row("2.5", "2.5", "2", "2");
        row("3.5", "3.5", "4", "4");
        row("-2.5", "-2.5", "-2", "-2");
        row("32767.5", "32767.5", "overflow", "overflow");
        row("-32768.5", "-32768.5", "-32768", "-32768");
        row("3.402823e38", "3.40282306e+38", "overflow", "overflow");
        row("1e39", "overflow", "overflow", "overflow");
        row("1e-999", "0", "0", "0");
        row("", "mismatch", "mismatch", "0");
        row("nan", "mismatch", "mismatch", "0");
        row("12abc", "mismatch", "mismatch", "12");
        row("1\r\n0", "mismatch", "mismatch", "10");
        row("5 min", "mismatch", "mismatch", "5");
        row("1,5", "mismatch", "mismatch", "1");
        row(QString(100000, u'9'), "overflow", "overflow", "overflow");
        row("1,234.5", "mismatch", "mismatch", "1", kUs); // written under another locale
        row("1234,5", "1234.5", "1234", "1234", kGerman);
        row("1,5E3", "1500", "1500", "1", kGerman);
        row("1.234,5", "mismatch", "mismatch", "1", kGerman);
        row("1234.5", "mismatch", "mismatch", "1234", kGerman);
    }
    void conversions() {
        QFETCH(QString, text);
        QFETCH(QLocale, locale);
        QFETCH(QString, single);
        QFETCH(QString, int16);
        QFETCH(QString, lenient);
        QCOMPARE(outcome([&] { return ToSingleStrict("K", text, locale); }), single);
        QCOMPARE(outcome([&] { return ToInt16Strict("K", text, locale); }), int16);
        QCOMPARE(outcome([&] { return ToInt16Lenient("K", text); }), lenient);
    }

    // What the window stores for a position or height, and that it reads back the same.
    void numberText() {
        const std::pair<float, const char *> rows[] = {
            {1635.0f, "1635"},         {1234.5f, "1234,5"}, {12345678.0f, "12345680"}, {-0.0f, "0"},
            {-1.5e-7f, "-0,00000015"}, {NAN, "nan"},        {-INFINITY, "-inf"}};
        for (const auto &[value, text] : rows) {
            QCOMPARE(NumberText(value, kGerman), text);
            if (std::isfinite(value))
                QCOMPARE(NumberText(ToSingleStrict("K", text, kGerman), kGerman), text);
        }
        QCOMPARE(NumberText(1234.5f, kC), "1234.5");
    }

    void twipsToPixels() { // a half pixel goes to the even neighbour
        QCOMPARE(zptt::twipsToPixels(337.5, twipsPerPixel(96)), 22);
        QCOMPARE(zptt::twipsToPixels(352.5, twipsPerPixel(96)), 24);
        QCOMPARE(zptt::twipsToPixels(3090, twipsPerPixel(120)), 258);
    }

    // Stored texts are quoted short and on one line in the warnings.
    void messages() {
        QCOMPARE(QString(TypeMismatchError("Height", "abc").what()),
                 QString("Height: \"abc\" is not a number"));
        QCOMPARE(QString(OverflowError("Timer", "9\n" + QString(45, '9')).what()),
                 "Timer: \"9 " + QString(38, '9') + "...\" is out of range");
    }

    // A file as a hand edit may leave it: what a key reads, and the file after storing "X".
    void file_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("read");
        QTest::addColumn<QByteArray>("after");
        auto row = [](const char *name, const QByteArray &before, const char *key, const char *read,
                      const QByteArray &after) {
            QTest::newRow(name) << before << QString(key) << QString(read) << after;
        };
        row("no file", QByteArray(), "Timer", "", "[Settings]\nTimer=X\n");
        row("foreign lines kept",
            "; c\n# o\n\n[Other]\nOnTop=9\n[Settings]\nPosition-Left = 100 \nno equals\n"
            "\xff\xfe bad=utf8\nOnTop=0\nTimer=5\n",
            "OnTop", "0",
            "; c\n# o\n\n[Other]\nOnTop=9\n[Settings]\nPosition-Left = 100 \nno equals\n"
            "\xff\xfe bad=utf8\nOnTop=X\nTimer=5\n");
        row("last duplicate read, later ones dropped",
            "[Settings]\nTimer=1\nOnTop=0\nTimer=2\n[Ports]\nTimer=7\n[Settings]\nTimer=3\n",
            "Timer", "3", "[Settings]\nTimer=X\nOnTop=0\n[Ports]\nTimer=7\n[Settings]\n");
        row("key case", "[Settings]\ntimer=1\n", "Timer", "", "[Settings]\ntimer=1\nTimer=X\n");
        row("before any section", "Timer=3\n[Settings]\n", "Timer", "",
            "Timer=3\n[Settings]\nTimer=X\n");
        row("added to its section", "[Settings]\nOnTop=1\n\n; p\n[Ports]\nCOM5=/dev/x\n", "Timer",
            "", "[Settings]\nOnTop=1\nTimer=X\n\n; p\n[Ports]\nCOM5=/dev/x\n");
        row("no final newline", "[Ports]\nCOM5=/dev/x", "Timer", "",
            "[Ports]\nCOM5=/dev/x\n\n[Settings]\nTimer=X\n");
        row("lone CR at the end", "[Ports]\r\nCOM5=/dev/x\r", "Timer", "",
            "[Ports]\r\nCOM5=/dev/x\r\n\r\n[Settings]\r\nTimer=X\r\n");
        row("CRLF", "[Settings]\r\nTimer=6\r\n", "Timer", "6", "[Settings]\r\nTimer=X\r\n");
        row("byte order mark", "\xEF\xBB\xBF[Settings]\nTimer=4\n", "Timer", "4",
            "\xEF\xBB\xBF[Settings]\nTimer=X\n");
        row("blanks and quotes", "[ Settings ]\n  Timer \t= \" a\\\"b\\x41\\n\" \n", "Timer",
            " a\"bA\n", "[ Settings ]\nTimer=X\n");
        row("unterminated quote", "[Settings]\nComPort=\"C:\\x\n", "ComPort", "\"C:\\x",
            "[Settings]\nComPort=X\n");
        row("garbage", QByteArray("\x00\x01\xff[[[===\n\xfe", 11), "Timer", "",
            QByteArray("\x00\x01\xff[[[===\n\xfe\n\n[Settings]\nTimer=X\n", 32));
    }
    void file() {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QString, read);
        QFETCH(QByteArray, after);
        if (!before.isNull())
            writeFile(conf(), before);
        IniSettingsStore store(m_dir.path());
        QCOMPARE(store.GetSetting(kApp, kSec, key), read);
        store.SaveSetting(kApp, kSec, key, "X");
        QCOMPARE(readFile(conf()), after);
    }

    // Any text comes back as it was stored, and stays on its one line.
    void roundTrip() {
        IniSettingsStore store(m_dir.path());
        for (const QString &text :
             {QString("a,b;c # d=e%"), QString("C:\\x\\n"), QString(),
              QStringLiteral(u"\u00e9\u65e5 \U0001F4FB"), QString("  lead"), QString("trail "),
              QString("a\nb\r\n"), QStringLiteral(u"\u0001\u007f\u0085"), QString("\"\\x41\\"),
              QStringLiteral(u"\uFEFFx"), QStringLiteral(u"a\n\uFEFFb")}) {
            store.SaveSetting(kApp, kSec, "V", text);
            store.SaveSetting(kApp, kSec, "W", "z");
            QCOMPARE(store.GetSetting(kApp, kSec, "V"), text);
            QCOMPARE(readFile(conf()).count('\n'), 3);
        }
    }

    // A write that cannot be done is reported, and leaves the file as it was.
    void failedWrite_data() {
        QTest::addColumn<int>("blocker");
        QTest::newRow("disk full") << 0;
        QTest::newRow("folder is a file") << 1;
        QTest::newRow("file is a FIFO") << 2; // not even reading it may hang
    }
    void failedWrite() {
        QFETCH(int, blocker);
        IniSettingsStore store(m_dir.path());
        store.SaveSetting(kApp, kSec, "Height", "3090");
        const QByteArray before = readFile(conf());
        if (blocker == 1) {
            QDir(m_dir.path() + "/Zorore_PTT").removeRecursively();
            writeFile(m_dir.path() + "/Zorore_PTT", "x");
        } else if (blocker == 2) {
            QFile::remove(conf());
            QCOMPARE(::mkfifo(QFile::encodeName(conf()).constData(), 0600), 0);
        }
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 4096; // the disk takes no more
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        QString path;
        try {
            store.SaveSetting(kApp, kSec, "Note", QString(8000, 'x'));
        } catch (const StoreWriteError &e) {
            path = e.path();
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(path, conf());
        QCOMPARE(store.GetSetting(kApp, kSec, "Note"), QString());
        if (blocker == 0)
            QCOMPARE(readFile(conf()), before);
        QFile::remove(m_dir.path() + "/Zorore_PTT");
    }

    // Two writers at once lose nothing; one killed at any moment leaves each value old or new
    // but whole, and no lock that keeps the next writer out.
    void writers() {
        QProcess a, b;
        startWriter(a, {"A", "20", "100", "0"});
        startWriter(b, {"B", "20", "100", "0"});
        QVERIFY(a.waitForFinished(60000) && a.exitCode() == 0);
        QVERIFY(b.waitForFinished(60000) && b.exitCode() == 0);
        IniSettingsStore store(m_dir.path());
        for (int k = 0; k < 20; ++k) {
            for (const QString prefix : {"A", "B"})
                QCOMPARE(store.GetSetting(kApp, kSec, prefix + QString::number(k)),
                         writerValue(k, 0, 100));
        }
        for (int round = 0; round < 8; ++round) {
            QProcess w;
            startWriter(w, {"Big", "3", "200000", "1"});
            QVERIFY(w.waitForStarted());
            QTest::qWait(int(QRandomGenerator::global()->bounded(20, 150)));
            w.kill();
            QVERIFY(w.waitForFinished());
            for (int k = 0; k < 3; ++k) {
                const QString v = store.GetSetting(kApp, kSec, "Big" + QString::number(k));
                const int pass = v.section(':', 1, 1).section('#', 0, 0).toInt();
                QVERIFY(v.isEmpty() || v == writerValue(k, pass, 200000));
            }
        }
        // One killed before it wrote its lock's owner.
        QFile ownerless(conf() + ".lock");
        QVERIFY(ownerless.open(QIODevice::WriteOnly));
        ownerless.setFileTime(QDateTime::currentDateTime().addSecs(-5),
                              QFileDevice::FileModificationTime);
        ownerless.close();
        store.SaveSetting(kApp, kSec, "OnTop", "1");
        QCOMPARE(store.GetSetting(kApp, kSec, "OnTop"), QString("1"));
    }
};

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc == 7 && QByteArray(argv[1]) == "--writer")
        return writer(app.arguments().mid(2));
    TestSettings test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// Stored texts and the settings file.

#include "IniSettingsStore.h"
#include "SettingsErrors.h"
#include "TextForms.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zptt;

namespace {

const QString kApp = QStringLiteral("Zorore_PTT");
const QString kSec = QStringLiteral("Settings");
const QLocale kC = QLocale::c();
const QLocale kGerman(QLocale::German, QLocale::Germany);

template <typename F> QString outcome(F &&conversion) {
    try {
        return QString::number(double(conversion()), 'g', 9);
    } catch (const TypeMismatchError &) {
        return QStringLiteral("mismatch");
    } catch (const OverflowError &) {
        return QStringLiteral("overflow");
    }
}

// Key k's value as the writers store it: large, and in need of quoting.
QString writerValue(int k, int size) {
    return QStringLiteral("#%1#").arg(k).leftJustified(size - 1, u'\n') + u'$';
}

// A second process that writes keys PREFIX0.. with values of this size.
pid_t writer(const QString &root, const QString &prefix, int count, int size) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        IniSettingsStore store(root);
        for (int k = 0; k < count; ++k)
            store.SaveSetting(kApp, kSec, prefix + QString::number(k), writerValue(k, size));
        ::_exit(0);
    }
    return pid;
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString conf() const { return IniSettingsStore(m_dir.path()).filePath(kApp); }

private slots:
    void init() {
        QDir(m_dir.path() + "/Zorore_PTT").removeRecursively();
        QDir().mkpath(m_dir.path() + "/Zorore_PTT");
    }

    void conversions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("single"); // ToSingleStrict
        QTest::addColumn<QString>("int16");  // ToInt16Strict
        QTest::addColumn<QString>("lenient");
        auto row = [](const QString &text, const char *single, const char *int16,
                      const char *lenient, const QLocale &locale = kC) {
            QTest::addRow("%s %s", qPrintable(locale.name()),
                          qPrintable(text.left(20).simplified()))
                << text << locale << single << int16 << lenient;
        };
        row(" \t12.5 \n", "12.5", "12", "12");
        row("2.5", "2.5", "2", "2");
        row("3.5", "3.5", "4", "4");
        row("-2.5", "-2.5", "-2", "-2");
        row("32767.5", "32767.5", "overflow", "overflow");
        row("1e39", "overflow", "overflow", "overflow");
        row("", "mismatch", "mismatch", "0");
        row("12abc", "mismatch", "mismatch", "12");
        row("1,234.5", "mismatch", "mismatch", "1",
            QLocale(QLocale::English, QLocale::UnitedStates));
        row("1234,5", "1234.5", "1234", "1234", kGerman);
        row("1,5E3", "1500", "1500", "1", kGerman);
        row("1.234,5", "mismatch", "mismatch", "1", kGerman); // written under another locale
    }
    void conversions() {
        QFETCH(QString, text);
        QFETCH(QLocale, locale);
        QTEST(outcome([&] { return ToSingleStrict("K", text, locale); }), "single");
        QTEST(outcome([&] { return ToInt16Strict("K", text, locale); }), "int16");
        QTEST(outcome([&] { return ToInt16Lenient("K", text); }), "lenient");
    }

    // What the window stores for a position or height, read back the same; a stored text as a
    // warning shows it.
    void texts() {
        const std::pair<float, const char *> rows[] = {
            {1635.0f, "1635"},         {1234.5f, "1234,5"}, {12345678.0f, "12345680"}, {-0.0f, "0"},
            {-1.5e-7f, "-0,00000015"}, {NAN, "nan"},        {-INFINITY, "-inf"}};
        for (const auto &[value, text] : rows) {
            QCOMPARE(NumberText(value, kGerman), text);
            if (std::isfinite(value))
                QCOMPARE(NumberText(ToSingleStrict("K", text, kGerman), kGerman), text);
        }
        QCOMPARE(NumberText(1234.5f, kC), "1234.5");
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
        row("added to its section", "[Settings]\nOnTop=1\n\n; p\n[Ports]\nCOM5=/dev/x\n", "Timer",
            "", "[Settings]\nOnTop=1\nTimer=X\n\n; p\n[Ports]\nCOM5=/dev/x\n");
        row("byte order mark", "\xEF\xBB\xBF[Settings]\nTimer=4\n", "Timer", "4",
            "\xEF\xBB\xBF[Settings]\nTimer=X\n");
        row("blanks and quotes", "[ Settings ]\n  Timer \t= \" a\\\"b\\x41\\n\" \n", "Timer",
            " a\"bA\n", "[ Settings ]\nTimer=X\n");
        row("garbage", QByteArray("\x00\x01\xff[[[===\n\xfe", 11), "Timer", "",
            QByteArray("\x00\x01\xff[[[===\n\xfe\n\n[Settings]\nTimer=X\n", 32));
    }
    void file() {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFile f(conf());
        QVERIFY(before.isNull() || (f.open(QIODevice::WriteOnly) && f.write(before) > 0));
        f.close();
        IniSettingsStore store(m_dir.path());
        QTEST(store.GetSetting(kApp, kSec, key), "read");
        store.SaveSetting(kApp, kSec, key, "X");
        QTEST(readFile(conf()), "after");
        // A text of any kind comes back as stored, and stays on its one line.
        const QString odd =
            QStringLiteral(u"  \"\\x41\\ a,b;c # d=e%\r\n\uFEFF\u0001\u007f\u0085 \U0001F4FB ");
        store.SaveSetting(kApp, kSec, "V", odd);
        QCOMPARE(store.GetSetting(kApp, kSec, "V"), odd);
        QCOMPARE(store.GetSetting(kApp, kSec, key), "X");
    }

    // A write that cannot be done is reported and leaves the file as it was: on a full disk,
    // with the lock or the file not a regular file (not even reading it may hang), with a file
    // where the folder belongs. A save that changes nothing needs no lock.
    void failedWrite() {
        const QString folder = m_dir.path() + "/Zorore_PTT";
        IniSettingsStore store(m_dir.path());
        const auto fails = [&] { // on a disk that takes no more than 4 KiB
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            const rlimit small{4096, saved.rlim_max};
            std::signal(SIGXFSZ, SIG_IGN); // a write beyond fails instead
            ::setrlimit(RLIMIT_FSIZE, &small);
            QString path;
            try {
                store.SaveSetting(kApp, kSec, "Note", QString(8000, 'x'));
            } catch (const StoreWriteError &e) {
                path = e.path();
            }
            ::setrlimit(RLIMIT_FSIZE, &saved);
            return path == conf() && store.GetSetting(kApp, kSec, "Note").isEmpty();
        };
        store.SaveSetting(kApp, kSec, "Height", "3090");
        const QByteArray before = readFile(conf());
        QVERIFY(fails() && readFile(conf()) == before);
        QVERIFY(QDir().mkdir(conf() + ".lock"));
        store.SaveSetting(kApp, kSec, "Height", "3090");
        QVERIFY(fails() && QDir().rmdir(conf() + ".lock"));
        QVERIFY(QFile::remove(conf()) && ::mkfifo(qPrintable(conf()), 0600) == 0);
        QVERIFY(fails());
        QVERIFY(QDir(folder).removeRecursively() && QFile(folder).open(QIODevice::WriteOnly));
        QVERIFY(fails() && QFile::remove(folder));
    }

    // Two writers at once lose nothing (a writer killed at any moment is no other matter than a
    // full disk), and one killed before it wrote its lock's owner keeps no one out.
    void writers() {
        const pid_t a = writer(m_dir.path(), "A", 20, 1000),
                    b = writer(m_dir.path(), "B", 20, 1000);
        QVERIFY(::waitpid(a, nullptr, 0) == a && ::waitpid(b, nullptr, 0) == b);
        IniSettingsStore store(m_dir.path());
        for (int k = 0; k < 20; ++k)
            QCOMPARE(store.GetSetting(kApp, kSec, QString("A%1").arg(k)) +
                         store.GetSetting(kApp, kSec, QString("B%1").arg(k)),
                     writerValue(k, 1000).repeated(2));
        QFile ownerless(conf() + ".lock");
        QVERIFY(ownerless.open(QIODevice::WriteOnly));
        ownerless.setFileTime(QDateTime::currentDateTime().addSecs(-5),
                              QFileDevice::FileModificationTime);
        ownerless.close();
        store.SaveSetting(kApp, kSec, "OnTop", "1");
        QCOMPARE(store.GetSetting(kApp, kSec, "OnTop"), QString("1"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

// Installs the build into a scratch prefix and checks what a desktop, a software centre and
// man find there, with the same validators the distributions run.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

const QString kBuildDir = QStringLiteral(ZPTT_BUILD_DIR);
const QString kSourceDir = QStringLiteral(ZPTT_SOURCE_DIR);
const QString kAppId = QStringLiteral("org.zorore_ptt.zorore_ptt");
const QString kDesktop = QStringLiteral("share/applications/zorore-ptt.desktop");
const QString kMetainfo = QStringLiteral("share/metainfo/org.zorore_ptt.zorore_ptt.metainfo.xml");
const QString kManPage = QStringLiteral("share/man/man1/zorore-ptt.1.gz");
const QString kSquareIcon = QStringLiteral("share/icons/hicolor/128x128/apps/zorore-ptt.png");
const QString kPixmap = QStringLiteral("share/pixmaps/zorore-ptt.png");

constexpr QFile::Permissions kReadable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                         QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
constexpr QFile::Permissions kRunnable =
    kReadable | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;

struct Run {
    bool started = false;
    int status = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &args,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    r.started = p.waitForStarted(10000);
    if (!r.started)
        return r;
    p.waitForFinished(60000);
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// Lines of a validator's report that are more than hints.
QStringList complaints(const QString &report, const QStringList &marks) {
    QStringList found;
    for (const QString &line : report.split(u'\n', Qt::SkipEmptyParts))
        for (const QString &mark : marks)
            if (line.contains(mark))
                found << line;
    return found;
}

QMap<QString, QString> desktopEntry(const QString &path) {
    QMap<QString, QString> keys;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inEntry = false;
    for (const QByteArray &raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'['))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.contains(u'='))
            keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return keys;
}

} // namespace

class tst_Install : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;
    QString m_installLog;

    QString installed(const QString &rel) const { return m_prefix.filePath(rel); }

    void requireTool(const Run &r, const char *tool, const char *package) {
        if (!r.started)
            QFAIL(qPrintable(QStringLiteral("%1 not found: install the Debian package %2")
                                 .arg(QLatin1String(tool), QLatin1String(package))));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_prefix.isValid());
        const Run r =
            run(QStringLiteral(ZPTT_CMAKE), {QStringLiteral("--install"), kBuildDir,
                                             QStringLiteral("--prefix"), m_prefix.path()});
        QVERIFY(r.started);
        m_installLog = r.out + r.err;
        QVERIFY2(r.status == 0, qPrintable(m_installLog));
    }

    void files_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("runnable");
        QTest::newRow("program") << QStringLiteral("bin/zorore-ptt") << true;
        QTest::newRow("guardian") << QStringLiteral("libexec/zorore-ptt/zorore-ptt-guardian") << true;
        QTest::newRow("desktop entry") << kDesktop << false;
        QTest::newRow("metainfo") << kMetainfo << false;
        QTest::newRow("square icon") << kSquareIcon << false;
        QTest::newRow("pixmap") << kPixmap << false;
        QTest::newRow("man page") << kManPage << false;
        QTest::newRow("copyright") << QStringLiteral("share/doc/zorore-ptt/copyright") << false;
        QTest::newRow("changelog") << QStringLiteral("share/doc/zorore-ptt/changelog.gz") << false;
    }

    void files() {
        QFETCH(QString, path);
        QFETCH(bool, runnable);
        const QFileInfo fi(installed(path));
        QVERIFY2(fi.isFile(), qPrintable(path + QStringLiteral(" not installed")));
        QCOMPARE(fi.permissions(), runnable ? kRunnable : kReadable);
    }

    // A stray install rule (a test helper, a static library) would end up in the package.
    void nothingElse() {
        const QStringList want = {QStringLiteral("bin/zorore-ptt"),
                                  QStringLiteral("libexec/zorore-ptt/zorore-ptt-guardian"),
                                  kDesktop,
                                  kMetainfo,
                                  kSquareIcon,
                                  kPixmap,
                                  kManPage,
                                  QStringLiteral("share/doc/zorore-ptt/copyright"),
                                  QStringLiteral("share/doc/zorore-ptt/changelog.gz")};
        QStringList seen;
        QDirIterator it(m_prefix.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            seen << QDir(m_prefix.path()).relativeFilePath(it.next());
        seen.sort();
        QStringList sortedWant = want;
        sortedWant.sort();
        QCOMPARE(seen, sortedWant);
    }

    void desktopEntryValidates() {
        const Run r = run(QStringLiteral("desktop-file-validate"), {installed(kDesktop)});
        requireTool(r, "desktop-file-validate", "desktop-file-utils");
        const QString report = r.out + r.err;
        QVERIFY2(r.status == 0, qPrintable(report));
        const QStringList bad =
            complaints(report, {QStringLiteral("error:"), QStringLiteral("warning:")});
        QVERIFY2(bad.isEmpty(), qPrintable(bad.join(u'\n')));
    }

    void desktopEntryKeys_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("Type") << "Type"
                              << "Application";
        QTest::newRow("Name") << "Name"
                              << "Zorore_PTT";
        // What the menu runs and shows must be what was installed (checked below).
        QTest::newRow("Exec") << "Exec"
                              << "zorore-ptt";
        QTest::newRow("Icon") << "Icon"
                              << "zorore-ptt";
        QTest::newRow("Terminal") << "Terminal"
                                  << "false";
        QTest::newRow("Categories") << "Categories"
                                    << "HamRadio;Utility;";
        // Qt's WM_CLASS class is the application name; docks match windows to entries by it.
        QTest::newRow("StartupWMClass") << "StartupWMClass"
                                        << "Zorore_PTT";
    }

    void desktopEntryKeys() {
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QMap<QString, QString> entry = desktopEntry(installed(kDesktop));
        QVERIFY2(entry.contains(key), qPrintable(key + QStringLiteral(" missing")));
        QCOMPARE(entry.value(key), value);
    }

    void desktopEntryPointsAtInstalledFiles() {
        const QMap<QString, QString> entry = desktopEntry(installed(kDesktop));
        QVERIFY(!entry.value(QStringLiteral("Comment")).isEmpty());
        QVERIFY(QFileInfo(installed(QStringLiteral("bin/") + entry.value("Exec"))).isExecutable());
        const QString icon = entry.value(QStringLiteral("Icon")) + QStringLiteral(".png");
        QVERIFY(QFileInfo::exists(
            installed(QStringLiteral("share/icons/hicolor/128x128/apps/") + icon)));
        QVERIFY(QFileInfo::exists(installed(QStringLiteral("share/pixmaps/") + icon)));
    }

    void metainfoValidates() {
        const Run r = run(QStringLiteral("appstreamcli"),
                          {QStringLiteral("validate"), QStringLiteral("--no-net"),
                           QStringLiteral("--no-color"), installed(kMetainfo)});
        requireTool(r, "appstreamcli", "appstream");
        const QString report = r.out + r.err;
        QVERIFY2(r.status == 0, qPrintable(report));
        const QStringList bad = complaints(report, {QStringLiteral("E:"), QStringLiteral("W:")});
        QVERIFY2(bad.isEmpty(), qPrintable(bad.join(u'\n')));
    }

    // The id, the desktop file it launches, the release and the screenshots' sizes all live
    // elsewhere too; a rename or a new version must not leave the metadata behind.
    void metainfoAgreesWithTheRest() {
        QFile f(installed(kMetainfo));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&f);
        QString id, launchable, firstRelease;
        struct Shot {
            QString url;
            int width, height;
        };
        QList<Shot> shots;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const auto name = xml.name();
            if (name == QLatin1String("id")) {
                id = xml.readElementText();
            } else if (name == QLatin1String("launchable")) {
                launchable = xml.readElementText();
            } else if (name == QLatin1String("release") && firstRelease.isEmpty()) {
                firstRelease = xml.attributes().value("version").toString();
            } else if (name == QLatin1String("image")) {
                const int w = xml.attributes().value("width").toInt();
                const int h = xml.attributes().value("height").toInt();
                shots.append({xml.readElementText(), w, h});
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(id, kAppId);
        QCOMPARE(launchable, QFileInfo(kDesktop).fileName());
        QCOMPARE(firstRelease, QStringLiteral(ZPTT_VERSION));
        QCOMPARE(shots.size(), 2);
        for (const Shot &s : shots) {
            const QString file = kSourceDir + QStringLiteral("/docs/") + QUrl(s.url).fileName();
            const QImageReader shot(file);
            QVERIFY2(shot.canRead(), qPrintable(file));
            QCOMPARE(shot.size(), QSize(s.width, s.height));
        }
    }

    void icons_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("hicolor 128x128") << kSquareIcon << QSize(128, 128);
        QTest::newRow("pixmap as drawn") << kPixmap << QSize(119, 127);
    }

    void icons() {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QImageReader reader(installed(path));
        reader.setDecideFormatFromContent(true);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.size(), size);
        QVERIFY(!reader.read().isNull());
    }

    // The square copy is the drawn icon on a widened background, not a rescaled one.
    void squareIconIsThePaddedOriginal() {
        const QImage drawn = QImage(installed(kPixmap)).convertToFormat(QImage::Format_RGB32);
        const QImage square = QImage(installed(kSquareIcon)).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(drawn.size(), QSize(119, 127));
        QCOMPARE(square.size(), QSize(128, 128));
        const int dx = (128 - 119) / 2;
        QCOMPARE(square.copy(dx, 0, 119, 127), drawn);
        for (int y = 0; y < 128; ++y) {
            const int sy = qMin(y, 126);
            QCOMPARE(square.pixel(0, y), drawn.pixel(0, sy));
            QCOMPARE(square.pixel(127, y), drawn.pixel(118, sy));
        }
    }

    void compressedWithoutNameOrTime_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("man page") << kManPage;
        QTest::newRow("changelog") << QStringLiteral("share/doc/zorore-ptt/changelog.gz");
    }

    // gzip records the file's name and time unless told not to: the package would change
    // with every build, and lintian objects.
    void compressedWithoutNameOrTime() {
        QFETCH(QString, path);
        QFile f(installed(path));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray head = f.read(10);
        QCOMPARE(head.size(), 10);
        QCOMPARE(head.left(3), QByteArray("\x1f\x8b\x08"));
        QCOMPARE(int(head[3]) & 0x08, 0); // FNAME
        QCOMPARE(head.mid(4, 4), QByteArray(4, '\0'));
        QCOMPARE(int(quint8(head[8])), 2); // best compression
    }

    void manPageRendersCleanly() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
        env.remove(QStringLiteral("MANROFFSEQ"));
        env.remove(QStringLiteral("MANPAGER"));
        env.remove(QStringLiteral("PAGER"));
        const Run r = run(QStringLiteral("man"),
                          {QStringLiteral("--warnings"), QStringLiteral("-E"),
                           QStringLiteral("UTF-8"), QStringLiteral("-l"), QStringLiteral("-Tutf8"),
                           QStringLiteral("-Z"), installed(kManPage)},
                          env);
        requireTool(r, "man", "man-db");
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));

        // lexgrog reads NAME as mandb and lintian do: "name - what it does".
        const Run g = run(QStringLiteral("lexgrog"), {installed(kManPage)}, env);
        requireTool(g, "lexgrog", "man-db");
        QCOMPARE(g.status, 0);
        QVERIFY2(g.out.contains(QLatin1String(": \"zorore-ptt - ")), qPrintable(g.out));
    }
};

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"

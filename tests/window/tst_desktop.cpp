// The window on a desktop: the platform chosen for the session, every designed text whole at
// this process's screen scale, and what a screen reader gets of the keying.

#include "CommControl.h"
#include "PlatformChoice.h"
#include "SettingsStore.h"
#include "Version.h"
#include "frmPTT.h"

#include <QAccessible>
#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

using namespace zptt;

namespace {

struct Store final : SettingsStore, QMap<QString, QString> {
    QString GetSetting(const QString &, const QString &, const QString &k) const override {
        return value(k);
    }
    void SaveSetting(const QString &, const QString &, const QString &k,
                     const QString &t) override {
        insert(k, t);
    }
};

struct Comm final : CommControl {
    std::int16_t CommPort() const override { return 1; }
    void setCommPort(std::int16_t) override {}
    bool PortOpen() const override { return open; }
    void setPortOpen(bool o) override { open = o; }
    void setDTREnable(bool) override {}
    void setRTSEnable(bool) override {}
    bool open = false;
};

// The window, started on an open port; a keying lasts 300 ms.
struct Rig {
    Store store;
    Comm comm;
    frmPTT w{store, comm, [] {
                 WindowHooks hooks; // its own message boxes; the end of the program only noted
                 hooks.endProgram = [](int) {};
                 hooks.minute = std::chrono::milliseconds(300);
                 return hooks;
             }()};
    bool start() {
        w.show();
        const bool started = QTest::qWaitFor([this] { return comm.open; });
        QCoreApplication::processEvents(); // what start-up left for the next pass
        return started;
    }
};

} // namespace

class TestDesktop : public QObject {
    Q_OBJECT
private slots:
    void platform_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QByteArray>("platform");
        const QString both = "DISPLAY=:0 WAYLAND_DISPLAY=wayland-0 XDG_SESSION_TYPE=wayland ";
        QTest::newRow("X11") << "DISPLAY=:0 XDG_SESSION_TYPE=x11" << QByteArray("xcb");
        QTest::newRow("XWayland") << both << QByteArray("xcb;wayland");
        QTest::newRow("Wayland only") << "WAYLAND_DISPLAY=wayland-0" << QByteArray();
        QTest::newRow("user: wayland") << both + "QT_QPA_PLATFORM=wayland" << QByteArray();
        QTest::newRow("user: xcb") << both + "QT_QPA_PLATFORM=xcb" << QByteArray();
        QTest::newRow("no display") << "DISPLAY= XDG_SESSION_TYPE=tty" << QByteArray();
    }
    void platform() {
        QFETCH(QString, environment);
        QProcessEnvironment env;
        for (const QString &setting : environment.split(u' ', Qt::SkipEmptyParts))
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        QTEST(choosePlatform(env), "platform");
    }
    void notice() {
        for (const char *name : {"wayland", "wayland-egl", "xcb", "offscreen"})
            QCOMPARE(platformNotice(name).contains("not available in this Wayland session"),
                     QByteArray(name).startsWith("wayland"));
    }

    void textsFitTheirControls() {
        Rig r;
        QVERIFY(r.start());
        QCOMPARE(r.w.font().family(),
                 QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
        QStyleOptionButton button;
        button.initFrom(r.w.cmdTX);
        // Control, text, room, and a pixel for the cursor that keeps a line edit from scrolling;
        // a line edit keeps 2 pixels each side and 1 above and below.
        QList<std::tuple<QWidget *, QString, QRect, int>> texts = {
            {r.w.Label2, r.w.Label2->text(), r.w.Label2->contentsRect(), 0},
            {r.w.cmdTX, "TX",
             r.w.cmdTX->style()->subElementRect(QStyle::SE_PushButtonContents, &button, r.w.cmdTX),
             0}};
        for (DropDownList *list : {r.w.Combo1, r.w.Combo2})
            for (int i = 0; i < list->count(); ++i)
                texts.append(
                    {list, list->itemText(i), list->lineEdit()->rect() - QMargins(2, 1, 2, 1), 1});
        for (const auto &[control, text, room, cursor] : texts) {
            const QFontMetricsF fm(control->font(), control);
            const qreal width =
                qMax(fm.horizontalAdvance(text) + cursor, fm.tightBoundingRect(text).right());
            QVERIFY2(
                width <= room.width() && fm.height() <= room.height(),
                qPrintable(QString::asprintf("%s needs %.2f x %.2f of %d x %d", qPrintable(text),
                                             width, fm.height(), room.width(), room.height())));
        }
    }

    // The TX button keyed by a screen reader's action and released by the time-out, then
    // clicked on a closed port; and the two message boxes.
    void screenReaders() {
        Rig r;
        QVERIFY(r.start());
        QAccessibleInterface *tx = QAccessible::queryAccessibleInterface(r.w.cmdTX);
        QStringList heard;
        QString shown;
        QTimer poll; // keyings wait in an event loop of their own, where timers still run
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const QString now =
                tx->text(QAccessible::Name) + (tx->state().checked ? " checked" : "");
            if (now != shown)
                heard << (shown = now);
        });
        poll.start(5);
        auto box = [&] {
            QWidget *shownBox = QApplication::activeModalWidget();
            QAccessibleInterface *a = QAccessible::queryAccessibleInterface(shownBox);
            heard << QVariant::fromValue(a->role()).toString() + ": " +
                         a->text(QAccessible::Value).section(u'\n', 0, 1);
            shownBox->close();
        };
        tx->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 3, 5000); // keyed and released again
        r.comm.open = false;
        QTimer::singleShot(0, box);
        QTest::mouseClick(r.w.cmdTX, Qt::LeftButton);
        QTimer::singleShot(0, box);
        r.w.mnuAbout_Click();
        QTest::qWait(20);
        QCOMPARE(heard,
                 QStringList({"TX", "TX checked", "TX",
                              "AlertMessage: COM 1: not available. Check for correct Com Port.",
                              QString("AlertMessage: Zorore_PTT\nVersion ") + kProgramVersion}));
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"

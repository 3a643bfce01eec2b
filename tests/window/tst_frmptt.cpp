// Drives the real window in-process. One log shows what the operator and the stored file would
// see, in order: every value stored, every line change with the button's colour at that moment,
// and every message box.

#include "CommControl.h"
#include "SerialError.h"
#include "SettingsErrors.h"
#include "SettingsStore.h"
#include "TextForms.h"
#include "Version.h"
#include "frmPTT.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using namespace zptt;

namespace {

const QString kPortMessage = QStringLiteral("COM %1: not available. Check for correct Com Port.");

struct MemoryStore final : SettingsStore {
    QStringList &log;
    QMap<QString, QString> values; // section/key
    int failAt = -1;               // this write and all after it fail
    explicit MemoryStore(QStringList &l) : log(l) {}
    QString GetSetting(const QString &, const QString &s, const QString &k) const override {
        return values.value(s + '/' + k);
    }
    void SaveSetting(const QString &, const QString &s, const QString &k,
                     const QString &text) override {
        if (failAt >= 0 && log.filter("=").size() >= failAt)
            throw StoreWriteError("memory", "disk full");
        values[s + '/' + k] = text;
        log << k + '=' + text;
    }
};

struct FakeComm final : CommControl {
    QStringList &log;
    std::function<QString()> look; // the button's colour
    std::function<void()> lost;
    std::int16_t port = 1;
    bool open = false, dtr = false;
    QSet<int> failing;
    explicit FakeComm(QStringList &l) : log(l) {}
    std::int16_t CommPort() const override { return port; }
    void setCommPort(std::int16_t p) override {
        if (open || p < 1 || p > 255)
            throw SerialError("refused");
        port = p;
    }
    bool PortOpen() const override { return open; }
    void setPortOpen(bool o) override {
        if (o && (open || failing.contains(port)))
            throw SerialError("cannot open");
        if (o != open)
            log << QStringLiteral("%1 %2").arg(o ? "open" : "close").arg(port);
        open = o;
        dtr = false;
    }
    void setDTREnable(bool high) override {
        dtr = open && high;
        log << QStringLiteral("DTR %1 %2").arg(int(high)).arg(look());
    }
    void setRTSEnable(bool high) override { log << QStringLiteral("RTS %1").arg(int(high)); }
    void setLostHandler(std::function<void()> handler) override { lost = std::move(handler); }
    void unplug() {
        open = dtr = false;
        QTimer::singleShot(0, lost);
    }
};

struct Rig {
    QStringList log;
    MemoryStore store{log};
    FakeComm comm{log};
    QStringList messages;
    int ended = -1;
    bool remoteOn = false;
    QString remoteFails; // why keying by other programs cannot start
    std::unique_ptr<frmPTT> w;

    explicit Rig(std::chrono::milliseconds minute = 400ms) {
        for (const char *kv : {"Position-Left=1500", "Position-Top=1200", "OnTop=0", "ComPort=1",
                               "Height=3090", "Timer=1"})
            set(QString(kv).section('=', 0, 0), QString(kv).section('=', 1));
        WindowHooks hooks;
        hooks.messageBox = [this](const QString &text, QMessageBox::Icon) {
            messages << text;
            log << "message";
        };
        hooks.endProgram = [this](int status) { ended = status; };
        hooks.minute = minute;
        hooks.remoteKeying = [this](bool on) -> std::optional<QString> {
            log << QStringLiteral("remote %1").arg(int(on));
            remoteOn = on && remoteFails.isEmpty();
            return remoteOn || !on ? std::nullopt : std::optional(remoteFails);
        };
        w = std::make_unique<frmPTT>(store, comm, hooks);
        comm.look = [this] { return w->keyedLook() ? "red" : "grey"; };
    }
    void set(const QString &key, const QString &text) { store.values["Settings/" + key] = text; }
    QString stored(const QString &key) const { return store.values.value("Settings/" + key); }
    // Shows and activates the window, as a window manager does, and waits for its start-up; the
    // log starts afresh after it.
    bool start() {
        w->show();
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(w.get(), &activate);
        const bool done = QTest::qWaitFor([this] { return !w->keyedLook(); }, 5000);
        log.clear();
        return done && ended < 0;
    }
    void clickTX() { QTest::mouseClick(w->cmdTX, Qt::LeftButton); }
    static void choose(DropDownList *list, int index) {
        list->showPopup();
        list->view()->setCurrentIndex(list->model()->index(index, 0));
        QTest::keyClick(list->view(), Qt::Key_Return);
    }
    bool onTop() const { return w->windowFlags() & Qt::WindowStaysOnTopHint; }
};

// Runs fn after the given time, from inside whatever wait is running then.
void at(std::chrono::milliseconds when, std::function<void()> fn) {
    QTimer::singleShot(when, Qt::PreciseTimer, std::move(fn));
}

} // namespace

class TestFrmPTT : public QObject {
    Q_OBJECT
private slots:
    // Clicks at given moments; the first click's call returns at the newest deadline.
    void keying_data() {
        QTest::addColumn<QList<int>>("clicks"); // ms after the first click
        QTest::addColumn<QList<int>>("checks"); // ms after the first click
        QTest::addColumn<QList<bool>>("keyed"); // red and DTR high then
        QTest::addColumn<int>("returnsAt");     // ms
        QTest::newRow("keyed until the time-out")
            << QList{0} << QList{150, 350} << QList{true, true} << 400;
        QTest::newRow("a second click releases, the first still waits")
            << QList{0, 100} << QList{50, 150, 350} << QList{true, false, false} << 400;
        QTest::newRow("a third keys again, both waits end at its deadline")
            << QList{0, 100, 200} << QList{150, 250, 500, 650} << QList{false, true, true, false}
            << 600;
        QTest::newRow("a fourth releases")
            << QList{0, 100, 200, 300} << QList{250, 350, 550} << QList{true, false, false} << 600;
    }
    void keying() {
        QFETCH(QList<int>, clicks);
        QFETCH(QList<int>, checks);
        QFETCH(QList<bool>, keyed);
        QFETCH(int, returnsAt);
        Rig r;
        QVERIFY(r.start());
        QList<bool> seen;
        bool disagreed = false; // the colour and the line tell the same at every moment
        for (int t : clicks.mid(1))
            at(std::chrono::milliseconds(t), [&] { r.clickTX(); });
        for (int t : checks)
            at(std::chrono::milliseconds(t), [&] {
                seen << r.w->keyedLook();
                disagreed = disagreed || r.w->keyedLook() != r.comm.dtr;
            });
        QElapsedTimer clock;
        clock.start();
        r.clickTX();
        const qint64 returned = clock.elapsed();
        QTRY_COMPARE(seen.size(), checks.size());
        QCOMPARE(seen, keyed);
        QVERIFY(!disagreed);
        QVERIFY2(returned >= returnsAt && returned < returnsAt + 1000,
                 qPrintable(QString::number(returned)));
        QCOMPARE(r.log.last(), "DTR 0 grey");
        QVERIFY(!r.comm.dtr);
        QVERIFY(!r.log.contains("DTR 1 grey")); // never on the air before the button shows it
    }

    // A remote client keys the line itself; the window shows it, and every renewal moves the one
    // deadline at which the window releases.
    void keyedElsewhere() {
        Rig r;
        QVERIFY(r.start());
        bool renewed = false;
        at(100ms, [&] { r.w->keyedElsewhere(KeyClock::now() + 600ms); });
        at(350ms, [] {}); // any event past the first deadline
        at(450ms, [&] { renewed = r.w->keyedLook(); });
        r.w->keyedElsewhere(KeyClock::now() + 300ms);
        QVERIFY(renewed);
        QCOMPARE(r.log, QStringList("DTR 0 grey"));
        at(100ms, [&] { r.w->releasedElsewhere(); });
        at(150ms, [&] { renewed = r.w->keyedLook(); });
        r.w->keyedElsewhere(KeyClock::now() + 300ms);
        QVERIFY(!renewed);
    }

    void enterNeverKeysAndSpaceDoes() {
        Rig r(100ms);
        QVERIFY(r.start());
        for (QWidget *focus :
             {static_cast<QWidget *>(r.w->chkOnTop), static_cast<QWidget *>(r.w->cmdTX)}) {
            focus->setFocus();
            QTest::keyClick(focus, Qt::Key_Return);
            QTest::keyClick(focus, Qt::Key_Enter);
        }
        QVERIFY(r.log.isEmpty());
        QTest::keyClick(r.w->cmdTX, Qt::Key_Space);
        QCOMPARE(r.log, QStringList({"DTR 1 red", "DTR 0 grey"}));
    }

    // No port, no keying: the message instead of a red button over a dead line.
    void failedPort() {
        Rig r;
        r.set("ComPort", "3");
        r.comm.failing = {3};
        QVERIFY(r.start());
        QTest::qWait(50);
        QCOMPARE(r.messages, QStringList(kPortMessage.arg(3)));
        QCOMPARE(r.stored("ComPort"), "3");
        r.clickTX();
        QCOMPARE(r.messages, QStringList(2, kPortMessage.arg(3)));
        QVERIFY(!r.w->keyedLook());
        QCOMPARE(r.log, QStringList("message"));

        r.comm.failing.clear(); // plugged in: choosing it again opens it
        Rig::choose(r.w->Combo1, 2);
        QVERIFY(r.comm.open);
        QCOMPARE(r.comm.port, 3);
        QCOMPARE(r.log.last(), "DTR 0 grey");
        QCOMPARE(r.messages.size(), 2);
    }

    void unplugged() {
        Rig r(300ms);
        QVERIFY(r.start());
        bool released = false;
        at(100ms, [&] { r.comm.unplug(); });
        at(200ms, [&] { released = !r.w->keyedLook() && !r.comm.dtr; });
        r.clickTX();
        QVERIFY(released);
        QCOMPARE(r.messages, QStringList(kPortMessage.arg(1)));
    }

    // Stored values good and bad: what the window shows, and what it stores again.
    void startup_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("saved"); // "*": any number
        QTest::addColumn<QString>("shown");
        auto row = [](const char *key, const char *text, const char *saved, const char *shown) {
            QTest::addRow("%s=%s", key, text)
                << QString(key) << QString(text) << QString(saved) << QString(shown);
        };
        row("Timer", "9", "9", "9 min");
        row("Timer", " 9abc", "9", "9 min");
        row("Timer", "0", "1", "1 min");
        row("Timer", "10", "1", "1 min");
        row("Timer", "", "1", "1 min");
        row("OnTop", "1", "1", "1 on top");
        row("OnTop", "2", "2", "2");
        row("OnTop", "3", "0", "0");
        row("OnTop", "", "0", "0");
        row("Height", "1635", "1635", "compact");
        row("Height", "0", "3090", "full");
        row("Height", "tall", "3090", "full");
        row("Height", "-1e30", "3090", "full");
        row("ComPort", "5", "5", "COM5 open, list Com05");
        row("ComPort", "16", "16", "COM16 open, list -");
        row("ComPort", "abc", "1", "COM1 open, list Com01");
        row("Position-Left", "150", "150", "150");
        row("Position-Left", "12abc", "*", "first-run place");
        row("Position-Left", "1e39", "*", "first-run place");
        row("Position-Top", "3.4e38", "*", "first-run place");
        row("Position-Top", "-300000", "*", "first-run place"); // off every screen
    }
    void startup() {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(QString, saved);
        QFETCH(QString, shown);
        Rig r;
        r.set(key, text);
        QVERIFY(r.start());
        frmPTT &w = *r.w;
        Rig first; // where a window with nothing stored goes
        first.store.values.clear();
        QVERIFY(first.start());
        const QHash<QString, QString> view = {
            {"Timer", w.Combo2->Text()},
            {"OnTop", QString::number(w.chkOnTop->Value()) + (r.onTop() ? " on top" : "")},
            {"Height", w.mnuHide->isChecked() && !w.mnuShow->isChecked() ? "compact" : "full"},
            {"ComPort", QString("COM%1 %2, list %3")
                            .arg(r.comm.port)
                            .arg(r.comm.open ? "open" : "closed",
                                 w.Combo1->ListIndex() < 0 ? "-" : w.Combo1->Text())},
            {"Position-Left", w.x() == first.w->x() ? "first-run place" : NumberText(w.Left())},
            {"Position-Top", w.y() == first.w->y() ? "first-run place" : NumberText(w.Top())}};
        QCOMPARE(view[key], shown);
        QVERIFY(r.messages.isEmpty());
        QVERIFY(!w.keyedLook() && !r.comm.dtr);
        w.SaveSettings();
        if (saved != "*")
            QCOMPARE(r.stored(key), saved);
        QVERIFY(std::isfinite(ToSingleStrict(key, r.stored(key))));
    }

    void firstRun() {
        Rig r;
        r.store.values.clear();
        QVERIFY(r.start());
        for (const char *kv : {"OnTop=0", "ComPort=1", "Height=3090", "Timer=1"})
            QCOMPARE(r.stored(QString(kv).section('=', 0, 0)), QString(kv).section('=', 1));
        QCOMPARE(r.stored("Position-Left"), NumberText(r.w->Left()));
        QVERIFY(r.comm.open && r.messages.isEmpty());
    }

    void choices() {
        for (const auto &[list, index, lines] :
             {std::tuple{1, 4, "close 1,open 5,RTS 0,DTR 0 grey,ComPort=5"},
              {1, 0, "close 1,open 1,RTS 0,DTR 0 grey,ComPort=1"},
              {2, 8, "Timer=9"}}) {
            Rig r;
            QVERIFY(r.start());
            Rig::choose(list == 1 ? r.w->Combo1 : r.w->Combo2, index);
            const QString saved = QString(lines).section(',', -1);
            QCOMPARE((r.log.filter(QRegularExpression("^[a-zA-Z]+ ")) << saved).join(','), lines);
            QVERIFY(r.log.contains(saved));
        }
    }

    // A port chosen while keyed releases at once; a time-out chosen counts from the next keying.
    void choicesWhileKeyed() {
        Rig r(600ms);
        QVERIFY(r.start());
        bool released = false;
        at(100ms, [&] { Rig::choose(r.w->Combo2, 8); });
        at(200ms, [&] {
            Rig::choose(r.w->Combo1, 1);
            released = !r.w->keyedLook() && !r.comm.dtr && r.comm.open && r.comm.port == 2;
        });
        r.clickTX();
        QVERIFY(released);
        QCOMPARE(r.w->timeoutMinutes(), 9);
    }

    void typedTextSelectsNothing() {
        Rig r;
        QVERIFY(r.start());
        for (DropDownList *list : {r.w->Combo1, r.w->Combo2}) {
            list->setFocus();
            list->lineEdit()->selectAll();
            QTest::keyClicks(list->lineEdit(), list == r.w->Combo1 ? "Com05" : "7 min");
            QTest::keyClick(list->lineEdit(), Qt::Key_Return);
            r.w->chkOnTop->setFocus();
        }
        QCoreApplication::processEvents();
        QVERIFY(r.log.isEmpty());
        QCOMPARE(r.w->Combo1->ListIndex(), 0);
    }

    void hideAndShow() {
        Rig r;
        QVERIFY(r.start());
        const QPoint pos = r.w->pos();
        for (const QString height : {"1635", "3090", "1635"}) {
            (height == "1635" ? r.w->mnuHide : r.w->mnuShow)->trigger();
            QCOMPARE(r.stored("Height"), height);
            QCOMPARE(NumberText(r.w->Height()), height);
            QCOMPARE(r.w->mnuHide->isChecked(), height == "1635");
            QCOMPARE(r.w->mnuShow->isChecked(), height != "1635");
            QCOMPARE(r.w->pos(), pos);
        }
    }

    // A click toggles between clear and checked; a grey box becomes checked.
    void alwaysOnTop() {
        Rig r;
        QVERIFY(r.start());
        for (int expected : {1, 0, 2, 1}) {
            if (expected == 2)
                r.w->setOnTopValue(2);
            else
                QTest::mouseClick(r.w->chkOnTop, Qt::LeftButton);
            QCOMPARE(r.w->chkOnTop->Value(), expected);
            QCOMPARE(r.stored("OnTop"), QString::number(expected));
            QCOMPARE(r.onTop(), expected == 1);
            QVERIFY(r.w->isVisible());
        }
    }

    // Setup > Remote Keying: other programs key through us only while it is checked, and the
    // choice outlives the run.
    void remoteKeying() {
        Rig r;
        r.store.values["Remote/Enabled"] = "1";
        QVERIFY(r.start());
        QVERIFY(r.remoteOn && r.w->mnuRemote->isChecked());
        r.w->mnuRemote->trigger();
        r.remoteFails = "[Remote] Port=99999 is not a port number (1 to 65535)";
        r.w->mnuRemote->trigger();
        QCOMPARE(r.log, QStringList({"remote 0", "Enabled=0", "remote 1", "message", "Enabled=0"}));
        QCOMPARE(r.messages, QStringList(r.remoteFails));
        QVERIFY(!r.remoteOn && !r.w->mnuRemote->isChecked());
    }

    // The box may stay open far longer than a transmission: the line is released first, the
    // port stays open for the next keying.
    void aboutWhileKeyed() {
        Rig r(500ms);
        QVERIFY(r.start());
        at(100ms, [&] { r.w->mnuAbout->trigger(); });
        at(200ms, [&] { r.clickTX(); });
        r.clickTX();
        QCOMPARE(r.log.mid(0, 4), QStringList({"DTR 1 red", "DTR 0 grey", "message", "DTR 1 red"}));
        QCOMPARE(r.messages,
                 QStringList(QString("Zorore_PTT\nVersion %1\n\nKeys a transmitter through the DTR "
                                     "line of a serial port.\n\nCopyright 2026 The Zorore_PTT "
                                     "developers. Free software under the GNU General Public "
                                     "License, version 3 or later, with no warranty.")
                                 .arg(kProgramVersion)));
    }

    // The transmitter first: a slow or locked store must not keep it keyed.
    void exitWhileKeyed() {
        Rig r(300ms);
        QVERIFY(r.start());
        at(100ms, [&] {
            r.log.clear();
            r.w->mnuExit->trigger();
        });
        r.clickTX();
        QCOMPARE(r.ended, 0);
        QCOMPARE(r.log.mid(0, 3), QStringList({"DTR 0 red", "RTS 0", "close 1"}));
        QCOMPARE(r.log.mid(3, 6).filter("=").size(), 6);
        QCOMPARE(r.stored("Height"), NumberText(r.w->Height()));
    }

    // A store that cannot be written ends the program with the lines released; the position,
    // written first, is what survives.
    void errorInHandler() {
        Rig r;
        QVERIFY(r.start());
        r.store.failAt = 2;
        r.w->mnuHide->trigger();
        QCOMPARE(r.ended, 1);
        QCOMPARE(r.log.filter("=").join(',').remove(QRegularExpression("=[^,]*")),
                 "Position-Left,Position-Top");
        QCOMPARE(r.log.mid(2), QStringList({"DTR 0 grey", "RTS 0", "close 1", "message"}));
        QCOMPARE(r.messages, QStringList("Zorore_PTT met an error and has to close:\n\n"
                                         "Cannot write the settings file memory: disk full"));
    }
};

QTEST_MAIN(TestFrmPTT)
#include "tst_frmptt.moc"

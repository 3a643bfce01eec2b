// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real window in-process. One log shows what the operator and the stored file would
// see, in order: every value stored, every line change with the button's colour at that moment,
// and every message box.

#include "DeviceWatch.h"
#include "KeyingOwner.h"
#include "PlatformChoice.h"
#include "PortMap.h"
#include "PortsDialog.h"
#include "SerialError.h"
#include "SettingsErrors.h"
#include "SettingsStore.h"
#include "TextForms.h"
#include "Version.h"
#include "frmPTT.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

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
    // All or none, as the file store writes them.
    void SaveSettings(const QString &a, const QString &s, const Values &pairs) override {
        if (failAt >= 0 && log.filter("=").size() + pairs.size() > failAt)
            throw StoreWriteError("memory", "disk full");
        for (const auto &[k, text] : pairs)
            SaveSetting(a, s, k, text);
    }
    QStringList Keys(const QString &, const QString &s) const override {
        QStringList keys = values.keys().filter(QRegularExpression('^' + s + '/'));
        return keys.replaceInStrings(s + '/', "");
    }
};

// The devices ports open: each logs its open, its close, and every change of its line with
// the button's colour at that moment. Its descriptor is a pipe's read end: unplug() closes the
// other, a hang-up the keying's owner notices.
struct Devices {
    QStringList &log;
    const PortMap &map;
    std::function<QString()> look;
    QSet<int> failing;
    LineChoice lines; // as the port map gave them at the last open
    int plug = -1;    // the open device's other end
    std::atomic<bool> keyed = false;

    struct Device final : KeyingDevice {
        Devices &all;
        int port, ends[2] = {-1, -1};
        Device(Devices &d, int n) : all(d), port(n) {
            ::pipe2(ends, O_CLOEXEC | O_NONBLOCK);
            all.plug = ends[1];
            all.log << QStringLiteral("open %1").arg(n);
        }
        ~Device() override {
            all.log << QStringLiteral("close %1").arg(port);
            all.keyed = false;
            ::close(ends[0]);
            all.unplug();
        }
        int fd() const override { return ends[0]; }
        bool setKeyed(bool k) override {
            all.keyed = k;
            all.log << QStringLiteral("%1 %2").arg(k ? "key" : "rest", all.look());
            return true;
        }
        RestAction restAction() const override { return {}; }
    };
    Devices(QStringList &l, const PortMap &m) : log(l), map(m) {}
    PortOpener opener() {
        return [this](int port) -> std::unique_ptr<KeyingDevice> {
            if (failing.contains(port))
                throw SerialError("cannot open");
            lines = map.lookUp(port).lines;
            return std::make_unique<Device>(*this, port);
        };
    }
    void unplug() {
        if (plug >= 0)
            ::close(std::exchange(plug, -1));
    }
};

struct FakeAdapters final : AdapterList {
    QList<Adapter> list;
    QList<Adapter> adapters() const override { return list; }
};

struct Rig {
    QStringList log;
    MemoryStore store{log};
    PortMap map{store};
    Devices devices{log, map};
    KeyingOwner comm{devices.opener()};
    FakeAdapters adapters;
    DeviceWatch watch{map};
    QStringList messages;
    int ended = -1;
    std::unique_ptr<frmPTT> w;

    explicit Rig(std::chrono::milliseconds minute = 400ms) {
        for (const char *kv : {"Position-Left=1500", "Position-Top=1200", "OnTop=0", "ComPort=1",
                               "Height=3090", "Timer=1"})
            set(QString(kv).section('=', 0, 0), QString(kv).section('=', 1));
        WindowHooks hooks;
        hooks.messageBox = [this](const QString &text, QMessageBox::Icon) {
            messages << text;
            log << "message";
            QTest::qWait(20); // a box's own event loop
        };
        hooks.endProgram = [this](int status) { ended = status; };
        hooks.minute = minute;
        hooks.ports = &map;
        hooks.adapters = &adapters;
        hooks.devices = &watch;
        w = std::make_unique<frmPTT>(store, comm, hooks);
        devices.look = [this] { return w && w->keyedLook() ? "red" : "grey"; };
    }
    ~Rig() { w.reset(); } // gone before the owner closes the port and looks at it
    void set(const QString &key, const QString &text) { store.values["Settings/" + key] = text; }
    QString stored(const QString &key) const { return store.values.value("Settings/" + key); }
    // Shows and activates the window, as a window manager does, and waits for its start-up; the
    // log starts afresh after it.
    bool start() {
        w->show();
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(w.get(), &activate);
        const bool done = QTest::qWaitFor([this] { return !w->keyedLook(); }, 5000);
        QTest::qWait(20); // a second start-up would come now
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
        QAccessibleInterface *tx = QAccessible::queryAccessibleInterface(r.w->cmdTX);
        QVERIFY(tx->role() == QAccessible::CheckBox && tx->text(QAccessible::Name) == "TX");
        QList<bool> seen;
        bool disagreed = false; // the colour, the line and a screen reader's check box agree
        for (int t : clicks.mid(1))
            at(std::chrono::milliseconds(t), [&] { r.clickTX(); });
        for (int t : checks)
            at(std::chrono::milliseconds(t), [&] {
                seen << r.w->keyedLook();
                disagreed = disagreed || r.w->keyedLook() != r.devices.keyed ||
                            r.w->keyedLook() != tx->state().checked;
            });
        const KeyClock::time_point clicked = KeyClock::now();
        r.clickTX();
        const qint64 returned = (KeyClock::now() - clicked) / 1ms;
        QTRY_COMPARE(seen.size(), checks.size());
        QCOMPARE(seen, keyed);
        QVERIFY(!disagreed);
        QVERIFY2(returned >= returnsAt && returned < returnsAt + 1000,
                 qPrintable(QString::number(returned)));
        QVERIFY(!r.log.filter("key ").isEmpty() && !r.log.contains("key grey"));
        QVERIFY(!r.devices.keyed && !r.w->keyedLook());
    }

    // Keyings by other programs show on the button, whatever thread they come from; news that
    // is old by the time the window's thread runs (inside a box's own loop, here) never turns it
    // red for a keying that has ended.
    void keyedElsewhere() {
        Rig r;
        QVERIFY(r.start());
        QList<bool> shown;
        struct Watch final : QObject {
            QList<bool> &seen;
            explicit Watch(QList<bool> &s) : seen(s) {}
            bool eventFilter(QObject *o, QEvent *e) override {
                if (e->type() == QEvent::PaletteChange)
                    seen << (static_cast<ColourButton *>(o)->BackColor() != kButtonFace);
                return false;
            }
        } watch(shown);
        r.w->cmdTX->installEventFilter(&watch);
        const Holder client{Holder::Kind::Client, 1};
        std::thread([&] { r.comm.key(client); }).join();
        QTRY_VERIFY(r.w->keyedLook());
        std::thread([&] { r.comm.release(client); }).join();
        QTRY_VERIFY(!r.w->keyedLook());
        std::thread([&] {
            r.comm.key(client);
            r.comm.release(client);
        }).join();
        r.w->mnuAbout->trigger();
        QCOMPARE(shown, QList<bool>({true, false}));
    }

    // A wait that ends releases its own keying only, never a newer one from elsewhere.
    void oldNews() {
        Rig r(400ms);
        QVERIFY(r.start());
        at(100ms, [&] { r.clickTX(); }); // released; the first click still waits, to 400 ms
        at(300ms, [&] { std::thread([&] { r.comm.key({Holder::Kind::Client, 1}); }).join(); });
        r.clickTX();
        QTest::qWait(100);
        QVERIFY(r.devices.keyed && r.w->keyedLook());
    }

    // Unplugged while keyed: released and said once; back again, reopened at rest by itself.
    void unplugged() {
        Rig r(300ms);
        QVERIFY(r.start());
        bool idle = false; // shown while the first click still waits
        at(100ms, [&] { r.devices.unplug(); });
        at(200ms, [&] {
            idle = !r.w->keyedLook();
            emit r.watch.appeared(1);
        });
        r.clickTX();
        QVERIFY(idle);
        QCOMPARE(r.log.mid(0, 6),
                 QStringList({"key red", "rest red", "close 1", "message", "open 1", "rest grey"}));
        QVERIFY(r.comm.PortOpen() && !r.devices.keyed);
        QCOMPARE(r.messages, QStringList(kPortMessage.arg(1)));
    }

    // Stored values good and bad: what the window shows, and what it stores again at once.
    void startup_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("saved"); // "*": any number
        QTest::addColumn<QString>("shown");
        auto row = [](const char *key, const char *text, const char *saved, const QString &shown) {
            QTest::addRow("%s=%s", key, text)
                << QString(key) << QString(text) << QString(saved) << shown;
        };
        row("Timer", "9", "9", "9 min");
        row("Timer", "0", "1", "1 min");
        row("Timer", "10", "1", "1 min");
        row("OnTop", "1", "1", "1 on top");
        row("OnTop", "2", "2", "2");
        row("OnTop", "3", "0", "0");
        row("Height", "1635", "1635", "compact");
        row("Height", "0", "3090", "full");
        row("Height", "tall", "3090", "full");
        row("ComPort", "5", "5", "COM5 open, list Com05");
        row("ComPort", "16", "16", "COM16 open, list -");
        row("ComPort", "abc", "1", "COM1 open, list Com01");
        row("ComPort", "3", "3", "COM3 closed, list - | " + kPortMessage.arg(3)); // no adapter
        row("Position-Left", "150", "150", "150");
        row("Position-Left", "12abc", "*", "first-run place");
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
        r.devices.failing = {3};
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
                            .arg(r.comm.CommPort())
                            .arg(r.comm.PortOpen() ? "open" : "closed",
                                 w.Combo1->ListIndex() < 0 ? "-" : w.Combo1->Text())},
            {"Position-Left", w.x() == first.w->x() ? "first-run place" : NumberText(w.Left())},
            {"Position-Top", w.y() == first.w->y() ? "first-run place" : NumberText(w.Top())}};
        QCOMPARE((QStringList(view[key]) + r.messages).join(" | "), shown);
        QVERIFY(!w.keyedLook() && !r.devices.keyed);
        if (!r.comm.PortOpen()) { // no port, no keying: the message again, never a red button
            r.clickTX();
            QVERIFY(!w.keyedLook() && r.messages.size() == 2);
        }
        if (saved != "*") // as the start-up itself stored it again
            QCOMPARE(r.stored(key), saved);
        w.SaveSettings();
        QVERIFY(std::isfinite(ToSingleStrict(key, r.stored(key))));
    }

    // A time-out chosen is stored and counts from the next keying. A port chosen while keyed
    // releases at once: the old port closed, the new one opened at rest, then stored.
    void choices() {
        Rig r(600ms);
        QVERIFY(r.start());
        bool kept = false, released = false;
        at(100ms, [&] {
            Rig::choose(r.w->Combo2, 8);
            kept = r.w->keyedLook() && r.devices.keyed;
        });
        at(200ms, [&] {
            r.log.clear();
            Rig::choose(r.w->Combo1, 4);
            released = !r.w->keyedLook() && !r.devices.keyed;
        });
        const KeyClock::time_point clicked = KeyClock::now();
        r.clickTX();
        QVERIFY(kept && released && KeyClock::now() - clicked < 3s);
        QCOMPARE(r.log.filter(QRegularExpression("^[a-zA-Z]+ ")).mid(0, 4),
                 QStringList({"rest red", "close 1", "open 5", "rest grey"}));
        QVERIFY(r.stored("ComPort") == "5" && r.stored("Timer") == "9");
    }

    // Text typed into the lists selects nothing; Enter keys nothing.
    void typingDoesNothing() {
        Rig r;
        QVERIFY(r.start());
        for (DropDownList *list : {r.w->Combo1, r.w->Combo2}) {
            list->setFocus();
            list->lineEdit()->selectAll();
            QTest::keyClicks(list->lineEdit(), list == r.w->Combo1 ? "Com05" : "7 min");
            QTest::keyClick(list->lineEdit(), Qt::Key_Return);
            r.w->chkOnTop->setFocus();
        }
        for (QWidget *focus : std::initializer_list<QWidget *>{r.w->chkOnTop, r.w->cmdTX}) {
            focus->setFocus();
            QTest::keyClick(focus, Qt::Key_Return);
            QTest::keyClick(focus, Qt::Key_Enter);
        }
        QCoreApplication::processEvents();
        QVERIFY(r.log.isEmpty());
        QCOMPARE(r.w->Combo1->ListIndex(), 0);
    }

    // Hide and Show keep the place; a click on Always On Top toggles between clear and checked,
    // and a grey box becomes checked.
    void views() {
        Rig r;
        QVERIFY(r.start());
        const QPoint pos = r.w->pos();
        for (const QString height : {"1635", "3090", "1635"}) {
            const bool hide = height == "1635";
            (hide ? r.w->mnuHide : r.w->mnuShow)->trigger();
            QCOMPARE(r.stored("Height") + NumberText(r.w->Height()), height + height);
            QVERIFY(r.w->mnuHide->isChecked() == hide && r.w->mnuShow->isChecked() != hide);
            QCOMPARE(r.w->pos(), pos);
        }
        for (int expected : {1, 0, 2, 1}) {
            if (expected == 2)
                r.w->setOnTopValue(2);
            else
                QTest::mouseClick(r.w->chkOnTop, Qt::LeftButton);
            QCOMPARE(r.w->chkOnTop->Value(), expected);
            QCOMPARE(r.stored("OnTop"), QString::number(expected));
            QVERIFY(r.onTop() == (expected == 1) && r.w->isVisible());
        }
    }

    // The box may stay open far longer than a transmission: the line is released first, the
    // port stays open for the next keying.
    void aboutWhileKeyed() {
        Rig r(500ms);
        QVERIFY(r.start());
        at(100ms, [&] { r.w->mnuAbout->trigger(); });
        at(200ms, [&] { r.clickTX(); });
        r.clickTX();
        QCOMPARE(r.log.mid(0, 4), QStringList({"key red", "rest grey", "message", "key red"}));
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
        QCOMPARE(r.log.mid(0, 2), QStringList({"rest red", "close 1"}));
        QCOMPARE(r.log.mid(2, 6).filter("=").size(), 6);
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
        QCOMPARE(r.log.mid(2), QStringList({"close 1", "message"}));
        QCOMPARE(r.messages, QStringList("Zorore_PTT met an error and has to close:\n\n"
                                         "Cannot write the settings file memory: disk full"));
    }

    // Setup > Ports...: the adapters plugged in; one assigned by its stable name; a line choice
    // for the open port, which is opened again with it.
    void portsDialog() {
        QTemporaryDir dir;
        const QString dev = dir.filePath("ttyUSB9");
        const QString id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        QVERIFY(QFile(dev).open(QIODevice::WriteOnly));
        Rig r;
        r.store.values["Ports/COM20"] = dev;
        r.adapters.list = {{dev, id, "FTDI", "FT232R USB UART", "A50285BI", 0x403, 0x6001},
                           {dir.filePath("ttyACM7"), "", "Arduino", "Uno", "", 0x2341, 0x43}};
        QVERIFY(r.start());
        r.w->mnuPorts->trigger();
        r.log.clear();
        PortsDialog *d = r.w->portsDialog;
        QCOMPARE(d->portTable->rowCount(), 16); // COM1..COM15 and COM20
        QString row = "COM20";
        for (int column = 1; column < d->portTable->columnCount(); ++column)
            row += " | " + d->portTable->item(15, column)->text();
        QCOMPARE(row, "COM20 | " + dev +
                          " | present | FTDI FT232R USB UART, serial A50285BI, USB 0403:6001 | "
                          "DTR keyed high; RTS rests low");
        QCOMPARE(d->freeList->count(), 1);
        QCOMPARE(d->freeList->item(0)->text(),
                 dir.filePath("ttyACM7") + " (Arduino Uno, USB 2341:0043)");

        d->choosePort(5); // not the open port: stored, nothing reopened
        d->deviceBox->setCurrentIndex(d->deviceBox->findData(id));
        d->applyButton->click();
        QCOMPARE(r.log, QStringList("COM5=" + id));

        d->choosePort(1);
        d->keyedBox->setCurrentIndex(1);
        QVERIFY(d->warning->isVisible());
        d->keyedBox->setCurrentIndex(0);
        d->lineBox->setCurrentIndex(1); // RTS keys, DTR rests high
        d->otherBox->setCurrentIndex(1);
        r.log.clear();
        d->applyButton->click();
        QCOMPARE(r.log.filter(QRegularExpression("^[a-zA-Z]+ ")),
                 QStringList({"close 1", "open 1", "rest grey"}));
        QCOMPARE(r.devices.lines, (LineChoice{LineChoice::Line::Rts, false, true}));
        QVERIFY(r.messages.isEmpty());

        // Keyed low, as chosen: in the file and at the next open. A store that fails keeps the
        // old entries whole: never a new device with an old line choice.
        d->choosePort(1);
        d->keyedBox->setCurrentIndex(1);
        d->applyButton->click();
        QVERIFY(r.store.values["Ports/COM1-Keyed"] == "Low" && r.devices.lines.keyedLow);
        r.store.failAt = int(r.log.filter("=").size()) + 1; // room for one entry
        d->choosePort(5);
        d->deviceBox->setCurrentIndex(0);
        d->keyedBox->setCurrentIndex(1);
        d->applyButton->click();
        QVERIFY(d->warning->text().startsWith("Not stored"));
        QVERIFY(r.store.values["Ports/COM5"] == id && !r.store.values.contains("Ports/COM5-Keyed"));
    }

    void platform_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QByteArray>("platform");
        const QString both = "DISPLAY=:0 WAYLAND_DISPLAY=wayland-0 XDG_SESSION_TYPE=wayland ";
        QTest::newRow("X11") << "DISPLAY=:0 XDG_SESSION_TYPE=x11" << QByteArray("xcb");
        QTest::newRow("XWayland") << both << QByteArray("xcb;wayland");
        QTest::newRow("Wayland only") << "WAYLAND_DISPLAY=wayland-0" << QByteArray();
        QTest::newRow("user: wayland") << both + "QT_QPA_PLATFORM=wayland" << QByteArray();
    }
    void platform() {
        QFETCH(QString, environment);
        QProcessEnvironment env;
        for (const QString &setting : environment.split(u' ', Qt::SkipEmptyParts))
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        QTEST(choosePlatform(env), "platform");
        for (const char *name : {"wayland", "wayland-egl", "xcb", "offscreen"})
            QCOMPARE(platformNotice(name).contains("not available in this Wayland session"),
                     QByteArray(name).startsWith("wayland"));
    }

    // Run by CMake once per screen scale, each a process of its own.
    void textsFitTheirControls() {
        Rig r;
        QVERIFY(r.start());
        const frmPTT &w = *r.w;
        QCOMPARE(w.font().family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
        QStyleOptionButton button;
        button.initFrom(w.cmdTX);
        // Control, text, room, and a pixel for the cursor that keeps a line edit from scrolling;
        // a line edit keeps 2 pixels each side and 1 above and below.
        QList<std::tuple<QWidget *, QString, QRect, int>> texts = {
            {w.Label2, w.Label2->text(), w.Label2->contentsRect(), 0},
            {w.cmdTX, "TX",
             w.cmdTX->style()->subElementRect(QStyle::SE_PushButtonContents, &button, w.cmdTX), 0}};
        for (DropDownList *list : {w.Combo1, w.Combo2})
            for (int i = 0; i < list->count(); ++i)
                texts.append(
                    {list, list->itemText(i), list->lineEdit()->rect() - QMargins(2, 1, 2, 1), 1});
        for (const auto &[control, text, room, cursor] : texts) {
            const QFontMetricsF fm(control->font(), control);
            const qreal width =
                qMax(fm.horizontalAdvance(text) + cursor, fm.tightBoundingRect(text).right());
            QVERIFY2(
                width <= room.width() && fm.height() <= room.height(),
                qPrintable(text + QString::asprintf(" needs %.2f x %.2f of %d x %d", width,
                                                    fm.height(), room.width(), room.height())));
        }
    }
};

QTEST_MAIN(TestFrmPTT)
#include "tst_frmptt.moc"

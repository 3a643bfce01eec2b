// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real window and its setup dialogs in-process. One log shows what the operator and the
// stored file would see, in order: every value stored, every line change with the button's colour
// at that moment, and every message box.

#include "DeviceWatch.h"
#include "FootSwitchDialog.h"
#include "KeyboardKeyDialog.h"
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
#include <QComboBox>
#include <QFontDatabase>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
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
            log << "box: " + text;
            QTest::qWait(20); // a box's own event loop
        };
        hooks.endProgram = [this](int status) { log << QString("end %1").arg(ended = status); };
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
    bool onTop() const { return w->windowFlags() & Qt::WindowStaysOnTopHint; }
};

} // namespace

class TestFrmPTT : public QObject {
    Q_OBJECT
private slots:
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

    // A TX click and what happens while it waits, at given ms after it. The log: what the line,
    // the button, the store and the operator saw, in order; "looks" the button then, which the
    // line and a screen reader's check box agree with; "returns" a click's call.
    void duringKeying_data() {
        QTest::addColumn<int>("minute"); // ms
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("log");
        const QString stored = "Position-Left=1500 | Position-Top=1200 | OnTop=0 | ComPort=%1 | "
                               "Timer=%2 | Height=3090";
        QTest::newRow("keyed until the time-out")
            << 400 << "0 click; 150 look; 350 look; 700 look"
            << "key red | looks red | looks red | rest red | returns | looks grey | looks grey";
        QTest::newRow("a second click releases, the first still waits")
            << 400 << "0 click; 50 look; 100 click; 150 look; 350 look; 700 look"
            << "key red | looks red | rest grey | returns | looks grey | looks grey | returns | "
               "looks grey | looks grey";
        QTest::newRow("a third keys again, both waits end at its deadline")
            << 400 << "0 click; 100 click; 150 look; 200 click; 250 look; 500 look; 650 look"
            << "key red | rest grey | returns | looks grey | key red | looks red | looks red | "
               "rest red | returns | returns | looks grey | looks grey";
        QTest::newRow("a fourth releases")
            << 400 << "0 click; 100 click; 200 click; 250 look; 300 click; 350 look; 550 look"
            << "key red | rest grey | returns | key red | looks red | rest grey | returns | "
               "looks grey | looks grey | returns | returns | looks grey";
        // A shorter time-out chosen between keyings: the newest deadline is the first wait's too.
        QTest::newRow("a shorter time-out")
            << 400 << "0 timer 1; 0 click; 50 timer 0; 100 click; 150 click; 675 look"
            << stored.arg(1).arg(2) + " | key red | " + stored.arg(1).arg(1) +
                   " | rest grey | returns | key red | rest red | returns | returns | looks grey | "
                   "looks grey";
        // A wait that ends releases its own keying only, never a newer one from elsewhere.
        QTest::newRow("old news") << 400 << "0 click; 100 click; 300 client; 500 look"
                                  << "key red | rest grey | returns | key grey | returns | "
                                     "looks red | looks red";
        // Released and said once; back again, reopened at rest by itself.
        QTest::newRow("unplugged")
            << 300 << "0 click; 100 unplug; 150 look; 200 replug"
            << "key red | rest red | close 1 | box: " + kPortMessage.arg(1) +
                   " | looks grey | open 1 | rest grey | returns | looks grey";
        // A time-out chosen is stored and counts from the next keying. A port chosen releases at
        // once: the old port closed, the choice stored, the new one opened at rest.
        QTest::newRow("choices") << 600 << "0 click; 100 timer 8; 150 look; 200 port 4; 250 look"
                                 << "key red | " + stored.arg(1).arg(9) +
                                        " | looks red | rest red | close 1 | " +
                                        stored.arg(5).arg(9) +
                                        " | open 5 | rest grey | looks grey | returns | looks grey";
        // The box may stay open far longer than a transmission: the line is released first, the
        // port stays open for the next keying.
        QTest::newRow("About")
            << 500 << "0 click; 100 about; 200 click"
            << "key red | rest grey | box: Zorore_PTT\nVersion " + QString(kProgramVersion) +
                   "\n\nKeys a transmitter through the DTR line of a serial port.\n\nCopyright "
                   "2026 The Zorore_PTT developers. Free software under the GNU General Public "
                   "License, version 3 or later, with no warranty. | key red | rest red | returns "
                   "| returns | looks grey";
        // The transmitter first: a slow or locked store must not keep it keyed.
        QTest::newRow("File > Exit") << 300 << "0 click; 100 exit"
                                     << "key red | rest red | close 1 | " + stored.arg(1).arg(1) +
                                            " | end 0 | returns | looks grey";
        // A store that cannot be written ends the program with the lines released; the position,
        // written first, is what survives.
        QTest::newRow("error in a handler")
            << 300 << "0 click; 100 fail 2; 100 hide"
            << "key red | Position-Left=1500 | Position-Top=1200 | rest red | close 1 | box: "
               "Zorore_PTT met an error and has to close:\n\nCannot write the settings file "
               "memory: disk full | end 1 | returns | looks grey";
        // Text typed into the lists selects nothing; Enter keys nothing.
        QTest::newRow("typing") << 300 << "0 type"
                                << "looks grey";
    }
    void duringKeying() {
        QFETCH(int, minute);
        QFETCH(QString, events);
        Rig r{std::chrono::milliseconds(minute)};
        QVERIFY(r.start());
        frmPTT &w = *r.w;
        QAccessibleInterface *tx = QAccessible::queryAccessibleInterface(w.cmdTX);
        QVERIFY(tx->role() == QAccessible::CheckBox && tx->text(QAccessible::Name) == "TX");
        const auto looks = [&] {
            const bool red = w.keyedLook();
            return QString("looks ") + (red ? "red" : "grey") +
                   (r.devices.keyed != red || tx->state().checked != red ? ", disagreed" : "");
        };
        int pending = int(events.count("; ")) + 1;
        const auto run = [&](const QStringList &word) { // "ms what [index]"
            const QString &what = word[1];
            if (what == "click") {
                r.clickTX();
                r.log << "returns";
            } else if (what == "look") {
                r.log << looks();
            } else if (what == "client") {
                std::thread([&] { r.comm.key({Holder::Kind::Client, 1}); }).join();
            } else if (what == "unplug") {
                r.devices.unplug();
            } else if (what == "replug") {
                emit r.watch.appeared(1);
            } else if (what == "timer" || what == "port") { // from the list's popup
                DropDownList *list = what == "timer" ? w.Combo2 : w.Combo1;
                list->showPopup();
                list->view()->setCurrentIndex(list->model()->index(word[2].toInt(), 0));
                QTest::keyClick(list->view(), Qt::Key_Return);
            } else if (what == "fail") {
                r.store.failAt = int(r.log.filter("=").size()) + word[2].toInt();
            } else if (what == "type") { // into each list, then Enter on each button
                for (QWidget *to :
                     QWidgetList{w.Combo1->lineEdit(), w.Combo2->lineEdit(), w.chkOnTop, w.cmdTX}) {
                    to->setFocus();
                    if (auto *edit = qobject_cast<QLineEdit *>(to)) {
                        edit->selectAll();
                        QTest::keyClicks(edit, edit == w.Combo1->lineEdit() ? "Com05" : "7 min");
                    }
                    QTest::keyClick(to, Qt::Key_Return);
                    QTest::keyClick(to, Qt::Key_Enter);
                }
            } else {
                (what == "about" ? w.mnuAbout : what == "exit" ? w.mnuExit : w.mnuHide)->trigger();
            }
            --pending;
        };
        for (const QString &event : events.split("; ")) { // each from inside the wait running then
            const QStringList word = event.split(' ');
            QTimer::singleShot(std::chrono::milliseconds(word[0].toInt()), Qt::PreciseTimer, &w,
                               [&, word] { run(word); });
        }
        QTRY_VERIFY_WITH_TIMEOUT(pending == 0, 5000);
        QCoreApplication::processEvents(); // the screen reader learns of the last change
        r.log << looks();
        QTEST(r.log.join(" | "), "log");
    }

    // Setup > Ports...: the adapters plugged in; one assigned by its stable name; a line choice
    // for the open port, which is opened again with it; a USB sound interface, keyed by a GPIO pin.
    void portsDialog() {
        QTemporaryDir dir;
        const QString dev = dir.filePath("ttyUSB9"), hid = dir.filePath("hidraw2");
        const QString id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        const QString byPath = dir.filePath("pci-0000:00:14.0-usb-0:2:1.3"); // its stable name
        QVERIFY(QFile(dev).open(QIODevice::WriteOnly) && QFile(hid).open(QIODevice::WriteOnly) &&
                QFile::link(hid, byPath));
        Rig r;
        r.store.values["Ports/COM20"] = dev;
        r.adapters.list = {{dev, id, "FTDI", "FT232R USB UART", "A50285BI", 0x403, 0x6001},
                           {dir.filePath("ttyACM7"), "", "Arduino", "Uno", "", 0x2341, 0x43},
                           {hid, byPath, "C-Media Electronics Inc.", "USB Audio Device", "", 0xd8c,
                            0x13c, "Device (hw:1)", true}};
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
        QCOMPARE(d->freeList->count(), 2);
        QCOMPARE(d->freeList->item(0)->text(),
                 dir.filePath("ttyACM7") + " (Arduino Uno, USB 2341:0043)");
        QCOMPARE(d->freeList->item(1)->text(),
                 byPath +
                     " (C-Media Electronics Inc. USB Audio Device, sound card Device (hw:1), " +
                     hid + ", USB 0d8c:013c)");
        const auto lines = [d] {
            QStringList texts;
            for (int i = 0; i < d->lineBox->count(); ++i)
                texts << d->lineBox->itemText(i);
            return texts.join(',');
        };

        d->choosePort(7); // not the open port: stored, nothing reopened
        QCOMPARE(lines(), "DTR,RTS,DTR and RTS");
        d->deviceBox->setCurrentIndex(d->deviceBox->findData(byPath));
        QCOMPARE(lines(), "GPIO1,GPIO2,GPIO3 (usual),GPIO4,GPIO5,GPIO6,GPIO7,GPIO8");
        QCOMPARE(d->lineBox->currentText(), "GPIO3 (usual)");
        QVERIFY(!d->otherBox->isEnabled());
        d->lineBox->setCurrentIndex(3);
        d->keyedBox->setCurrentIndex(1);
        d->applyButton->click();
        QCOMPARE(d->portTable->item(6, 3)->text(), r.adapters.list[2].description());
        QCOMPARE(d->portTable->item(6, 4)->text(), "GPIO4 keyed low");
        d->choosePort(5);
        d->deviceBox->setCurrentIndex(d->deviceBox->findData(id));
        d->applyButton->click();
        QCOMPARE(r.log, QStringList(
                            {"COM7=" + byPath, "COM7-Line=GPIO4", "COM7-Keyed=Low", "COM5=" + id}));

        // Unplugged: its pin as stored; a serial adapter chosen instead offers serial lines.
        r.adapters.list.removeLast();
        d->refresh();
        d->choosePort(7);
        QCOMPARE(d->lineBox->currentText(), "GPIO4");
        d->deviceBox->setCurrentIndex(d->deviceBox->findData(id));
        QVERIFY(d->lineBox->currentText() == "DTR" && d->otherBox->isEnabled());

        d->choosePort(1);
        d->keyedBox->setCurrentIndex(1);
        QVERIFY(d->warning->isVisible());
        d->keyedBox->setCurrentIndex(0);
        d->lineBox->setCurrentIndex(1); // RTS keys, DTR rests high
        d->otherBox->setCurrentIndex(1);
        r.log.clear();
        d->applyButton->click();
        QCOMPARE(r.log.join(" | "),
                 "COM1-Line=RTS | COM1-Other=High | close 1 | open 1 | rest grey");
        QCOMPARE(r.devices.lines, (LineChoice{LineChoice::Line::Rts, false, true}));

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

    // Setup > Keyboard Key... and Setup > Foot Switch..., driven as an operator would. Steps:
    // "press KEYS" (Qt's text), "clear", "<box> <index>", then "ok" or "cancel".
    void handsFreeDialogs_data() {
        QTest::addColumn<QString>("before"); // [Keying] entries
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("written"); // in order, and nothing else
        auto row = [](const char *name, const char *before, const char *steps, const char *out) {
            QTest::newRow(name) << QString(before) << QString(steps) << QString(out);
        };
        row("key typed, Toggle", "", "press F9; mode 1; ok", "Key=F9 KeyMode=Toggle");
        row("a combination", "", "press Ctrl+Space; ok", "Key=Ctrl+Space KeyMode=Hold");
        row("the last of two keys", "", "press F9; press F10; ok", "Key=F10 KeyMode=Hold");
        row("cleared", "Key=Pause KeyMode=Toggle", "clear; ok", "Key= KeyMode=Toggle");
        row("cancelled", "Key=F9", "press F10; cancel", "");
        row("switch", "", "port 3; line 1; active 1; mode 1; ok",
            "Switch=COM3 SwitchLine=DSR SwitchActive=Low SwitchMode=Toggle");
        row("no switch", "Switch=COM3 SwitchLine=RI", "port 0; ok", "Switch=");
        row("switch above 15, as stored",
            "Switch=com20 SwitchLine=dcd SwitchActive=Low SwitchMode=Toggle", "ok",
            "Switch=COM20 SwitchLine=DCD SwitchActive=Low SwitchMode=Toggle");
    }
    void handsFreeDialogs() {
        QFETCH(QString, before);
        QFETCH(QString, steps);
        Rig r;
        for (const QString &kv : before.split(' ', Qt::SkipEmptyParts))
            r.store.values["Keying/" + kv.section('=', 0, 0)] = kv.section('=', 1);
        std::unique_ptr<QDialog> dialog;
        QMap<QString, QComboBox *> boxes;
        KeyboardKeyDialog *key = nullptr;
        if (steps.contains("port") || before.contains("Switch")) {
            auto *d = new FootSwitchDialog(r.store, r.map, nullptr);
            boxes = {{"port", d->portBox},
                     {"line", d->lineBox},
                     {"active", d->activeBox},
                     {"mode", d->modeBox}};
            dialog.reset(d);
        } else {
            dialog.reset(key = new KeyboardKeyDialog(r.store, "No X display.", nullptr));
            boxes = {{"mode", key->modeBox}};
        }
        dialog->show();
        for (const QString &step : steps.split("; ")) {
            const QString word = step.section(' ', 0, 0), arg = step.section(' ', 1);
            if (word == "press") {
                const QKeyCombination k = QKeySequence::fromString(arg)[0];
                QTest::keyClick(key->keyEdit, k.key(), k.keyboardModifiers());
            } else if (word == "clear") {
                QTest::mouseClick(key->clearButton, Qt::LeftButton);
            } else if (word == "ok" || word == "cancel") {
                QTest::keyClick(dialog.get(), word == "ok" ? Qt::Key_Return : Qt::Key_Escape);
            } else if (word == "port") {
                boxes[word]->setCurrentIndex(boxes[word]->findData(arg.toInt()));
            } else {
                boxes[word]->setCurrentIndex(arg.toInt());
            }
        }
        QVERIFY(!dialog->isVisible());
        QVERIFY(!key || key->noticeLabel->text() == "No X display."); // why keys may not come
        QTEST(r.log.join(' '), "written");
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

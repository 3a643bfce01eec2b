// SPDX-License-Identifier: GPL-3.0-or-later
// Hands-free keying: the [Keying] entries, a key's chord, what a key or switch asks of the
// keying (against a model of the keying's holders and hold-offs), and the foot switch watched on
// pseudo-terminals whose input lines the line emulation (tests/uartemu) sets.

#include "HandsFreeSettings.h"
#include "InputLineWatch.h"
#include "KeyingSource.h"
#include "MemorySettingsStore.h"
#include "Ptys.h"
#include "SettingKeys.h"
#include "X11KeyWatch.h"

#include <QDir>
#include <QKeySequence>
#include <QRandomGenerator>
#include <QTest>
#include <dlfcn.h>
#include <fcntl.h>
#include <set>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace zptt;

namespace {

// The keying as its owner keeps it: a keying ends at any release, at a let-go of one of its
// holders and at its time-out, which holds off each holder until it lets go.
struct Keying final : KeyRequests {
    std::atomic<bool> on = false;
    std::set<Holder> holders, heldOff;

    KeyResult key(Holder who) override {
        if (heldOff.count(who))
            return KeyResult::Refused;
        holders.insert(who);
        return on = true, KeyResult::Keyed;
    }
    void release(Holder who) override {
        heldOff.erase(who);
        on = false, holders.clear();
    }
    void letGo(Holder who) override {
        heldOff.erase(who);
        if (holders.count(who))
            on = false, holders.clear();
    }
    KeyResult toggle(Holder who) override {
        return on ? (release(who), KeyResult::Keyed) : key(who);
    }
    bool keyed() const override { return on; }
    void timeOut() { heldOff = std::exchange(holders, {}), on = false; }
};

using SetInputs = int (*)(const char *, int);

} // namespace

class TestHandsFree : public QObject {
    Q_OBJECT
private slots:
    // Entries as stored, read back as "key mode | port line high mode", or the problem.
    void settings_data() {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *entries, const char *expected) {
            QTest::newRow(entries) << QString(entries) << QString(expected);
        };
        row("", " 0 | 0 0 1 0");
        row("Key=F9", "F9 0 | 0 0 1 0");
        row("Key=Ctrl+Space KeyMode=toggle", "Ctrl+Space 1 | 0 0 1 0");
        row("Key=F9,F10", "[Keying] Key=\"F9,F10\" is not one key or combination; no keyboard key");
        row("Key=F9 KeyMode=Press",
            "[Keying] KeyMode=\"Press\" is not Hold or Toggle; no keyboard key");
        row("Switch=COM3 SwitchLine=RI SwitchActive=Low SwitchMode=Toggle", " 0 | 3 3 0 1");
        row("Switch=com20", " 0 | 20 0 1 0");
        row("Switch=COM0", "[Keying] Switch=\"COM0\" is not a port COM1 to COM255; no foot switch");
        row("Switch=COM2 SwitchLine=DTR",
            "[Keying] SwitchLine=\"DTR\" is not CTS, DSR, DCD or RI; no foot switch");
    }
    void settings() {
        QFETCH(QString, entries);
        MemorySettingsStore store;
        for (const QString &e : entries.split(u' ', Qt::SkipEmptyParts))
            store.SaveSetting(keys::kApplication, keys::kKeyingSection, e.section(u'=', 0, 0),
                              e.section(u'=', 1));
        const HandsFreeSetup s = readHandsFree(store);
        const SwitchSetting &f = s.footSwitch;
        const QString seen =
            QString::asprintf("%s %d | %d %d %d %d", qPrintable(QKeySequence(s.key.key).toString()),
                              int(s.key.mode), f.port, f.line, f.activeHigh, int(f.mode));
        QTEST(s.problems.isEmpty() ? seen : s.problems.join(u'\n'), "expected");
    }

    // A key with its modifiers, from key codes going down (+) and up (-): k the key, c Control,
    // s Shift. Down after each event.
    void chord_data() {
        QTest::addColumn<int>("required");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("down");
        auto row = [](const char *name, int required, const char *events, const char *down) {
            QTest::newRow(name) << required << QString(events) << QString(down);
        };
        row("auto-repeat", 0, "+k +k +k -k", "1 1 1 0");
        row("another modifier held", 0, "+s +k -k -s", "0 0 0 0");
        row("a modifier pressed meanwhile", 0, "+k +s -s -k", "1 1 1 0");
        row("combination, key let go", KeyChord::Control, "+c +k -k -c", "0 1 0 0");
        row("combination, modifier let go", KeyChord::Control, "+c +k -c +c", "0 1 0 0");
        row("modifier after the key", KeyChord::Control, "+k +c -c", "0 0 0");
    }
    void chord() {
        QFETCH(int, required);
        QFETCH(QString, events);
        KeyChord chord;
        chord.setRequired(std::uint8_t(required));
        const QMap<QChar, std::uint8_t> codes{{'k', 10}, {'c', 37}, {'s', 50}};
        chord.mapCode(10, true, 0);
        chord.mapCode(37, false, KeyChord::Control);
        chord.mapCode(50, false, KeyChord::Shift);
        QStringList down;
        for (const QString &e : events.split(u' ')) {
            chord.event(codes[e[1]], e[0] == u'+');
            down << QString::number(chord.down());
        }
        QTEST(down.join(u' '), "down");
    }

    // Events: S0/S1 watching starts with the key up/down, d down, u up, T the time-out, C a
    // click on the red button, L the device lost. The line after each.
    void source_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("line");
        auto row = [](const char *name, PressMode mode, const char *events, const char *line) {
            QTest::newRow(name) << int(mode) << QString(events) << QString(line);
        };
        const PressMode hold = PressMode::Hold, toggle = PressMode::Toggle;
        row("hold", hold, "S0 d d d u", "0 1 1 1 0");
        row("hold: held at start", hold, "S1 d u d u", "0 0 0 1 0");
        row("hold: past the time-out", hold, "S0 d T d u d u", "0 1 0 0 0 1 0");
        row("hold: a click releases", hold, "S0 d C d u d", "0 1 0 0 0 1");
        row("hold: lost, then found held", hold, "S0 d L S1 u d", "0 1 0 0 0 1");
        row("toggle, through auto-repeat", toggle, "S0 d d d u d u", "0 1 1 1 1 0 0");
        row("toggle: held at start", toggle, "S1 u d", "0 0 1");
        row("toggle: held past the time-out", toggle, "S0 d T u d", "0 1 0 0 1");
        row("toggle: time-out after let go", toggle, "S0 d u T d", "0 1 1 0 1");
        row("toggle: lost", toggle, "S0 d u L", "0 1 1 0");
    }
    void source() {
        QFETCH(int, mode);
        QFETCH(QString, events);
        Keying keying;
        KeyingSource source(keying, Holder{Holder::Kind::Key}, PressMode(mode));
        QStringList line;
        for (const QString &e : events.split(u' ')) {
            if (e[0] == u'S')
                source.started(e[1] == u'1');
            else if (e == "d" || e == "u")
                source.changed(e == "d");
            else if (e == "T")
                keying.timeOut();
            else if (e == "C")
                keying.release(Holder{Holder::Kind::Button});
            else
                source.lost();
            line << QString::number(keying.keyed());
        }
        QTEST(line.join(u' '), "line");
    }

    // The switch on a pseudo-terminal's input line. Steps: "in LINES" sets the terminal's input
    // lines (- none), "bounce" flips CTS off and on again within the settling time (long, for
    // a loaded machine), "watch" starts watching, "unplug" closes the terminal's master, "moves"
    // moves the watch to another terminal and back 300 times, each time letting the old copy go
    // at once (a move lost in the wait would leave a press on the new port "held at start").
    // The line after each, and whether the watch said its device was gone.
    void switchWatch_data() {
        QTest::addColumn<int>("bit");
        QTest::addColumn<bool>("activeHigh");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("line");
        auto row = [](const char *name, int bit, bool high, const char *steps, const char *after) {
            QTest::newRow(name) << bit << high << QString(steps) << QString(after);
        };
        row("both edges", TIOCM_CTS, true, "watch; in CTS; in -", "0 1 0");
        row("active low", TIOCM_DSR, false, "in DSR; watch; in -; in DSR", "0 0 1 0");
        row("other lines", TIOCM_CAR, true, "watch; in CTS|DSR|RI; in CTS|DCD", "0 0 1");
        row("bounce", TIOCM_CTS, true, "watch; in CTS; bounce; in -", "0 1 1 0");
        row("held at start", TIOCM_RNG, true, "in RI; watch; in -; in RI", "0 0 0 1");
        row("unplugged while held", TIOCM_CTS, true, "watch; in CTS; unplug", "0 1 0 gone");
        row("moved to and fro", TIOCM_CTS, true, "watch; moves; in CTS", "0 0 1");
    }
    void switchWatch() {
        QFETCH(int, bit);
        QFETCH(bool, activeHigh);
        QFETCH(QString, steps);
        const auto setInputs =
            reinterpret_cast<SetInputs>(::dlsym(RTLD_DEFAULT, "uartemu_set_inputs"));
        QVERIFY2(setInputs, "run it through ctest, with the line emulation preloaded");
        Pty pty;
        const QByteArray name = QFile::encodeName(pty.path);
        const int fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        const Pty elsewhere;
        const int other = ::open(QFile::encodeName(elsewhere.path), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const auto open = [] { return int(QDir("/proc/self/fd").count()); };
        const QMap<QString, int> bits{
            {"CTS", TIOCM_CTS}, {"DSR", TIOCM_DSR}, {"DCD", TIOCM_CAR}, {"RI", TIOCM_RNG}};
        const auto in = [&](const QString &lines) {
            int set = 0;
            for (const QString &l : lines.split(u'|'))
                set |= bits.value(l);
            setInputs(name.constData(), set);
        };
        in("-");
        Keying keying;
        KeyingSource source(keying, Holder{Holder::Kind::Switch}, PressMode::Hold);
        std::atomic<bool> gone = false;
        auto watch = std::make_unique<InputLineWatch>(
            bit, activeHigh, source, [&gone] { gone = true; }, 150ms);
        QStringList seen;
        for (const QString &step : steps.split("; ")) {
            if (step == "watch")
                watch->watch(fd);
            else if (step == "bounce")
                for (const char *s : {"-", "CTS", "-", "CTS"})
                    in(s), QTest::qSleep(15);
            else if (step == "unplug")
                pty.unplug();
            else if (step == "moves")
                for (int i = 0, before = open(); i < 600; ++i) {
                    watch->watch(i % 2 ? fd : other);
                    for (int waited = 0; open() != before; QTest::qSleep(1))
                        QVERIFY2(++waited < 2000, qPrintable(QString("move %1 lost").arg(i)));
                    QTest::qSleep(QRandomGenerator::global()->bounded(2));
                }
            else
                in(step.mid(3));
            QTest::qWait(400);
            seen << QString::number(keying.keyed());
        }
        QTEST(seen.join(u' ') + (gone ? " gone" : ""), "line");
        watch.reset(); // interrupts the wait, or finds the watch over
        ::close(fd);
        ::close(other);
    }
};

QTEST_GUILESS_MAIN(TestHandsFree)
#include "tst_handsfree.moc"

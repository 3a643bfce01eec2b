// Drives the real window in-process with a recording store and serial control.

#include "Doubles.h"
#include "Twips.h"
#include "frmPTT.h"

#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

using namespace std::chrono_literals;
using namespace zptt;
using namespace zptt::testing;

namespace {

const QString kDefaultsOrder =
    QStringLiteral("Position-Left,Position-Top,OnTop,ComPort,Height,Timer");
const QString kSaveOrder = QStringLiteral("Position-Left,Position-Top,OnTop,ComPort,Timer,Height");

struct Rig {
    MemoryStore store;
    FakeComm comm;
    QStringList messages;
    std::function<void()> onMessage;
    int ended = -1;
    QStringList logAtEnd; // the serial control's log when the program ended
    std::unique_ptr<frmPTT> w;

    explicit Rig(std::chrono::milliseconds minute = 400ms) {
        WindowHooks hooks;
        hooks.messageBox = [this](const QString &text, QMessageBox::Icon) {
            messages << text;
            if (onMessage)
                onMessage();
        };
        hooks.endProgram = [this](int status) {
            ended = status;
            logAtEnd = comm.log;
        };
        hooks.minute = minute;
        w = std::make_unique<frmPTT>(store, comm, hooks);
    }
    // Shows the window and waits for its first activation to finish.
    bool start() {
        w->show();
        return QTest::qWaitFor([this] { return !w->keyedLook() || ended >= 0; }, 5000) && ended < 0;
    }
    void storeWorkingSettings() {
        store.set("Position-Left", "1500");
        store.set("Position-Top", "1200");
        store.set("OnTop", "0");
        store.set("ComPort", "1");
        store.set("Height", "3090");
        store.set("Timer", "1");
    }
    // An operator's choice from the drop-down list.
    static void choose(DropDownList *list, int index) {
        list->showPopup();
        QAbstractItemView *view = list->view();
        view->setCurrentIndex(list->model()->index(index, 0));
        QTest::keyClick(view, Qt::Key_Return);
    }
    void clickTX() { QTest::mouseClick(w->cmdTX, Qt::LeftButton); }
};

// Runs fn after the given time, from inside whatever wait is running then.
void at(std::chrono::milliseconds when, std::function<void()> fn) {
    QTimer::singleShot(when, Qt::PreciseTimer, std::move(fn));
}

} // namespace

class TestFrmPTT : public QObject {
    Q_OBJECT
private slots:
    void designedState();
    void menusFitTheDesignedWidth();
    void typedTextRunsNothing();
    void enterNeverKeysAndSpaceDoes();
    void checkBoxClicks();
    void codeAssignmentsRunHandlersOnlyOnChange();

    void keyingStateTable_data();
    void keyingStateTable();
    void foreignColourReleases();
    void manyNestedClicksStayBounded();
    void tenThousandClicks();
    void txWithNoPortShowsMessage();

    void startupEmptyStore();
    void startupStoredValues_data();
    void startupStoredValues();
    void unusableStoredValues_data();
    void unusableStoredValues();
    void storedPortNeverOverwritten();
    void failedPortOneMessageAndRetry();
    void windowOffEveryScreenStaysPut();
    void heightAdjustedByToolkitMarksShow();

    void portChoices_data();
    void portChoices();
    void timeoutChoiceLeavesPortAlone();
    void choicesDuringKeying();

    void saveSettingsReadsLiveSources();
    void hideAndShow_data();
    void hideAndShow();
    void onTopWrites();
    void aboutDuringKeying();
    void unloadSavesThenReleases();
    void errorInHandlerReleasesAndEnds();
};

void TestFrmPTT::designedState() {
    Rig r;
    frmPTT &w = *r.w;
    QCOMPARE(w.windowTitle(), QStringLiteral("Zorore_PTT"));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    QVERIFY(!(w.windowFlags() & Qt::WindowStaysOnTopHint));
    QCOMPARE(w.windowIcon().availableSizes().value(0), QSize(119, 127));

    const double tx = w.twipsPerPixelX(), ty = w.twipsPerPixelY();
    struct Row {
        QWidget *control;
        int left, top, width, height;
    };
    const Row rows[] = {{w.cmdTX, 240, 120, 1215, 615},
                        {w.Combo1, 360, 1080, 975, 315},
                        {w.Combo2, 360, 1560, 975, 315},
                        {w.Label2, 120, 2040, 1215, 255},
                        {w.chkOnTop, 1320, 2040, 255, 255}};
    for (const Row &row : rows) {
        const QRect expected(twipsToPixels(row.left, tx), twipsToPixels(row.top, ty),
                             twipsToPixels(row.width, tx), twipsToPixels(row.height, ty));
        QCOMPARE(row.control->geometry(), expected);
    }
    if (qFuzzyCompare(tx, 15.0))
        QCOMPARE(w.cmdTX->geometry(), QRect(16, 8, 81, 41));
    QCOMPARE(w.size(), QSize(twipsToPixels(1755, tx),
                             w.menuBar()->sizeHint().height() + twipsToPixels(2400, ty)));

    // Before the first activation: keyed look, no selection, nothing checked.
    QCOMPARE(w.cmdTX->BackColor(), kKeyedRed);
    QCOMPARE(w.cmdTX->text(), QStringLiteral("TX"));
    QCOMPARE(w.Combo1->ListIndex(), -1);
    QCOMPARE(w.Combo1->Text(), QStringLiteral("Com01"));
    QCOMPARE(w.Combo1->count(), 15);
    QCOMPARE(w.Combo1->itemText(14), QStringLiteral("Com15"));
    QCOMPARE(w.Combo2->ListIndex(), -1);
    QCOMPARE(w.Combo2->Text(), QStringLiteral("1 min"));
    QCOMPARE(w.Combo2->itemText(8), QStringLiteral("9 min"));
    QCOMPARE(w.chkOnTop->Value(), 0);
    QVERIFY(w.chkOnTop->text().isEmpty());
    QCOMPARE(w.Label2->text(), QStringLiteral("Always On Top"));
    QVERIFY(!w.mnuHide->isChecked() && !w.mnuShow->isChecked());
    QCOMPARE(w.comPortText(), QString());
    QCOMPARE(w.timeoutMinutes(), 0);
    QVERIFY(!w.keyDeadline());
    QVERIFY(!w.cmdTX->isDefault() && !w.cmdTX->autoDefault());

    const QStringList captions{w.mnuFile->title(), w.mnuExit->text(), w.mnuSetup->title(),
                               w.mnuHide->text(),  w.mnuShow->text(), w.mnuHelp->title(),
                               w.mnuAbout->text()};
    QCOMPARE(captions,
             QStringList({"&File", "&Exit", "&Setup", "&Hide", "&Show", "&Help", "&About"}));
    QCOMPARE(w.mnuSetup->actions().mid(0, 2), QList<QAction *>({w.mnuHide, w.mnuShow}));
    QVERIFY(w.mnuSetup->actions().at(2)->isSeparator());
    QCOMPARE(w.mnuSetup->actions().last(), w.mnuRemote);
    QVERIFY(w.mnuRemote->isCheckable() && !w.mnuRemote->isChecked());
    for (QAction *a : {w.mnuExit, w.mnuHide, w.mnuShow, w.mnuAbout})
        QVERIFY(a->shortcut().isEmpty());

    // Tab order: box, port list, time-out list, TX, and round again; the label never.
    QCOMPARE(w.Label2->focusPolicy(), Qt::NoFocus);
    QList<QWidget *> chain;
    QWidget *at = w.chkOnTop;
    for (int i = 0; i < 4; ++i) {
        chain << at;
        do
            at = at->nextInFocusChain();
        while (!(at->focusPolicy() & Qt::TabFocus) || at == w.Combo1->lineEdit() ||
               at == w.Combo2->lineEdit());
    }
    QCOMPARE(chain, QList<QWidget *>({w.chkOnTop, w.Combo1, w.Combo2, w.cmdTX}));
    QCOMPARE(at, static_cast<QWidget *>(w.chkOnTop));
    QVERIFY(r.store.writes.isEmpty());
    QVERIFY(r.comm.log.isEmpty());
}

void TestFrmPTT::menusFitTheDesignedWidth() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    QMenuBar *bar = r.w->menuBar();
    for (QMenu *m : {r.w->mnuFile, r.w->mnuSetup, r.w->mnuHelp}) {
        const QRect item = bar->actionGeometry(m->menuAction());
        QVERIFY2(!item.isEmpty() && item.right() < bar->width(), qPrintable(m->title()));
    }
}

void TestFrmPTT::typedTextRunsNothing() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    const QStringList writes = r.store.writes, log = r.comm.log;
    for (DropDownList *list : {r.w->Combo1, r.w->Combo2}) {
        const int index = list->ListIndex();
        list->setFocus();
        list->lineEdit()->selectAll();
        QTest::keyClicks(list->lineEdit(), list == r.w->Combo1 ? "Com05" : "7 min");
        QTest::keyClick(list->lineEdit(), Qt::Key_Return);
        r.w->chkOnTop->setFocus(); // leaving the field selects nothing either
        QCoreApplication::processEvents();
        QCOMPARE(list->ListIndex(), index);
        QCOMPARE(list->count(), list == r.w->Combo1 ? 15 : 9);
        QCOMPARE(list->Text(),
                 list == r.w->Combo1 ? QStringLiteral("Com05") : QStringLiteral("7 min"));
    }
    QCOMPARE(r.store.writes, writes);
    QCOMPARE(r.comm.log, log);
}

void TestFrmPTT::enterNeverKeysAndSpaceDoes() {
    Rig r(100ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());
    r.comm.log.clear();
    for (QWidget *focus :
         {static_cast<QWidget *>(r.w->chkOnTop), static_cast<QWidget *>(r.w->cmdTX)}) {
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_Return);
        QTest::keyClick(focus, Qt::Key_Enter);
    }
    QVERIFY(!r.comm.log.contains("DTR 1"));
    bool keyedDuring = false;
    at(50ms, [&] { keyedDuring = r.w->keyedLook() && r.comm.dtr; });
    QTest::keyClick(r.w->cmdTX, Qt::Key_Space);
    QVERIFY(keyedDuring);
    QVERIFY(!r.comm.dtr && !r.w->keyedLook());
}

void TestFrmPTT::checkBoxClicks() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    QTest::mouseClick(r.w->Label2, Qt::LeftButton);
    QCOMPARE(r.w->chkOnTop->Value(), 0);
    const QList<std::int16_t> expected{1, 0, 1};
    for (std::int16_t value : expected) {
        QTest::mouseClick(r.w->chkOnTop, Qt::LeftButton);
        QCOMPARE(r.w->chkOnTop->Value(), value);
        QCOMPARE(r.store.writes.last(), QStringLiteral("OnTop=%1").arg(value));
    }
    r.w->setOnTopValue(2);
    QCOMPARE(r.store.writes.last(), QStringLiteral("OnTop=2"));
    QTest::mouseClick(r.w->chkOnTop, Qt::LeftButton); // grey becomes checked
    QCOMPARE(r.w->chkOnTop->Value(), 1);
}

void TestFrmPTT::codeAssignmentsRunHandlersOnlyOnChange() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    const qsizetype writes = r.store.writes.size();
    r.w->setListIndex(r.w->Combo2, r.w->Combo2->ListIndex());
    r.w->setOnTopValue(r.w->chkOnTop->Value());
    QCOMPARE(r.store.writes.size(), writes);
    r.w->setListIndex(r.w->Combo2, 4);
    QCOMPARE(r.w->Combo2->Text(), QStringLiteral("5 min"));
    QCOMPARE(r.w->timeoutMinutes(), 5);
    QCOMPARE(r.store.writes.size(), writes + 6);
    QVERIFY_THROWS_EXCEPTION(InvalidPropertyValue, r.w->setListIndex(r.w->Combo2, 9));
    QVERIFY_THROWS_EXCEPTION(InvalidPropertyValue, r.w->setListIndex(r.w->Combo1, -2));
    QVERIFY_THROWS_EXCEPTION(InvalidPropertyValue, r.w->setOnTopValue(3));
}

// Clicks at given moments; the first click's call returns at the newest deadline.
void TestFrmPTT::keyingStateTable_data() {
    QTest::addColumn<QList<int>>("clicks");     // ms after the first click
    QTest::addColumn<QList<int>>("checkTimes"); // ms after the first click
    QTest::addColumn<QList<bool>>("keyed");     // red and DTR high at that moment
    QTest::addColumn<int>("returnsAt");         // first call's return, ms

    QTest::newRow("idle click keys until the time-out")
        << QList<int>{0} << QList<int>{150, 350} << QList<bool>{true, true} << 400;
    QTest::newRow("second click releases, first call still waits")
        << QList<int>{0, 100} << QList<int>{50, 150, 350} << QList<bool>{true, false, false} << 400;
    QTest::newRow("third click keys again, both waits end at the new deadline")
        << QList<int>{0, 100, 200} << QList<int>{150, 250, 500, 650}
        << QList<bool>{false, true, true, false} << 600;
    QTest::newRow("fourth click releases, waits end at the third's deadline")
        << QList<int>{0, 100, 200, 300} << QList<int>{250, 350, 550}
        << QList<bool>{true, false, false} << 600;
}

void TestFrmPTT::keyingStateTable() {
    QFETCH(QList<int>, clicks);
    QFETCH(QList<int>, checkTimes);
    QFETCH(QList<bool>, keyed);
    QFETCH(int, returnsAt);
    Rig r(400ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());

    QList<bool> seen(checkTimes.size(), false);
    bool disagreed = false; // the colour and the line must always tell the same
    for (qsizetype i = 1; i < clicks.size(); ++i)
        at(std::chrono::milliseconds(clicks[i]), [&r] { r.clickTX(); });
    for (qsizetype i = 0; i < checkTimes.size(); ++i)
        at(std::chrono::milliseconds(checkTimes[i]), [&r, &seen, &disagreed, i] {
            const bool red = r.w->cmdTX->BackColor() == kKeyedRed;
            seen[i] = red;
            disagreed = disagreed || red != r.comm.dtr;
        });
    QElapsedTimer clock;
    clock.start();
    r.clickTX();
    const qint64 returned = clock.elapsed();
    QTest::qWait(std::max(0, checkTimes.last() - int(clock.elapsed()) + 20));

    QCOMPARE(seen, keyed);
    QVERIFY(!disagreed);
    QVERIFY2(returned >= returnsAt && returned < returnsAt + 300,
             qPrintable(QStringLiteral("returned after %1 ms").arg(returned)));
    QCOMPARE(r.w->cmdTX->BackColor(), kButtonFace);
    QVERIFY(!r.comm.dtr);
    QCOMPARE(r.comm.log.last(), QStringLiteral("DTR 0"));
    QCOMPARE(r.w->keyingDepth(), 0);
}

void TestFrmPTT::foreignColourReleases() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    r.w->cmdTX->setBackColor(0x00FF00);
    QElapsedTimer clock;
    clock.start();
    r.clickTX();
    QVERIFY(clock.elapsed() < 100);
    QCOMPARE(r.w->cmdTX->BackColor(), kButtonFace);
    QCOMPARE(r.comm.log.last(), QStringLiteral("DTR 0"));
}

void TestFrmPTT::manyNestedClicksStayBounded() {
    Rig r(600ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());
    int deepest = 0;
    for (int i = 1; i < 200; ++i)
        at(std::chrono::milliseconds(i), [&] {
            deepest = std::max(deepest, r.w->keyingDepth());
            r.clickTX();
        });
    r.clickTX();
    QTRY_COMPARE_WITH_TIMEOUT(r.w->keyingDepth(), 0, 3000);
    QTest::qWait(700); // past the newest deadline
    QCOMPARE(deepest, frmPTT::kMaxKeyingDepth);
    QCOMPARE(r.w->cmdTX->BackColor(), kButtonFace);
    QVERIFY(!r.comm.dtr);
}

// Clicks as fast as events go, each from inside the waits the earlier ones started.
void TestFrmPTT::tenThousandClicks() {
    Rig r(1500ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());
    int clicks = 1, deepest = 0;
    std::function<void()> next = [&] {
        if (clicks >= 10000)
            return;
        ++clicks;
        deepest = std::max(deepest, r.w->keyingDepth());
        QTimer::singleShot(0, r.w.get(), next); // posted first: this click may wait
        r.clickTX();
    };
    QTimer::singleShot(0, r.w.get(), next);
    r.clickTX();
    QTRY_COMPARE_WITH_TIMEOUT(clicks, 10000, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(r.w->keyingDepth(), 0, 5000);
    QCOMPARE(deepest, frmPTT::kMaxKeyingDepth);
    // An even number of clicks ends released; the waits have all reached the deadline.
    QCOMPARE(r.w->cmdTX->BackColor(), kButtonFace);
    QVERIFY(!r.comm.dtr);
    QCOMPARE(r.comm.log.last(), QStringLiteral("DTR 0"));
}

void TestFrmPTT::txWithNoPortShowsMessage() {
    Rig r;
    r.storeWorkingSettings();
    r.store.set("ComPort", "4");
    r.comm.failing = {4};
    QVERIFY(r.start());
    QCOMPARE(r.messages.size(), 1);
    r.clickTX();
    QCOMPARE(r.messages,
             QStringList(2, QStringLiteral("COM 4: not available. Check for correct Com Port.")));
    QCOMPARE(r.w->cmdTX->BackColor(), kButtonFace);
    QVERIFY(!r.comm.log.contains("DTR 1"));
}

void TestFrmPTT::startupEmptyStore() {
    Rig r;
    QVERIFY(r.start());
    // Defaults first, then one save from each list handler; the nested run saves nothing.
    const QStringList keys = r.store.writtenKeys();
    QCOMPARE(keys.size(), 18);
    QCOMPARE(keys.mid(0, 6).join(','), kDefaultsOrder);
    QCOMPARE(keys.mid(6, 6).join(','), kSaveOrder);
    QCOMPARE(keys.mid(12, 6).join(','), kSaveOrder);
    QCOMPARE(r.store.writes.mid(2, 4),
             QStringList({"OnTop=0", "ComPort=1", "Height=3090", "Timer=1"}));
    QCOMPARE(r.comm.opens(), QStringList({"open 1", "close 1", "open 1"}));
    QVERIFY(!r.comm.dtr && !r.comm.rts);
    QVERIFY(r.messages.isEmpty());
    QVERIFY(r.w->mnuShow->isChecked() && !r.w->mnuHide->isChecked());
    QCOMPARE(r.w->Height(), 3090.0f);
    QCOMPARE(r.w->timeoutMinutes(), 1);
    QCOMPARE(r.w->Combo2->Text(), QStringLiteral("1 min"));
    QCOMPARE(r.w->Combo1->ListIndex(), 0);
    QCOMPARE(r.w->comPortText(), QStringLiteral("1"));
    QCOMPARE(r.w->cmdTX->BackColor(), kButtonFace);
    QCOMPARE(r.store.value("Position-Left"), NumberText(r.w->Left()));
}

void TestFrmPTT::startupStoredValues_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expect");

    QTest::newRow("compact height marks Hide") << "Height"
                                               << "1635"
                                               << "hide";
    QTest::newRow("full height marks Show") << "Height"
                                            << "3090"
                                            << "show";
    QTest::newRow("grey box, not on top, stored again") << "OnTop"
                                                        << "2"
                                                        << "grey";
    QTest::newRow("checked box, on top") << "OnTop"
                                         << "1"
                                         << "ontop";
    QTest::newRow("nine minutes") << "Timer"
                                  << "9"
                                  << "nine";
    QTest::newRow("lenient timer text") << "Timer"
                                        << " 9abc"
                                        << "nine";
    QTest::newRow("port that is not a number: previous port opens") << "ComPort"
                                                                    << "abc"
                                                                    << "abc";
    QTest::newRow("port beyond the list opens, list unchanged") << "ComPort"
                                                                << "16"
                                                                << "16";
}

void TestFrmPTT::startupStoredValues() {
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QString, expect);
    Rig r;
    r.storeWorkingSettings();
    r.store.set(key, text);
    QVERIFY(r.start());
    frmPTT &w = *r.w;
    if (expect == "hide") {
        QVERIFY(w.mnuHide->isChecked() && !w.mnuShow->isChecked());
        QCOMPARE(w.Height(), 1635.0f);
    } else if (expect == "show") {
        QVERIFY(!w.mnuHide->isChecked() && w.mnuShow->isChecked());
    } else if (expect == "grey") {
        QCOMPARE(w.chkOnTop->Value(), 2);
        QVERIFY(!(w.windowFlags() & Qt::WindowStaysOnTopHint));
        QVERIFY(r.store.writes.contains("OnTop=2"));
    } else if (expect == "ontop") {
        QCOMPARE(w.chkOnTop->Value(), 1);
        QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
    } else if (expect == "nine") {
        QCOMPARE(w.timeoutMinutes(), 9);
        QCOMPARE(w.Combo2->ListIndex(), 8);
    } else if (expect == "abc") {
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.comm.opens(), QStringList({"open 1", "close 1", "open 1"}));
        QCOMPARE(w.Combo1->ListIndex(), 0);
        QCOMPARE(r.store.value("ComPort"), QStringLiteral("1"));
    } else if (expect == "16") {
        QVERIFY(r.messages.isEmpty());
        QCOMPARE(r.comm.opens(), QStringList({"open 16"}));
        QCOMPARE(w.Combo1->ListIndex(), -1);
        QVERIFY(!r.comm.dtr && !r.comm.rts);
    }
}

// A value that cannot be applied falls back to its default and the next save mends it.
void TestFrmPTT::unusableStoredValues_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("saved"); // what the next save writes; empty: any number

    auto row = [](const char *name, const char *key, const char *text, const char *saved) {
        QTest::newRow(name) << QString(key) << QString(text) << QString(saved);
    };
    row("empty top", "Position-Top", "", "");
    row("text top", "Position-Top", "north", "");
    row("text left", "Position-Left", "12abc", "");
    row("overflowing left", "Position-Left", "1e39", "");
    row("top beyond any window system", "Position-Top", "3.4e38", "");
    row("left far off to the left", "Position-Left", "-1e30", "");
    row("negative height", "Height", "-1e30", "3090");
    row("zero height", "Height", "0", "3090");
    row("empty height", "Height", "", "3090");
    row("text height", "Height", "tall", "3090");
    row("empty on-top", "OnTop", "", "0");
    row("on-top 3", "OnTop", "3", "0");
    row("on-top overflow", "OnTop", "40000", "0");
    row("empty timer", "Timer", "", "1");
    row("zero timer", "Timer", "0", "1");
    row("ten minutes", "Timer", "10", "1");
    row("negative timer", "Timer", "-5", "1");
    row("overflowing timer", "Timer", "99999", "1");
}

void TestFrmPTT::unusableStoredValues() {
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QString, saved);
    Rig r(100ms);
    r.storeWorkingSettings();
    r.store.set(key, text);
    QVERIFY(r.start());
    QCOMPARE(r.ended, -1);
    QVERIFY(r.messages.isEmpty());
    r.w->mnuShow_Click();
    if (saved.isEmpty()) {
        bool ok = false;
        r.store.value(key).toFloat(&ok);
        QVERIFY(ok);
    } else {
        QCOMPARE(r.store.value(key), saved);
    }
    QVERIFY(r.w->timeoutMinutes() >= 1 && r.w->timeoutMinutes() <= 9);
    // The TX button still keys for a real time-out.
    bool keyed = false;
    at(50ms, [&] { keyed = r.comm.dtr; });
    r.clickTX();
    QVERIFY(keyed);
}

void TestFrmPTT::storedPortNeverOverwritten() {
    Rig r;
    r.storeWorkingSettings();
    r.store.set("ComPort", "7");
    r.comm.failing = {7};
    QVERIFY(r.start());
    for (const QString &w : r.store.writes)
        if (w.startsWith("ComPort="))
            QCOMPARE(w, QStringLiteral("ComPort=7"));
    QCOMPARE(r.store.value("ComPort"), QStringLiteral("7"));
}

void TestFrmPTT::failedPortOneMessageAndRetry() {
    Rig r;
    r.storeWorkingSettings();
    r.store.set("ComPort", "3");
    r.comm.failing = {3};
    QVERIFY(r.start());
    QCOMPARE(r.messages, QStringList("COM 3: not available. Check for correct Com Port."));
    QCOMPARE(r.comm.opens(), QStringList({"open 3 failed"}));
    QCOMPARE(r.w->Combo1->ListIndex(), -1);
    QCOMPARE(r.store.writtenKeys().size(), 6); // the time-out list's save only
    QTest::qWait(100);
    QCOMPARE(r.messages.size(), 1);

    r.comm.failing.clear(); // plugged in again: choosing it retries
    Rig::choose(r.w->Combo1, 2);
    QCOMPARE(r.comm.opens().last(), QStringLiteral("open 3"));
    QVERIFY(r.comm.open && !r.comm.dtr && !r.comm.rts);
    QCOMPARE(r.messages.size(), 1);
}

void TestFrmPTT::windowOffEveryScreenStaysPut() {
    Rig r;
    r.storeWorkingSettings();
    r.store.set("Position-Left", "-300000");
    r.store.set("Position-Top", "-300000");
    QVERIFY(r.start());
    // Left where it was first placed, as on a first run.
    Rig firstRun;
    QVERIFY(firstRun.start());
    QCOMPARE(r.w->frameGeometry().topLeft(), firstRun.w->frameGeometry().topLeft());

    Rig onScreen;
    onScreen.storeWorkingSettings();
    onScreen.store.set("Position-Left", "150");
    onScreen.store.set("Position-Top", "300");
    QVERIFY(onScreen.start());
    QCOMPARE(onScreen.w->Left(), 150.0f);
    QCOMPARE(onScreen.w->Top(), 300.0f);
}

void TestFrmPTT::heightAdjustedByToolkitMarksShow() {
    Rig r;
    r.storeWorkingSettings();
    r.store.set("Height", "1635");
    r.w->setMinimumHeight(150); // the toolkit will not make it that small
    QVERIFY(r.start());
    QVERIFY(r.w->Height() != 1635.0f);
    QVERIFY(!r.w->mnuHide->isChecked() && r.w->mnuShow->isChecked());
}

void TestFrmPTT::portChoices_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("portText");
    QTest::newRow("Com05") << 4 << "5";
    QTest::newRow("Com15") << 14 << "15";
    QTest::newRow("the port already open") << 0 << "1";
}

void TestFrmPTT::portChoices() {
    QFETCH(int, index);
    QFETCH(QString, portText);
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    r.comm.log.clear();
    r.store.writes.clear();
    Rig::choose(r.w->Combo1, index);
    QCOMPARE(r.w->comPortText(), portText);
    QCOMPARE(r.store.value("ComPort"), portText);
    QCOMPARE(r.comm.opens(), QStringList({"close 1", "open " + portText}));
    QCOMPARE(r.comm.log.mid(r.comm.log.size() - 2), QStringList({"RTS 0", "DTR 0"}));
    // One save from the choice; the activation it runs selects nothing new.
    QCOMPARE(r.store.writtenKeys().join(','), kSaveOrder);
    QCOMPARE(r.w->Combo1->ListIndex(), index);
}

void TestFrmPTT::timeoutChoiceLeavesPortAlone() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    r.comm.log.clear();
    Rig::choose(r.w->Combo2, 8);
    QCOMPARE(r.w->timeoutMinutes(), 9);
    QCOMPARE(r.store.value("Timer"), QStringLiteral("9"));
    QVERIFY(r.comm.log.isEmpty());
}

void TestFrmPTT::choicesDuringKeying() {
    Rig r(600ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());
    bool idleAtOnce = false, newPortOpen = false;
    at(100ms, [&] { Rig::choose(r.w->Combo2, 8); }); // later keyings only
    at(200ms, [&] {
        Rig::choose(r.w->Combo1, 1);
        idleAtOnce = r.w->cmdTX->BackColor() == kButtonFace && !r.comm.dtr;
        newPortOpen = r.comm.open && r.comm.port == 2;
    });
    QElapsedTimer clock;
    clock.start();
    r.clickTX();
    const qint64 returned = clock.elapsed();
    QVERIFY(idleAtOnce);
    QVERIFY(newPortOpen);
    QVERIFY2(returned >= 600 && returned < 900, qPrintable(QString::number(returned)));
    QCOMPARE(r.w->timeoutMinutes(), 9);
}

void TestFrmPTT::saveSettingsReadsLiveSources() {
    Rig r;
    r.storeWorkingSettings();
    r.store.set("ComPort", "abc"); // the control keeps port 1
    QVERIFY(r.start());
    r.w->Combo2->lineEdit()->setText("7 min"); // typed, not chosen
    r.store.writes.clear();
    r.w->SaveSettings();
    QCOMPARE(r.store.writtenKeys().join(','), kSaveOrder);
    QCOMPARE(r.store.writes[2], QStringLiteral("OnTop=0"));
    QCOMPARE(r.store.writes[3], QStringLiteral("ComPort=1"));
    QCOMPARE(r.store.writes[4], QStringLiteral("Timer=1"));
    QCOMPARE(r.store.writes[0], "Position-Left=" + NumberText(r.w->Left()));
    QCOMPARE(r.store.writes[5], "Height=" + NumberText(r.w->Height()));
}

void TestFrmPTT::hideAndShow_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("height");
    QTest::addColumn<bool>("hideMark");
    QTest::newRow("hide") << QStringList{"hide"} << "1635" << true;
    QTest::newRow("show") << QStringList{"hide", "show"} << "3090" << false;
    QTest::newRow("hide twice") << QStringList{"hide", "hide"} << "1635" << true;
    QTest::newRow("show after a manual resize") << QStringList{"resize", "show"} << "3090" << false;
}

void TestFrmPTT::hideAndShow() {
    QFETCH(QStringList, steps);
    QFETCH(QString, height);
    QFETCH(bool, hideMark);
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    const QRect before = r.w->frameGeometry();
    r.store.writes.clear();
    int saves = 0;
    for (const QString &step : steps) {
        if (step == "resize") {
            r.w->resize(r.w->width(), 300);
            continue;
        }
        step == "hide" ? r.w->mnuHide->trigger() : r.w->mnuShow->trigger();
        ++saves;
        QCOMPARE(r.store.value("Height"), step == "hide" ? "1635" : "3090");
    }
    QCOMPARE(r.store.writes.size(), 6 * saves);
    QCOMPARE(r.store.value("Height"), height);
    QCOMPARE(r.w->Height(), height.toFloat());
    QCOMPARE(r.w->mnuHide->isChecked(), hideMark);
    QCOMPARE(r.w->mnuShow->isChecked(), !hideMark);
    QCOMPARE(r.w->frameGeometry().topLeft(), before.topLeft());
    QCOMPARE(r.w->frameGeometry().width(), before.width());
    // Compact shows the TX button's row only, where a frame takes its designed share.
    const int overhead = r.w->frameGeometry().height() - r.w->centralWidget()->height();
    if (overhead * r.w->twipsPerPixelY() >= 690) {
        const int clientBottom = r.w->centralWidget()->height();
        QVERIFY(r.w->cmdTX->geometry().bottom() < clientBottom);
        QCOMPARE(r.w->Combo1->geometry().top() < clientBottom, !hideMark);
    }
}

void TestFrmPTT::onTopWrites() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    const QPoint pos = r.w->frameGeometry().topLeft();
    const QSize size = r.w->frameGeometry().size();
    struct Step {
        std::int16_t value;
        bool onTop;
    };
    for (Step s : {Step{1, true}, Step{0, false}, Step{2, false}, Step{1, true}}) {
        r.store.writes.clear();
        r.w->setOnTopValue(s.value);
        QCOMPARE(r.store.writes, QStringList("OnTop=" + QString::number(s.value)));
        QCOMPARE(bool(r.w->windowFlags() & Qt::WindowStaysOnTopHint), s.onTop);
        QVERIFY(r.w->isVisible());
        QCOMPARE(r.w->frameGeometry().topLeft(), pos);
        QCOMPARE(r.w->frameGeometry().size(), size);
    }
}

void TestFrmPTT::aboutDuringKeying() {
    Rig r(500ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());
    bool releasedBeforeBox = false;
    r.onMessage = [&] {
        releasedBeforeBox = r.w->cmdTX->BackColor() == kButtonFace && !r.comm.dtr && r.comm.open;
    };
    bool keyedAgain = false;
    at(100ms, [&] { r.w->mnuAbout->trigger(); });
    at(200ms, [&] { r.clickTX(); });
    at(300ms, [&] { keyedAgain = r.comm.dtr && r.w->cmdTX->BackColor() == kKeyedRed; });
    r.clickTX();
    QCOMPARE(r.messages.size(), 1);
    QVERIFY(r.messages[0].startsWith("Zorore_PTT\nVersion "));
    QVERIFY(releasedBeforeBox);
    QVERIFY(keyedAgain);
    QVERIFY(r.comm.open && !r.comm.dtr);
    QVERIFY(!r.comm.opens().contains("close 1") || r.comm.opens().last() == "open 1");
}

void TestFrmPTT::unloadSavesThenReleases() {
    Rig r(2000ms);
    r.storeWorkingSettings();
    QVERIFY(r.start());
    at(100ms, [&] {
        r.store.writes.clear();
        r.comm.log.clear();
        r.w->mnuExit->trigger(); // during a keying
    });
    r.clickTX();
    QCOMPARE(r.ended, 0);
    QCOMPARE(r.store.writtenKeys().join(','), kSaveOrder);
    QCOMPARE(r.logAtEnd, QStringList({"DTR 0", "RTS 0", "close 1"}));
}

void TestFrmPTT::errorInHandlerReleasesAndEnds() {
    Rig r;
    r.storeWorkingSettings();
    QVERIFY(r.start());
    r.store.failWritesAfter = r.store.writes.size() + 2; // fails at "OnTop"
    r.w->mnuHide->trigger();
    QCOMPARE(r.ended, 1);
    QCOMPARE(r.store.writtenKeys().mid(r.store.writes.size() - 2),
             QStringList({"Position-Left", "Position-Top"}));
    QVERIFY(!r.comm.open);
    QCOMPARE(r.messages.size(), 1);
    QVERIFY(r.messages[0].contains("disk full"));
}

QTEST_MAIN(TestFrmPTT)
#include "tst_frmptt.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// Setup > Keyboard Key... and Setup > Foot Switch..., driven as an operator would, down to the
// settings file they write.

#include "FootSwitchDialog.h"
#include "IniSettingsStore.h"
#include "KeyboardKeyDialog.h"
#include "PortMap.h"
#include "SettingKeys.h"

#include <QComboBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace zptt;

namespace {

// The [Keying] entries as "key=value ...", in file order.
QString keying(const SettingsStore &store) {
    QStringList out;
    for (const QString &key : store.Keys(keys::kApplication, keys::kKeyingSection))
        out << key + '=' + store.GetSetting(keys::kApplication, keys::kKeyingSection, key);
    return out.join(' ');
}

} // namespace

class TestHandsFreeDialogs : public QObject {
    Q_OBJECT
private slots:
    // Steps: "press KEYS" (Qt's text), "clear", "<box> <index>", then "ok" or "cancel".
    void dialogs_data() {
        QTest::addColumn<QString>("before"); // [Keying] entries
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("after");
        auto row = [](const char *name, const char *before, const char *steps, const char *after) {
            QTest::newRow(name) << QString(before) << QString(steps) << QString(after);
        };
        row("key typed, Toggle", "", "press F9; mode 1; ok", "Key=F9 KeyMode=Toggle");
        row("a combination", "", "press Ctrl+Space; ok", "Key=Ctrl+Space KeyMode=Hold");
        row("the last of two keys", "", "press F9; press F10; ok", "Key=F10 KeyMode=Hold");
        row("cleared", "Key=Pause KeyMode=Toggle", "clear; ok", "Key= KeyMode=Toggle");
        row("cancelled", "Key=F9", "press F10; cancel", "Key=F9");
        row("switch", "", "port 3; line 1; active 1; mode 1; ok",
            "Switch=COM3 SwitchLine=DSR SwitchActive=Low SwitchMode=Toggle");
        row("no switch", "Switch=COM3 SwitchLine=RI", "port 0; ok", "Switch= SwitchLine=RI");
        row("switch above 15, as stored",
            "Switch=com20 SwitchLine=dcd SwitchActive=Low SwitchMode=Toggle", "ok",
            "Switch=COM20 SwitchLine=DCD SwitchActive=Low SwitchMode=Toggle");
    }
    void dialogs() {
        QFETCH(QString, before);
        QFETCH(QString, steps);
        QTemporaryDir dir;
        IniSettingsStore store(dir.path());
        for (const char *kv : {"Position-Left=1500", "Position-Top=1200", "OnTop=0", "ComPort=1",
                               "Height=3090", "Timer=1"})
            store.SaveSetting(keys::kApplication, keys::kSection, QString(kv).section('=', 0, 0),
                              QString(kv).section('=', 1));
        for (const QString &kv : before.split(' ', Qt::SkipEmptyParts))
            store.SaveSetting(keys::kApplication, keys::kKeyingSection, kv.section('=', 0, 0),
                              kv.section('=', 1));
        PortMap ports(store);
        std::unique_ptr<QDialog> dialog;
        QMap<QString, QComboBox *> boxes;
        KeyboardKeyDialog *key = nullptr;
        if (steps.contains("port") || before.contains("Switch")) {
            auto *d = new FootSwitchDialog(store, ports, nullptr);
            boxes = {{"port", d->portBox},
                     {"line", d->lineBox},
                     {"active", d->activeBox},
                     {"mode", d->modeBox}};
            dialog.reset(d);
        } else {
            dialog.reset(key = new KeyboardKeyDialog(store, "No X display.", nullptr));
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
        QTEST(keying(store), "after");
        QCOMPARE(store.Keys(keys::kApplication, keys::kSection).size(), 6);
    }
};

QTEST_MAIN(TestHandsFreeDialogs)
#include "tst_handsfree_dialogs.moc"

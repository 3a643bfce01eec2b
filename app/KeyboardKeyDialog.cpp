// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeyboardKeyDialog.h"

#include "HandsFreeSettings.h"
#include "SettingsErrors.h"
#include "X11KeyWatch.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>

namespace zptt {

QComboBox *pressModeBox(QWidget *parent) {
    auto *box = new QComboBox(parent);
    box->addItems({QStringLiteral("Hold: keyed while held down (push-to-talk)"),
                   QStringLiteral("Toggle: a press acts as a click on TX")});
    return box;
}

KeyboardKeyDialog::KeyboardKeyDialog(SettingsStore &store, const QString &notice, QWidget *parent)
    : QDialog(parent), m_store(store) {
    setWindowTitle(QStringLiteral("Keyboard Key"));
    auto *form = new QFormLayout(this);
    auto *intro = new QLabel(
        QStringLiteral("Press the key or combination that keys the transmitter with any window "
                       "in front. A USB foot pedal types a key: press the pedal."),
        this);
    intro->setWordWrap(true);
    form->addRow(intro);
    keyEdit = new QKeySequenceEdit(this);
    clearButton = new QPushButton(QStringLiteral("C&lear"), this);
    auto *keyRow = new QHBoxLayout;
    keyRow->addWidget(keyEdit, 1);
    keyRow->addWidget(clearButton);
    form->addRow(QStringLiteral("&Key:"), keyRow);
    modeBox = pressModeBox(this);
    form->addRow(QStringLiteral("&Mode:"), modeBox);
    problemLabel = new QLabel(this);
    problemLabel->setWordWrap(true);
    problemLabel->setStyleSheet(QStringLiteral("color: #a00000"));
    form->addRow(problemLabel);
    noticeLabel = new QLabel(notice, this);
    noticeLabel->setWordWrap(true);
    noticeLabel->setVisible(!notice.isEmpty());
    form->addRow(noticeLabel);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    okButton = buttons->button(QDialogButtonBox::Ok);
    form->addRow(buttons);

    const KeySetting stored = readHandsFree(store).key;
    if (stored.isSet())
        keyEdit->setKeySequence(QKeySequence(stored.key));
    modeBox->setCurrentIndex(int(stored.mode));
    keyChanged();

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(clearButton, &QPushButton::clicked, keyEdit, &QKeySequenceEdit::clear);
    connect(keyEdit, &QKeySequenceEdit::keySequenceChanged, this, &KeyboardKeyDialog::keyChanged);
    resize(520, sizeHint().height());
}

// One key or combination: the last one pressed (the edit records up to four).
QKeyCombination KeyboardKeyDialog::chosen() const {
    const QKeySequence sequence = keyEdit->keySequence();
    return sequence.isEmpty() ? QKeyCombination(Qt::Key_unknown) : sequence[sequence.count() - 1];
}

bool KeyboardKeyDialog::keyChanged() {
    const QKeyCombination key = chosen();
    const bool unnamed = key.key() != Qt::Key_unknown && X11KeyWatch::keysym(key.key()) == 0;
    problemLabel->setText(unnamed ? QStringLiteral("This key cannot be watched with another "
                                                   "window in front: choose another.")
                                  : QString());
    problemLabel->setVisible(unnamed);
    okButton->setEnabled(!unnamed);
    return !unnamed;
}

void KeyboardKeyDialog::accept() {
    if (!keyChanged())
        return;
    try {
        storeKey(m_store, {chosen(), PressMode(modeBox->currentIndex())});
    } catch (const StoreWriteError &e) {
        problemLabel->setText(QStringLiteral("Not stored: %1").arg(QString::fromUtf8(e.what())));
        problemLabel->setVisible(true);
        return;
    }
    emit stored();
    QDialog::accept();
}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QKeyCombination>

class QComboBox;
class QKeySequenceEdit;
class QLabel;
class QPushButton;

namespace zptt {

class SettingsStore;

// Setup > Keyboard Key...: the key or combination that keys with any window in front (a USB
// foot pedal types one), Hold or Toggle, and Clear for none. OK stores it in [Keying].
class KeyboardKeyDialog final : public QDialog {
    Q_OBJECT
public:
    // notice: why keys may not be seen with another window in front, and what to do.
    KeyboardKeyDialog(SettingsStore &store, const QString &notice, QWidget *parent);

    void accept() override;

    QKeySequenceEdit *keyEdit = nullptr;
    QComboBox *modeBox = nullptr;
    QPushButton *clearButton = nullptr;
    QLabel *noticeLabel = nullptr;
    QLabel *problemLabel = nullptr;
    QPushButton *okButton = nullptr;

signals:
    void stored();

private:
    QKeyCombination chosen() const;
    // Whether the chosen key can be watched; says so when not.
    bool keyChanged();

    SettingsStore &m_store;
};

// The mode choices both hands-free dialogs offer, Hold first.
QComboBox *pressModeBox(QWidget *parent);

} // namespace zptt

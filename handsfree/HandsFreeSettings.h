// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyingSource.h"

#include <QKeyCombination>
#include <QStringList>

namespace zptt {

class SettingsStore;

struct KeySetting {
    QKeyCombination key{Qt::Key_unknown}; // Key_unknown: none
    PressMode mode = PressMode::Hold;
    bool isSet() const { return key.key() != Qt::Key_unknown; }
};

// A foot switch on an input line of a serial port: the line is a TIOCM bit (TIOCM_CTS,
// TIOCM_DSR, TIOCM_CAR, TIOCM_RNG), active when the kernel reports it set (High) or clear (Low).
struct SwitchSetting {
    int port = 0; // 0: none
    int line = 0; // CTS, DSR, DCD, RI
    bool activeHigh = true;
    PressMode mode = PressMode::Hold;
    int lineBit() const;
};

// Section [Keying] of the settings file. A value that cannot be used turns its source off and
// says why in problems, naming the entry; it never keys another way.
struct HandsFreeSetup {
    KeySetting key;
    SwitchSetting footSwitch;
    QStringList problems;
};
HandsFreeSetup readHandsFree(const SettingsStore &store);
// Each in one write; throw StoreWriteError.
void storeKey(SettingsStore &store, const KeySetting &key);
void storeSwitch(SettingsStore &store, const SwitchSetting &footSwitch);

// The stored words: "CTS", "DSR", "DCD", "RI" by line index; "Hold", "Toggle".
QString lineWord(int line);
inline constexpr int kSwitchLines = 4;
QString modeWord(PressMode mode);

} // namespace zptt

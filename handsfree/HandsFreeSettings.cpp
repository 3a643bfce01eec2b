// SPDX-License-Identifier: GPL-3.0-or-later
#include "HandsFreeSettings.h"

#include "SettingKeys.h"
#include "SettingsErrors.h"
#include "SettingsStore.h"

#include <QKeySequence>
#include <QRegularExpression>
#include <sys/ioctl.h>

namespace zptt {

namespace {

constexpr const char *kLineWords[kSwitchLines] = {"CTS", "DSR", "DCD", "RI"};
constexpr int kLineBits[kSwitchLines] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG};

// The index of text among words, case aside; an empty text is the first (the default).
int wordIndex(const QString &text, std::initializer_list<const char *> words) {
    if (text.isEmpty())
        return 0;
    int i = 0;
    for (const char *w : words) {
        if (text.compare(QLatin1String(w), Qt::CaseInsensitive) == 0)
            return i;
        ++i;
    }
    return -1;
}

} // namespace

int SwitchSetting::lineBit() const {
    return kLineBits[line];
}

QString lineWord(int line) {
    return QLatin1String(kLineWords[line]);
}

QString modeWord(PressMode mode) {
    return mode == PressMode::Toggle ? QStringLiteral("Toggle") : QStringLiteral("Hold");
}

HandsFreeSetup readHandsFree(const SettingsStore &store) {
    HandsFreeSetup setup;
    const auto get = [&store](QLatin1StringView key) {
        return store.GetSetting(keys::kApplication, keys::kKeyingSection, key);
    };
    const auto refuse = [&setup](QLatin1StringView key, const QString &text, const char *why) {
        setup.problems << QStringLiteral("[Keying] %1=%2 %3")
                              .arg(key, quotedForMessage(text), QLatin1String(why));
    };

    const QString keyText = get(keys::kKey);
    const QString keyMode = get(keys::kKeyMode);
    const QKeySequence sequence = QKeySequence::fromString(keyText, QKeySequence::PortableText);
    const int keyModeIndex = wordIndex(keyMode, {"Hold", "Toggle"});
    if (keyText.isEmpty()) {
    } else if (sequence.count() != 1 || sequence[0].key() == Qt::Key_unknown) {
        refuse(keys::kKey, keyText, "is not one key or combination; no keyboard key");
    } else if (keyModeIndex < 0) {
        refuse(keys::kKeyMode, keyMode, "is not Hold or Toggle; no keyboard key");
    } else {
        setup.key = {sequence[0], PressMode(keyModeIndex)};
    }

    const QString port = get(keys::kSwitch);
    if (port.isEmpty())
        return setup;
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const int number = com.match(port).captured(1).toInt();
    const QString line = get(keys::kSwitchLine);
    const QString active = get(keys::kSwitchActive);
    const QString mode = get(keys::kSwitchMode);
    SwitchSetting s;
    s.line = wordIndex(line, {"CTS", "DSR", "DCD", "RI"});
    const int activeIndex = wordIndex(active, {"High", "Low"});
    const int modeIndex = wordIndex(mode, {"Hold", "Toggle"});
    if (number < 1 || number > 255)
        refuse(keys::kSwitch, port, "is not a port COM1 to COM255; no foot switch");
    else if (s.line < 0)
        refuse(keys::kSwitchLine, line, "is not CTS, DSR, DCD or RI; no foot switch");
    else if (activeIndex < 0)
        refuse(keys::kSwitchActive, active, "is not High or Low; no foot switch");
    else if (modeIndex < 0)
        refuse(keys::kSwitchMode, mode, "is not Hold or Toggle; no foot switch");
    else
        setup.footSwitch = {number, s.line, activeIndex == 0, PressMode(modeIndex)};
    return setup;
}

void storeKey(SettingsStore &store, const KeySetting &key) {
    const QString text =
        key.isSet() ? QKeySequence(key.key).toString(QKeySequence::PortableText) : QString();
    store.SaveSettings(keys::kApplication, keys::kKeyingSection,
                       {{keys::kKey, text}, {keys::kKeyMode, modeWord(key.mode)}});
}

void storeSwitch(SettingsStore &store, const SwitchSetting &s) {
    if (s.port == 0) {
        store.SaveSettings(keys::kApplication, keys::kKeyingSection, {{keys::kSwitch, QString()}});
        return;
    }
    store.SaveSettings(
        keys::kApplication, keys::kKeyingSection,
        {{keys::kSwitch, QStringLiteral("COM%1").arg(s.port)},
         {keys::kSwitchLine, lineWord(s.line)},
         {keys::kSwitchActive, s.activeHigh ? QStringLiteral("High") : QStringLiteral("Low")},
         {keys::kSwitchMode, modeWord(s.mode)}});
}

} // namespace zptt

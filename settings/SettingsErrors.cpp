// SPDX-License-Identifier: GPL-3.0-or-later
#include "SettingsErrors.h"

namespace zptt {

// A stored text can be anything a hand edit left behind; keep the message to one short line.
QString quotedForMessage(const QString &text) {
    constexpr qsizetype kMax = 40;
    QString s = text.size() > kMax ? text.left(kMax) + QStringLiteral("...") : text;
    for (QChar &c : s) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QChar(u' ');
    }
    return QLatin1Char('"') + s + QLatin1Char('"');
}

TypeMismatchError::TypeMismatchError(const QString &key, const QString &text)
    : ConversionError(QStringLiteral("%1: %2 is not a number").arg(key, quotedForMessage(text)),
                      key, text) {}

OverflowError::OverflowError(const QString &key, const QString &text)
    : ConversionError(QStringLiteral("%1: %2 is out of range").arg(key, quotedForMessage(text)),
                      key, text) {}

StoreWriteError::StoreWriteError(const QString &path, const QString &reason)
    : SettingsError(QStringLiteral("Cannot write the settings file %1: %2").arg(path, reason)),
      m_path(path), m_reason(reason) {}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <stdexcept>
#include <utility>

namespace zptt {

// A stored text in double quotes for a one-line message: at most 40 characters, control
// characters blanked.
QString quotedForMessage(const QString &text);

// Base of every error raised by the settings code.
class SettingsError : public std::runtime_error {
public:
    explicit SettingsError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

// A stored text that a conversion cannot use; names the key and the text.
class ConversionError : public SettingsError {
public:
    ConversionError(const QString &message, QString key, QString text)
        : SettingsError(message), m_key(std::move(key)), m_text(std::move(text)) {}
    const QString &key() const { return m_key; }
    const QString &text() const { return m_text; }

private:
    QString m_key;
    QString m_text;
};

// The text is not a number at all ("abc", the empty text for a strict read).
class TypeMismatchError : public ConversionError {
public:
    TypeMismatchError(const QString &key, const QString &text);
};

// The text is a number, but outside what the target type holds.
class OverflowError : public ConversionError {
public:
    OverflowError(const QString &key, const QString &text);
};

// A write to the store failed (read-only directory, full disk, ...).
class StoreWriteError : public SettingsError {
public:
    StoreWriteError(const QString &path, const QString &reason);
    const QString &path() const { return m_path; }
    const QString &reason() const { return m_reason; }

private:
    QString m_path;
    QString m_reason;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QStringList>
#include <utility>

namespace zptt {

// Per-user store of texts addressed by application, section and key.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The stored text, or the empty text when application, section or key is absent.
    virtual QString GetSetting(const QString &application, const QString &section,
                               const QString &key) const = 0;

    // Stores the text, creating what is missing. On return the value is on disk.
    // Throws StoreWriteError when the write fails; earlier writes stay written.
    virtual void SaveSetting(const QString &application, const QString &section, const QString &key,
                             const QString &text) = 0;

    // Several keys of one section in one write: on a store that writes files, all of them or,
    // when it throws, none. Empty texts are stored as such.
    using Values = QList<std::pair<QString, QString>>;
    virtual void SaveSettings(const QString &application, const QString &section,
                              const Values &values) {
        for (const auto &[key, text] : values)
            SaveSetting(application, section, key, text);
    }

    // The keys of a section, each once, in file order; none when the store cannot list them.
    virtual QStringList Keys(const QString &application, const QString &section) const {
        (void)application;
        (void)section;
        return {};
    }
};

} // namespace zptt

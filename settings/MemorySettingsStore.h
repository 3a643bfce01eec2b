// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "SettingsStore.h"

#include <QHash>
#include <QStringList>

namespace zptt {

// Settings kept for this run only, where no file can hold them: what the program writes it
// reads back, and nothing outlives it.
class MemorySettingsStore final : public SettingsStore {
public:
    QString GetSetting(const QString &application, const QString &section,
                       const QString &key) const override {
        return m_values.value(application + u'\n' + section + u'\n' + key);
    }
    void SaveSetting(const QString &application, const QString &section, const QString &key,
                     const QString &text) override {
        const QString address = application + u'\n' + section + u'\n' + key;
        if (!m_values.contains(address))
            m_order << address;
        m_values.insert(address, text);
    }
    QStringList Keys(const QString &application, const QString &section) const override {
        const QString prefix = application + u'\n' + section + u'\n';
        QStringList keys;
        for (const QString &address : m_order)
            if (address.startsWith(prefix))
                keys << address.mid(prefix.size());
        return keys;
    }

private:
    QHash<QString, QString> m_values;
    QStringList m_order; // addresses in the order first written
};

} // namespace zptt

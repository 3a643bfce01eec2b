#pragma once

#include "SettingsStore.h"

#include <QHash>

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
        m_values.insert(application + u'\n' + section + u'\n' + key, text);
    }

private:
    QHash<QString, QString> m_values;
};

} // namespace zptt

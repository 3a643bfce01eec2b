// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "SettingsStore.h"

namespace zptt {

// One INI file per application: <root>/<application>/<application>.conf, where root is
// ${XDG_CONFIG_HOME:-~/.config}. Keys match case-sensitively. Every SaveSetting re-reads the
// file under an exclusive lock, replaces the one value and renames a complete new file into
// place, so the file is never half written and concurrent writers lose nothing.
class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(QString configRoot = defaultConfigRoot());

    static QString defaultConfigRoot();
    QString filePath(const QString &application) const;

    QString GetSetting(const QString &application, const QString &section,
                       const QString &key) const override;
    void SaveSetting(const QString &application, const QString &section, const QString &key,
                     const QString &text) override;
    void SaveSettings(const QString &application, const QString &section,
                      const Values &values) override;
    QStringList Keys(const QString &application, const QString &section) const override;

private:
    QString m_root;
};

} // namespace zptt

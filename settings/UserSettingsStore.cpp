// SPDX-License-Identifier: GPL-3.0-or-later
#include "UserSettingsStore.h"

#include "MemorySettingsStore.h"
#include "SettingKeys.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>
#include <cstdio>

#ifdef Q_OS_WIN
// Settings there belong under HKEY_CURRENT_USER\Software\VB and VBA Program
// Settings\<application>\<section>, one string value per key.
#error "The Windows registry settings store is not built yet"
#else
#include "IniSettingsStore.h"
#endif

namespace zptt {

namespace {

std::unique_ptr<SettingsStore> forThisRunOnly(const QString &why) {
    std::fprintf(stderr, "Zorore_PTT: %s; settings will not be kept\n",
                 why.toLocal8Bit().constData());
    return std::make_unique<MemorySettingsStore>();
}

} // namespace

std::unique_ptr<SettingsStore> makeUserSettingsStore() {
    // Without either, the folder would be /.config in the root folder.
    if (qEnvironmentVariableIsEmpty("HOME") &&
        !QDir::isAbsolutePath(qEnvironmentVariable("XDG_CONFIG_HOME")))
        return forThisRunOnly(QStringLiteral("neither HOME nor XDG_CONFIG_HOME is set"));
    auto store = std::make_unique<IniSettingsStore>();
    const QString path = store->filePath(keys::kApplication);
    if (const QFileInfo info(path); info.exists() && !info.isFile())
        return forThisRunOnly(
            QStringLiteral("the settings file %1 is not a regular file").arg(path));
    return store;
}

} // namespace zptt

#include "UserSettingsStore.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
// Settings there belong under HKEY_CURRENT_USER\Software\VB and VBA Program
// Settings\<application>\<section>, one string value per key.
#error "The Windows registry settings store is not built yet"
#else
#include "IniSettingsStore.h"
#endif

namespace zptt {

std::unique_ptr<SettingsStore> makeUserSettingsStore() {
    return std::make_unique<IniSettingsStore>();
}

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "SettingsStore.h"

#include <memory>

namespace zptt {

// The per-user store of this platform. The one place that decides where settings live: the
// INI file under the XDG config folder here; on Windows it is to be the registry key that
// GetSetting/SaveSetting there use, so that existing settings carry over.
std::unique_ptr<SettingsStore> makeUserSettingsStore();

} // namespace zptt

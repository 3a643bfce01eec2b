// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLatin1StringView>

namespace zptt::keys {

inline constexpr QLatin1StringView kApplication{"Zorore_PTT"};
inline constexpr QLatin1StringView kSection{"Settings"};
inline constexpr QLatin1StringView kPortsSection{"Ports"};
inline constexpr QLatin1StringView kRemoteSection{"Remote"};

// Keying by other programs: Enabled=0|1, and where to listen.
inline constexpr QLatin1StringView kRemoteEnabled{"Enabled"};
inline constexpr QLatin1StringView kRemoteAddress{"Address"};
inline constexpr QLatin1StringView kRemotePort{"Port"};

inline constexpr QLatin1StringView kPositionLeft{"Position-Left"};
inline constexpr QLatin1StringView kPositionTop{"Position-Top"};
inline constexpr QLatin1StringView kOnTop{"OnTop"};
inline constexpr QLatin1StringView kComPort{"ComPort"};
inline constexpr QLatin1StringView kTimer{"Timer"};
inline constexpr QLatin1StringView kHeight{"Height"};

} // namespace zptt::keys

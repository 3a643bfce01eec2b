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

// Hands-free keying: a key seen with any window in front, KeyMode=Hold|Toggle; a foot switch on
// a serial port's input line, Switch=COMn (none: no switch), SwitchLine=CTS|DSR|DCD|RI,
// SwitchActive=High|Low, SwitchMode=Hold|Toggle.
inline constexpr QLatin1StringView kKeyingSection{"Keying"};
inline constexpr QLatin1StringView kKey{"Key"};
inline constexpr QLatin1StringView kKeyMode{"KeyMode"};
inline constexpr QLatin1StringView kSwitch{"Switch"};
inline constexpr QLatin1StringView kSwitchLine{"SwitchLine"};
inline constexpr QLatin1StringView kSwitchActive{"SwitchActive"};
inline constexpr QLatin1StringView kSwitchMode{"SwitchMode"};

inline constexpr QLatin1StringView kPositionLeft{"Position-Left"};
inline constexpr QLatin1StringView kPositionTop{"Position-Top"};
inline constexpr QLatin1StringView kOnTop{"OnTop"};
inline constexpr QLatin1StringView kComPort{"ComPort"};
inline constexpr QLatin1StringView kTimer{"Timer"};
inline constexpr QLatin1StringView kHeight{"Height"};

} // namespace zptt::keys

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// No Qt here: the guardian process uses this too.
#include "LineChoice.h"

#include <cstdint>

namespace zptt {

// How an open device is put back at rest by code that may call nothing but the kernel: a
// signal handler, a guard's thread, the guardian process. Plain data, the same in both
// processes.
struct RestAction {
    enum class Kind : std::uint8_t {
        ModemLines,   // a serial port: modem-control bits lowered, then raised
        OutputReport, // a HID device: one output report written as it is
    };
    Kind kind = Kind::ModemLines;
    LineLevels levels;
    std::uint8_t report[8] = {};
    std::uint8_t reportSize = 0;

    bool operator==(const RestAction &) const = default;
};

// All three async-signal-safe. False with errno set when the device refused.
bool restDevice(int fd, const RestAction &action) noexcept;
// One request that changes nothing: false only when the device is gone.
bool deviceAnswers(int fd, RestAction::Kind kind) noexcept;
// An error that means the device went away (unplugged, hung up), not a refusal.
bool deviceGone(int error) noexcept;

} // namespace zptt

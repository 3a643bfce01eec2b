// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>

namespace zptt {

// Every keying deadline, in this process and in the guardian, is on this clock: one that
// setting the system's date and time does not move.
using KeyClock = std::chrono::steady_clock;

} // namespace zptt

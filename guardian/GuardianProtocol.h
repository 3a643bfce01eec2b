// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The records the program and zorore-ptt-guardian exchange over their SOCK_SEQPACKET pair:
// one fixed-size Message per packet, in the host's layout (both ends are built together).

#include "KeyClock.h"

#include <chrono>
#include <cstdint>
#include <type_traits>

namespace zptt::guardian {

// The guardian's end of the pair, as the program hands it over.
inline constexpr int kSocketFd = 3;

// The guardian acts after the in-process time-out and the watchdog (0.5 s) have had their turn.
inline constexpr std::chrono::milliseconds kGrace{1000};
// While keyed the program says it is alive this often; this long without a word means it
// stopped (Ctrl+Z, SIGSTOP, a debugger, a deadlock of the whole process).
inline constexpr std::chrono::milliseconds kHeartbeat{200};
inline constexpr std::chrono::milliseconds kSilence{1000};

enum class Kind : std::uint32_t {
    // From the program.
    Port = 1,  // carries the port's descriptor (SCM_RIGHTS) and its idle levels
    NoPort,    // forget the port: close it without touching its lines
    Keyed,     // keying number `keying` lasts until `deadline`
    Released,  // the program put the lines at rest
    Heartbeat, // still alive (any record counts as such)
    // From the guardian.
    ReleasedByGuardian, // it put the lines of keying number `keying` at rest by itself
};

struct Message {
    Kind kind{};
    // Counts keyings (not deadline moves), so that a late report about an earlier keying is
    // told from one about the current one.
    std::uint32_t keying = 0;
    // Port: the modem-control bits to raise and to lower to put the port at rest.
    std::int32_t raise = 0;
    std::int32_t lower = 0;
    // Keyed: nanoseconds since KeyClock's epoch (CLOCK_MONOTONIC, the same in both processes).
    std::int64_t deadline = 0;
};
static_assert(std::is_trivially_copyable_v<Message> && sizeof(Message) == 24);

inline std::int64_t toWire(KeyClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

inline KeyClock::time_point fromWire(std::int64_t ns) {
    return KeyClock::time_point(
        std::chrono::duration_cast<KeyClock::duration>(std::chrono::nanoseconds(ns)));
}

} // namespace zptt::guardian

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The records the program and zorore-ptt-guardian exchange over their SOCK_SEQPACKET pair:
// one fixed-size Message per packet, in the host's layout (both ends are built together).
// Every record from the program carries all the guardian needs to know, so that a late one is
// mended by the next; none is ever dropped: a guardian that does not take or answer a record
// within a second is lost.

#include "KeyClock.h"
#include "RestAction.h"

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
// A record not taken or not answered in this time: the guardian is lost.
inline constexpr std::chrono::milliseconds kAnswerWithin{1000};

enum class Kind : std::uint32_t {
    // From the program.
    Port = 1, // the port's descriptor (SCM_RIGHTS; none: no port) and its rest action
    State,    // the keying: at every change, and while keyed as the heartbeat
    // From the guardian.
    Answer,   // it has read every record up to `seq` (0: it has just started)
    Released, // it put the port at rest by itself, for keying number `keying`
};

struct Message {
    Kind kind{};
    std::uint32_t seq = 0; // the program numbers its records; the guardian answers the last
    std::uint32_t keying = 0;
    std::uint32_t keyed = 0;
    // Nanoseconds since KeyClock's epoch (CLOCK_MONOTONIC, the same in both processes).
    std::int64_t deadline = 0;
    RestAction rest{}; // Port
};
static_assert(std::is_trivially_copyable_v<Message>);

inline std::int64_t toWire(KeyClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

} // namespace zptt::guardian

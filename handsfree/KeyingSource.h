// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyRequests.h"

namespace zptt {

enum class PressMode {
    Hold,   // keyed while down: push-to-talk
    Toggle, // a press acts as a click on TX
};

// What a hands-free key or foot switch asks of the keying, from what its watch sees. A press
// counts only once the source has been seen up since watching started: a key or pedal held at
// start, at a re-plug or when the setting changed keys nothing. One held through a time-out keys
// again only after it was let go (the keying holds it off until then). Called from the watch's
// thread, or once it has stopped.
class KeyingSource {
public:
    KeyingSource(KeyRequests &requests, Holder who, PressMode mode)
        : m_requests(requests), m_who(who), m_mode(mode) {}

    // Watching starts, with the key or switch found down or up.
    void started(bool down);
    // Down or up as seen now; the same state again (a key's auto-repeat) changes nothing.
    void changed(bool down);
    // The device went away, or watching stops: a keying this source holds ends.
    void lost();

private:
    KeyRequests &m_requests;
    const Holder m_who;
    const PressMode m_mode;
    bool m_down = false;
};

} // namespace zptt

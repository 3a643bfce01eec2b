// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace zptt {

// Who asks for a keying. Each keying remembers its holders: the button, each remote client, the
// keyboard key, the foot switch, and what a client handed over when it said goodbye.
struct Holder {
    enum class Kind : std::uint8_t { Button, Client, Key, Switch, HandedOver };
    Kind kind = Kind::Button;
    std::uint64_t id = 0; // a client's number; 0 for the others

    bool operator==(const Holder &) const = default;
    bool operator<(const Holder &o) const { return kind != o.kind ? kind < o.kind : id < o.id; }
};

enum class KeyResult {
    Keyed,      // the line is keyed: by this request, or already (the keying goes on unchanged)
    NoPort,     // no port is open: nothing keyed
    Refused,    // not now: no guardian answers, or this holder's keying ran out its time and it
                // has not let go since
    LineFailed, // the device refused the line: nothing keyed
};

// What a keying source may ask. Safe from any thread; no call waits for the window.
class KeyRequests {
public:
    virtual ~KeyRequests() = default;

    // Keys, or joins the keying in progress without moving its deadline.
    virtual KeyResult key(Holder who) = 0;
    // Releases the keying in progress, whoever keyed (a click on the red button, a client's
    // T 0); the holder may key again afterwards.
    virtual void release(Holder who) = 0;
    // A push-to-talk let go: releases the keying in progress only if this holder holds it; the
    // holder may key again afterwards.
    virtual void letGo(Holder who) = 0;
    // A press that acts as a click on TX: releases a keying in progress, or keys.
    virtual KeyResult toggle(Holder who) = 0;
    // The line's true state.
    virtual bool keyed() const = 0;
};

} // namespace zptt

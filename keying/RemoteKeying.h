// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace zptt {

// What a remote keying client can do to the transmitter. Safe to call from any thread; no
// call waits for the window.
class RemoteKeying {
public:
    using ClientId = std::uint64_t;

    enum class KeyResult {
        Keyed,  // the line is keyed (or stays keyed with a renewed deadline)
        NoPort, // no port is open: nothing keyed
    };

    virtual ~RemoteKeying() = default;

    virtual KeyResult remoteKey(ClientId client) = 0;
    // The client's own release: releases the keying, whoever keyed.
    virtual void remoteRelease(ClientId client) = 0;
    // The client's connection ended: releases the keying if this client keyed and has not
    // released since (its transmission is over).
    virtual void clientGone(ClientId client) = 0;
    // The line's true state: keyed or not.
    virtual bool lineKeyed() const = 0;
};

} // namespace zptt

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyRequests.h"

#include <cstdint>

namespace zptt {

// What a remote keying client can do to the transmitter. Safe to call from any thread; no
// call waits for the window.
class RemoteKeying {
public:
    using ClientId = std::uint64_t;

    using KeyResult = zptt::KeyResult;

    virtual ~RemoteKeying() = default;

    virtual KeyResult remoteKey(ClientId client) = 0;
    // The client's own release: releases the keying, whoever keyed.
    virtual void remoteRelease(ClientId client) = 0;
    // The client's connection ended. Said goodbye first (handedOver): what it keyed goes on, to
    // the time-out or another release. Lost: what it alone holds is released.
    virtual void clientGone(ClientId client, bool handedOver) = 0;
    // The line's true state: keyed or not.
    virtual bool lineKeyed() const = 0;
};

} // namespace zptt

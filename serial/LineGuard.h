// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "KeyClock.h"
#include "KeyingDevice.h"

#include <cstdint>
#include <mutex>

namespace zptt {

// The whole keying state a guard needs: which keying, whether it is on, and until when.
struct KeyingState {
    std::uint32_t keying = 0; // counts keyings; 0 before the first
    bool keyed = false;
    KeyClock::time_point deadline{};
};

// Something that watches over the open port on its own (the in-process watchdog, the device
// probe, the guardian process), told of every open, keying, release and close by the keying's
// owner, under its lock: never block on anything that can hang.
class LineGuard {
public:
    virtual ~LineGuard() = default;

    // fd is open and at rest; rest is what puts it back at rest. False: this guard cannot
    // watch it, so the port must not be used.
    virtual bool portOpened(int fd, const RestAction &rest) = 0;
    // Told before a keying's line rises and after it falls. False: the guard did not get it,
    // so the line must not be keyed.
    virtual bool keyingChanged(const KeyingState &state) = 0;
    // fd is about to be closed: once this returns, it is no longer touched.
    virtual void portClosing() = 0;
    // Whether it is watching now; an owner keys nothing while a guard is not.
    virtual bool ready() const { return true; }
};

// A guard's own copy of the port's descriptor: its thread uses it outside every lock, and a
// close never frees a number that thread is still using (an ioctl on a wedged adapter can take
// seconds, and no one may wait for it).
class DescriptorCopy {
public:
    DescriptorCopy() = default;
    ~DescriptorCopy();
    DescriptorCopy(const DescriptorCopy &) = delete;
    DescriptorCopy &operator=(const DescriptorCopy &) = delete;

    // A copy of fd, replacing the one held (once its user gives it back); false when none
    // could be made.
    bool take(int fd);
    // The copy goes now, or as soon as its user gives it back.
    void drop();
    // The copy for one use, or -1; give it back after.
    int borrow();
    void giveBack();

private:
    std::mutex m_mutex;
    int m_fd = -1;
    bool m_inUse = false;
    bool m_stale = false; // m_fd goes when given back, and m_next takes its place
    int m_next = -1;
};

} // namespace zptt

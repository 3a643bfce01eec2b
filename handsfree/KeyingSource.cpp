// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeyingSource.h"

namespace zptt {

// Found down, the source must be seen up before a press counts.
void KeyingSource::started(bool down) {
    m_down = down;
}

void KeyingSource::changed(bool down) {
    if (down == m_down)
        return;
    m_down = down;
    if (!down) {
        // Ends a hold, and the hold-off a time-out left.
        if (m_mode == PressMode::Hold)
            m_requests.letGo(m_who);
        return;
    }
    if (m_mode == PressMode::Hold) {
        m_requests.key(m_who);
        return;
    }
    // A toggle's key was let go long before its keying timed out: that hold-off no longer
    // applies. With nothing keyed, the let-go ends nothing.
    if (!m_requests.keyed())
        m_requests.letGo(m_who);
    m_requests.toggle(m_who);
}

void KeyingSource::lost() {
    m_requests.letGo(m_who);
    m_down = false;
}

} // namespace zptt

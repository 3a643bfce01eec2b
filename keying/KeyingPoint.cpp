// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeyingPoint.h"

#include <cstdio>
#include <utility>

namespace zptt {

KeyingPoint::KeyingPoint(CommControl &line, QObject *parent) : QObject(parent), m_line(line) {}

std::int16_t KeyingPoint::CommPort() const {
    std::lock_guard lock(m_mutex);
    return m_line.CommPort();
}

void KeyingPoint::setCommPort(std::int16_t port) {
    std::lock_guard lock(m_mutex);
    m_line.setCommPort(port);
}

bool KeyingPoint::PortOpen() const {
    std::lock_guard lock(m_mutex);
    return m_line.PortOpen();
}

void KeyingPoint::setPortOpen(bool open) {
    std::lock_guard lock(m_mutex);
    m_keyed = false;
    m_holders.clear();
    m_line.setPortOpen(open);
    if (open)
        m_noPortReported = false;
}

void KeyingPoint::setDTREnable(bool high) {
    std::lock_guard lock(m_mutex);
    m_line.setDTREnable(high);
    m_keyed = high && m_line.PortOpen();
    if (!high) {
        m_deadline.reset();
        m_holders.clear();
    }
}

void KeyingPoint::setRTSEnable(bool high) {
    std::lock_guard lock(m_mutex);
    m_line.setRTSEnable(high);
}

void KeyingPoint::setKeyDeadline(std::optional<KeyClock::time_point> deadline) {
    std::lock_guard lock(m_mutex);
    m_deadline = deadline;
    m_line.setKeyDeadline(deadline);
}

void KeyingPoint::setKeyingTime(std::chrono::milliseconds length) {
    std::lock_guard lock(m_mutex);
    m_length = length;
}

void KeyingPoint::setLostHandler(std::function<void()> handler) {
    m_line.setLostHandler(std::move(handler));
}

RemoteKeying::KeyResult KeyingPoint::remoteKey(ClientId client) {
    std::unique_lock lock(m_mutex);
    if (!m_line.PortOpen()) {
        // Once until a port opens: a client that retries must not fill the log.
        const bool report = !std::exchange(m_noPortReported, true);
        lock.unlock();
        if (report)
            std::fprintf(stderr, "Zorore_PTT: remote keying refused: no port is open\n");
        return KeyResult::NoPort;
    }
    m_line.setDTREnable(true);
    m_keyed = true;
    m_deadline = KeyClock::now() + m_length;
    m_line.setKeyDeadline(m_deadline);
    m_holders.insert(client);
    const KeyClock::time_point deadline = *m_deadline;
    lock.unlock();
    emit keyedElsewhere(deadline);
    return KeyResult::Keyed;
}

void KeyingPoint::releaseLocked() {
    m_line.setDTREnable(false);
    m_keyed = false;
    m_deadline.reset();
    m_holders.clear();
}

void KeyingPoint::remoteRelease(ClientId client) {
    std::unique_lock lock(m_mutex);
    m_holders.erase(client);
    if (!m_keyed)
        return;
    releaseLocked();
    lock.unlock();
    emit releasedElsewhere();
}

void KeyingPoint::clientGone(ClientId client, bool handedOver) {
    std::unique_lock lock(m_mutex);
    if (m_holders.erase(client) == 0 || !m_keyed)
        return;
    // A goodbye leaves its hold behind (0 is no client's number); a loss releases only the last.
    if (handedOver)
        m_holders.insert(0);
    if (handedOver || !m_holders.empty())
        return;
    releaseLocked();
    lock.unlock();
    emit releasedElsewhere();
}

bool KeyingPoint::lineKeyed() const {
    std::lock_guard lock(m_mutex);
    // Past the deadline the time-out has ended the keying, even before the window says so.
    return m_keyed && m_line.PortOpen() && (!m_deadline || KeyClock::now() < *m_deadline);
}

void KeyingPoint::releaseElsewhere() {
    {
        std::lock_guard lock(m_mutex);
        releaseLocked();
    }
    emit releasedElsewhere();
}

} // namespace zptt

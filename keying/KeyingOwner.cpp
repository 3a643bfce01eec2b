// SPDX-License-Identifier: GPL-3.0-or-later
#include "KeyingOwner.h"

#include "DeadlineTimer.h"
#include "DeviceProbe.h"
#include "EmergencyRelease.h"
#include "LineWatchdog.h"
#include "SerialError.h"

#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <unistd.h>

namespace zptt {

namespace {

// What a starting thread's failure is called on standard error and in the port message's line.
QString threadProblem(const char *what, const std::system_error &e) {
    return QStringLiteral("cannot start the %1's thread: %2")
        .arg(QLatin1String(what), QString::fromLocal8Bit(e.what()));
}

} // namespace

KeyingOwner::KeyingOwner(PortOpener open, QObject *parent)
    : QObject(parent), m_open(std::move(open)) {
    // Without any of these no port is opened: the program still runs, and says why.
    try {
        m_watchdog = std::make_unique<LineWatchdog>();
        m_guards.push_back(m_watchdog.get());
    } catch (const std::system_error &e) {
        addProblem(threadProblem("watchdog", e));
    }
    try {
        m_probe = std::make_unique<DeviceProbe>([this] {
            QMetaObject::invokeMethod(
                this, [this] { checkDevice(false); }, Qt::QueuedConnection);
        });
        m_guards.push_back(m_probe.get());
    } catch (const std::system_error &e) {
        addProblem(threadProblem("device probe", e));
    }
    try {
        m_timer = std::make_unique<DeadlineTimer>([this] { timedOut(); });
    } catch (const std::system_error &e) {
        addProblem(threadProblem("time-out", e));
    }
}

KeyingOwner::~KeyingOwner() {
    m_timer.reset();
    std::lock_guard lock(m_mutex);
    closeLocked(Ended::PortClosed);
}

QString KeyingOwner::problem() const {
    std::lock_guard lock(m_mutex);
    return m_problem;
}

void KeyingOwner::addProblem(const QString &why) {
    std::lock_guard lock(m_mutex);
    if (m_problem.isEmpty())
        m_problem = why;
}

void KeyingOwner::addGuard(LineGuard *guard) {
    std::lock_guard lock(m_mutex);
    m_guards.push_back(guard);
    if (m_device)
        guard->portOpened(m_device->fd(), m_device->restAction());
}

void KeyingOwner::removeGuard(LineGuard *guard) {
    std::lock_guard lock(m_mutex);
    std::erase(m_guards, guard);
}

void KeyingOwner::setKeyingTime(std::chrono::milliseconds length) {
    std::lock_guard lock(m_mutex);
    m_length = length;
}

KeyingOwner::State KeyingOwner::state() const {
    std::lock_guard lock(m_mutex);
    return {m_revision, m_current ? m_current->state : m_last, m_ended};
}

// ---- keying ----

bool KeyingOwner::tellGuards(const KeyingState &state) {
    bool told = true;
    for (LineGuard *g : m_guards)
        told = g->keyingChanged(state) && told;
    return told;
}

KeyResult KeyingOwner::key(Holder who) {
    std::unique_lock lock(m_mutex);
    return keyLocked(lock, who);
}

KeyResult KeyingOwner::keyLocked(std::unique_lock<std::mutex> &lock, Holder who) {
    if (m_heldOff.contains(who))
        return KeyResult::Refused;
    if (m_current) {
        // Joins the keying as it is: no one extends another's transmission, or their own.
        m_current->holders.insert(who);
        return KeyResult::Keyed;
    }
    if (!m_device || m_lostPending) {
        // Once until a port opens: a client that retries must not fill the log.
        if (who.kind == Holder::Kind::Client && !std::exchange(m_noPortReported, true))
            std::fprintf(stderr, "Zorore_PTT: remote keying refused: no port is open\n");
        return KeyResult::NoPort;
    }
    if (!std::all_of(m_guards.begin(), m_guards.end(), [](LineGuard *g) { return g->ready(); }))
        return KeyResult::Refused;

    const KeyingState keyed{++m_lastKeying, true, KeyClock::now() + m_length};
    // The guards know the deadline before the line rises.
    if (!tellGuards(keyed)) {
        tellGuards({keyed.keying, false, keyed.deadline});
        return KeyResult::Refused;
    }
    if (!m_device->setKeyed(true)) {
        const int error = errno;
        m_device->setKeyed(false);
        tellGuards({keyed.keying, false, keyed.deadline});
        if (deviceGone(error))
            lostLocked();
        return KeyResult::LineFailed;
    }
    m_current = Keying{keyed, {who}};
    m_ended = Ended::No;
    ++m_revision;
    m_keyedNow = true;
    if (m_timer)
        m_timer->arm(keyed.deadline);
    lock.unlock();
    emit changed();
    return KeyResult::Keyed;
}

// The line first; then the guards hear of it.
void KeyingOwner::endLocked(Ended why) {
    if (!m_current)
        return;
    const Keying ending = *std::exchange(m_current, std::nullopt);
    m_last = {ending.state.keying, false, ending.state.deadline};
    m_keyedNow = false;
    const int error = m_device && !m_device->setKeyed(false) ? errno : 0;
    // A keying that ran out its time: its holders key again only once they have let go.
    if (why == Ended::TimedOut || why == Ended::ByGuardian)
        for (const Holder &h : ending.holders)
            if (h.kind != Holder::Kind::Button && h.kind != Holder::Kind::HandedOver)
                m_heldOff.insert(h);
    m_ended = why;
    ++m_revision;
    tellGuards(m_last);
    if (m_timer)
        m_timer->disarm();
    if (deviceGone(error))
        lostLocked();
}

void KeyingOwner::release(Holder who) {
    std::unique_lock lock(m_mutex);
    m_heldOff.erase(who);
    if (!m_current)
        return;
    endLocked(Ended::Released);
    lock.unlock();
    emit changed();
}

void KeyingOwner::release(Holder who, std::uint32_t keying) {
    std::unique_lock lock(m_mutex);
    (void)who;
    if (!m_current || m_current->state.keying != keying)
        return;
    endLocked(Ended::Released);
    lock.unlock();
    emit changed();
}

void KeyingOwner::letGo(Holder who) {
    std::unique_lock lock(m_mutex);
    m_heldOff.erase(who);
    if (!m_current || !m_current->holders.contains(who))
        return;
    endLocked(Ended::Released);
    lock.unlock();
    emit changed();
}

KeyResult KeyingOwner::toggle(Holder who) {
    std::unique_lock lock(m_mutex);
    if (!m_current)
        return keyLocked(lock, who);
    m_heldOff.erase(who);
    endLocked(Ended::Released);
    lock.unlock();
    emit changed();
    return KeyResult::Keyed;
}

void KeyingOwner::clientGone(ClientId client, bool handedOver) {
    const Holder who = clientHolder(client);
    std::unique_lock lock(m_mutex);
    m_heldOff.erase(who);
    if (!m_current || m_current->holders.erase(who) == 0)
        return;
    if (handedOver) {
        // Said goodbye: the keying is left to the time-out and to any release.
        m_current->holders.insert({Holder::Kind::HandedOver});
        return;
    }
    if (!m_current->holders.empty())
        return; // another still holds it
    endLocked(Ended::HolderLost);
    lock.unlock();
    emit changed();
}

void KeyingOwner::releasedByGuardian(std::uint32_t keying) {
    std::unique_lock lock(m_mutex);
    if (!m_current || m_current->state.keying != keying)
        return; // about an earlier keying
    endLocked(Ended::ByGuardian);
    lock.unlock();
    emit changed();
}

void KeyingOwner::guardianGone() {
    releaseAll(Ended::GuardianLost);
    emit guardianLost();
}

void KeyingOwner::releaseAll(Ended why) {
    std::unique_lock lock(m_mutex);
    if (!m_current)
        return;
    endLocked(why);
    lock.unlock();
    emit changed();
}

void KeyingOwner::timedOut() {
    std::unique_lock lock(m_mutex);
    if (!m_current || KeyClock::now() < m_current->state.deadline)
        return;
    endLocked(Ended::TimedOut);
    lock.unlock();
    emit changed();
}

// ---- the port ----

std::int16_t KeyingOwner::CommPort() const {
    std::lock_guard lock(m_mutex);
    return m_port;
}

void KeyingOwner::setCommPort(std::int16_t port) {
    std::lock_guard lock(m_mutex);
    if (m_device)
        throw SerialError(
            QStringLiteral("COM%1: the port number cannot change while the port is open")
                .arg(m_port));
    if (port < 1 || port > 255)
        throw SerialError(QStringLiteral("COM%1: no such port (1..255)").arg(port));
    m_port = port;
}

bool KeyingOwner::PortOpen() const {
    std::lock_guard lock(m_mutex);
    return m_device != nullptr;
}

int KeyingOwner::portFd() const {
    std::lock_guard lock(m_mutex);
    return m_device ? m_device->fd() : -1;
}

void KeyingOwner::setPortOpen(bool open) {
    std::unique_lock lock(m_mutex);
    if (!open) {
        const bool wasKeyed = m_current.has_value();
        closeLocked(Ended::PortClosed);
        lock.unlock();
        if (wasKeyed)
            emit changed();
        return;
    }
    if (m_device)
        throw SerialError(QStringLiteral("port already open"));
    if (!m_problem.isEmpty())
        throw SerialError(m_problem);
    if (!m_refusal.isEmpty())
        throw SerialError(m_refusal);
    if (!std::all_of(m_guards.begin(), m_guards.end(), [](LineGuard *g) { return g->ready(); }))
        throw SerialError(QStringLiteral("the guardian process does not answer"));
    std::unique_ptr<KeyingDevice> device = m_open(m_port);
    const RestAction rest = device->restAction();
    EmergencyRelease::track(device->fd(), rest, device->lockFile());
    bool watched = true;
    for (LineGuard *g : m_guards)
        watched = g->portOpened(device->fd(), rest) && watched;
    if (!watched) {
        for (LineGuard *g : m_guards)
            g->portClosing();
        EmergencyRelease::track(-1, {}, {});
        throw SerialError(QStringLiteral("the guardian process cannot watch the port"));
    }
    m_device = std::move(device);
    m_lostPending = false;
    m_noPortReported = false;
    m_reopenWhenAllowed = false;
    ++m_revision;
    watchDevice();
}

void KeyingOwner::closeLocked(Ended why) {
    endLocked(why);
    m_lostPending = false;
    if (!m_device)
        return;
    for (LineGuard *g : m_guards)
        g->portClosing();
    EmergencyRelease::track(-1, {}, {});
    if (QThread::currentThread() == thread())
        m_hangup.reset();
    m_device.reset(); // at rest, then closed
    ++m_revision;
}

void KeyingOwner::rest() {
    std::lock_guard lock(m_mutex);
    if (m_device && !m_current && !m_device->setKeyed(false) && deviceGone(errno))
        lostLocked();
}

void KeyingOwner::refuseOpens(const QString &why) {
    {
        std::lock_guard lock(m_mutex);
        m_refusal = why;
    }
    // Closed where it was opened.
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::unique_lock lock(m_mutex);
            if (m_refusal.isEmpty() || !m_device)
                return;
            m_reopenWhenAllowed = true;
            closeLocked(Ended::GuardianLost);
            lock.unlock();
            emit changed();
        },
        Qt::QueuedConnection);
}

void KeyingOwner::allowOpens() {
    {
        std::lock_guard lock(m_mutex);
        m_refusal.clear();
    }
    QMetaObject::invokeMethod(this, &KeyingOwner::reopenIfAllowed, Qt::QueuedConnection);
}

void KeyingOwner::reopenIfAllowed() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_reopenWhenAllowed || m_device || !m_refusal.isEmpty())
            return;
        m_reopenWhenAllowed = false;
    }
    try {
        setPortOpen(true);
    } catch (const SerialError &e) {
        std::fprintf(stderr, "Zorore_PTT: COM%d: %s\n", int(CommPort()), e.what());
    }
    emit changed();
}

// ---- a lost device ----

void KeyingOwner::watchDevice() {
    m_hangup = std::make_unique<QSocketNotifier>(m_device->fd(), QSocketNotifier::Read);
    connect(m_hangup.get(), &QSocketNotifier::activated, this, [this] { checkDevice(true); });
}

void KeyingOwner::checkDevice(bool readable) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_device)
            return;
        const int fd = m_device->fd();
        if (readable) {
            // Nothing is meant to arrive; discard what does, and tell a hang-up from data.
            char buffer[256];
            for (int i = 0; i < 16; ++i) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0)
                    continue;
                if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    lostLocked();
                break;
            }
        }
        if (!m_lostPending && !deviceAnswers(fd, m_device->restAction().kind))
            lostLocked();
    }
    handleLost();
}

// Noticed on any thread; the port is closed on the owner's.
void KeyingOwner::lostLocked() {
    if (m_lostPending || !m_device)
        return;
    m_lostPending = true;
    endLocked(Ended::PortLost);
    QMetaObject::invokeMethod(this, &KeyingOwner::handleLost, Qt::QueuedConnection);
}

void KeyingOwner::handleLost() {
    std::unique_lock lock(m_mutex);
    if (!m_lostPending)
        return;
    closeLocked(Ended::PortLost);
    lock.unlock();
    emit changed();
    emit portLost();
}

} // namespace zptt
